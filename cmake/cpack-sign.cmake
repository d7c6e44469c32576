# Run by CPack once it has staged the files, before the ZIP is made again
# from them (cpack-zip.cmake) and the MSI made (cpack-msi.cmake): signs the
# staged executables with Authenticode when a key is given, so that both
# packages carry signed executables.
#   QUARCTL_SIGN_PKCS12, QUARCTL_SIGN_PASSWORD: the key and its password,
#     as CMake cache variables or in the environment (which wins);
#   QUARCTL_SIGN_URL, QUARCTL_TIMESTAMP_URL: see installer/sign.sh.
# To check a signed release, QUARCTL_SIGNED_EXES names a folder of its
# signed executables: each must be this build's executable once its
# signature is removed, and takes its place.
include(${CMAKE_CURRENT_LIST_DIR}/cpack-release.cmake)
quarctl_release_settings()
if(NOT QUARCTL_SIGN_PKCS12 AND NOT CPACK_QUARCTL_SIGNED_EXES)
  return()
endif()
file(GLOB executables ${CPACK_TEMPORARY_DIRECTORY}/*.exe)
foreach(exe IN LISTS executables)
  get_filename_component(name ${exe} NAME)
  set(signed ${CPACK_TOPLEVEL_DIRECTORY}/signed-${name})
  if(CPACK_QUARCTL_SIGNED_EXES)
    set(published ${CPACK_QUARCTL_SIGNED_EXES}/${name})
    set(stripped ${CPACK_TOPLEVEL_DIRECTORY}/stripped-${name})
    file(REMOVE ${stripped})
    execute_process(COMMAND osslsigncode remove-signature -in ${published} -out ${stripped}
      RESULT_VARIABLE failed OUTPUT_QUIET ERROR_QUIET)
    if(failed)
      message(FATAL_ERROR "${published}: cannot remove its signature")
    endif()
    file(SHA256 ${stripped} theirs)
    file(SHA256 ${exe} ours)
    if(NOT theirs STREQUAL ours)
      message(FATAL_ERROR "${published}, its signature removed, differs from this build's ${name}")
    endif()
    file(COPY_FILE ${published} ${signed})
  else()
    quarctl_sign(${exe} ${signed})
  endif()
  file(RENAME ${signed} ${exe})
endforeach()
