# Run by CPack after the ZIP is made (cpack-zip.cmake): makes the Windows
# Installer package from the same staged files, beside the ZIP, with its
# checksum; signs it when a key is given (see cpack-sign.cmake) and writes
# its detached signature beside it, so that the signed MSI can be checked
# against a rebuild of the unsigned one.
include(${CMAKE_CURRENT_LIST_DIR}/cpack-release.cmake)
quarctl_release_settings()
if(NOT CPACK_QUARCTL_MSI_TOOLS)
  message(WARNING "wixl, msibuild or Python's olefile is missing: no MSI is made")
  return()
endif()
file(MAKE_DIRECTORY ${CPACK_OUTPUT_FILE_PREFIX})
set(msi ${CPACK_OUTPUT_FILE_PREFIX}/${CPACK_PACKAGE_FILE_NAME}.msi)
set(unsigned ${CPACK_TOPLEVEL_DIRECTORY}/unsigned.msi)
file(REMOVE ${msi} ${msi}.sig ${msi}.sig.sha256)
execute_process(COMMAND ${CPACK_QUARCTL_PYTHON} ${CPACK_QUARCTL_SOURCE_DIR}/installer/build-msi.py
    --payload ${CPACK_TEMPORARY_DIRECTORY} --folder-check ${CPACK_QUARCTL_FOLDER_CHECK} --arch ${CPACK_QUARCTL_MSI_ARCH} --version ${CPACK_PACKAGE_VERSION}
    --epoch $ENV{SOURCE_DATE_EPOCH} --out ${unsigned}
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot make ${msi}")
endif()
if(QUARCTL_SIGN_PKCS12)
  quarctl_sign(${unsigned} ${msi})
  execute_process(COMMAND osslsigncode extract-signature -in ${msi} -out ${msi}.sig
    RESULT_VARIABLE failed OUTPUT_QUIET)
  if(failed)
    message(FATAL_ERROR "cannot extract the signature of ${msi}")
  endif()
  quarctl_checksum(${msi}.sig)
else()
  file(COPY_FILE ${unsigned} ${msi})
endif()
quarctl_checksum(${msi})
message(STATUS "- package: ${msi} generated.")
