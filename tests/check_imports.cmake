# Fails unless a Windows program imports from system DLLs only, and prints
# through the printf of the system's C runtime when that is msvcrt.dll.
#
#   cmake -DOBJDUMP=<objdump> -DPROGRAM=<file.exe> -P check_imports.cmake
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM}
  OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" dll_lines "${dump}")
if(NOT dll_lines)
  message(FATAL_ERROR "no imports found in ${PROGRAM}")
endif()
foreach(line IN LISTS dll_lines)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll MATCHES "^(kernel32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\\.dll$")
    message(FATAL_ERROR "${PROGRAM} imports ${dll}, which is not part of Windows")
  endif()
  message(STATUS "imports ${dll}")
endforeach()

# The functions taken from msvcrt.dll: its block runs to the next blank line.
string(FIND "${dump}" "DLL Name: msvcrt.dll" msvcrt_start)
if(NOT msvcrt_start EQUAL -1)
  string(SUBSTRING "${dump}" ${msvcrt_start} -1 msvcrt_block)
  string(FIND "${msvcrt_block}" "\n\n" block_end)
  string(SUBSTRING "${msvcrt_block}" 0 ${block_end} msvcrt_block)
  if(NOT msvcrt_block MATCHES "[ \t]printf\n")
    message(FATAL_ERROR "${PROGRAM} does not print through msvcrt's printf")
  endif()
endif()
