# Inspects a built executable: its size, the DLLs it imports, its version
# resource and its manifest. Run with cmake -P and these variables:
#   FILE      the executable
#   OBJDUMP   a binutils objdump that reads PE files
#   WINDRES   a binutils windres, to decompile the resources
#   MAX_SIZE  the largest size allowed, in bytes
#   DLLS      the system DLLs it may import, as a regular expression
#             (default: quarctl.exe's kernel32, user32 and msvcrt)
set(errors "")
if(NOT DLLS)
  set(DLLS "kernel32|user32|msvcrt")
endif()
get_filename_component(name "${FILE}" NAME)

file(SIZE "${FILE}" size)
if(size GREATER MAX_SIZE)
  string(APPEND errors "size ${size} bytes exceeds ${MAX_SIZE}\n")
endif()

# A runtime DLL among the imports means the static link broke.
execute_process(COMMAND "${OBJDUMP}" -p "${FILE}" OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} cannot read ${FILE}")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
if(NOT imports)
  string(APPEND errors "no imports found\n")
endif()
foreach(line IN LISTS imports)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll MATCHES "^(${DLLS})\\.dll$")
    string(APPEND errors "imports ${dll}\n")
  endif()
endforeach()

execute_process(COMMAND "${WINDRES}" -i "${FILE}" -O rc OUTPUT_VARIABLE resources RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${WINDRES} cannot read the resources of ${FILE}")
endif()
set(expected
  "FILEVERSION 1, 1, 0, 0"
  "PRODUCTVERSION 1, 1, 0, 0"
  "VALUE \"FileVersion\", \"1.1"
  "VALUE \"ProductVersion\", \"1.1"
  "VALUE \"FileDescription\", \""
  "VALUE \"ProductName\", \"QUARCTL\""
  "VALUE \"InternalName\", \""
  "VALUE \"OriginalFilename\", \"${name}\""
  "VALUE \"LegalCopyright\", \""
  "1 24 /* RT_MANIFEST */"
  "requestedExecutionLevel level=\"\"asInvoker\"\""
  "e2011457-1546-43c5-a5fe-008deee3d3f0" # Vista
  "35138b9a-5d96-4fbd-8e2d-a2440225f93a" # 7
  "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38" # 8
  "1f676c76-80e1-4239-95bb-83d0f6d0da78" # 8.1
  "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a" # 10 and 11
)
foreach(text IN LISTS expected)
  string(FIND "${resources}" "${text}" at)
  if(at EQUAL -1)
    string(APPEND errors "resources lack: ${text}\n")
  endif()
endforeach()

if(errors)
  message(FATAL_ERROR "${FILE}:\n${errors}")
endif()
message(STATUS "${FILE}: ${size} bytes; ${imports}; version and manifest present")
