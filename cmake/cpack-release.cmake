# Helpers of the packaging scripts that CPack runs after staging.

# What installer/sign.sh reads.
set(quarctl_sign_settings QUARCTL_SIGN_PKCS12 QUARCTL_SIGN_PASSWORD QUARCTL_SIGN_URL QUARCTL_TIMESTAMP_URL)

# Sets each signing setting from the environment, else from the cache
# variable that CPack passes on.
macro(quarctl_release_settings)
  foreach(setting IN LISTS quarctl_sign_settings)
    if(DEFINED ENV{${setting}})
      set(${setting} "$ENV{${setting}}")
    else()
      set(${setting} "${CPACK_${setting}}")
    endif()
  endforeach()
endmacro()

# Signs file in into out with installer/sign.sh, at SOURCE_DATE_EPOCH.
function(quarctl_sign in out)
  # Through the environment: a command line shows the password to all.
  foreach(setting IN LISTS quarctl_sign_settings)
    set(ENV{${setting}} "${${setting}}")
  endforeach()
  execute_process(COMMAND sh ${CPACK_QUARCTL_SOURCE_DIR}/installer/sign.sh ${in} ${out} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot sign ${in}")
  endif()
endfunction()

# Writes path.sha256 as CPack writes its own: "<sha256>  <file name>".
function(quarctl_checksum path)
  file(SHA256 ${path} sum)
  get_filename_component(name ${path} NAME)
  file(WRITE ${path}.sha256 "${sum}  ${name}\n")
endfunction()
