# Read by CPack as it packages: gives every archive entry one fixed time,
# through SOURCE_DATE_EPOCH, which CPack's archive generator honours. The
# time is the last commit's, or the fallback date recorded in the source
# for a tree without git history; a SOURCE_DATE_EPOCH already set wins.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "")
  if(EXISTS "${CPACK_QUARCTL_SOURCE_DIR}/.git")
    execute_process(COMMAND git -C "${CPACK_QUARCTL_SOURCE_DIR}" log -1 --format=%ct
      OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT epoch MATCHES "^[0-9]+$")
    set(epoch ${CPACK_QUARCTL_FALLBACK_DATE_EPOCH})
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
endif()
