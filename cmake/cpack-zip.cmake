# Run by CPack once it has made the ZIP, before it copies it out and writes
# its checksum: makes the ZIP again from the same staged files, now in a
# fixed order (CPack adds them in the order the file system lists them)
# and with its times written in UTC (a ZIP's DOS times are local times).
# The entries keep CPack's one time, SOURCE_DATE_EPOCH, and the
# permissions that install() gave the staged files.
set(staged ${CPACK_TEMPORARY_DIRECTORY})
get_filename_component(top ${staged} NAME)
file(GLOB_RECURSE files RELATIVE ${staged} ${staged}/*)
list(SORT files)
list(TRANSFORM files PREPEND "${top}/")
string(REPLACE ";" "\n" list "${files}")
set(list_file ${CPACK_TOPLEVEL_DIRECTORY}/zip-entries.txt)
file(WRITE ${list_file} "${list}\n")
foreach(zip IN LISTS CPACK_PACKAGE_FILES)
  file(REMOVE ${zip})
  execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC
      ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip --files-from=${list_file}
    WORKING_DIRECTORY ${staged}/.. RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot write ${zip} again in a fixed order")
  endif()
endforeach()
