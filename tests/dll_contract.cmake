# What a host relies on in varnokclient.dll itself: exactly the five exports under their plain
# names, and imports from DLLs that every Windows installation has, so the one file can be dropped
# in place. Run as: cmake -DOBJDUMP=... -DDLL=... -P dll_contract.cmake
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "objdump failed on ${DLL}")
endif()

string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(([^\n]*\\[ *[0-9]+\\] [^\n]*\n)*)" table "${dump}")
string(REGEX MATCHALL "\\] [A-Za-z0-9_]+" exports "${CMAKE_MATCH_1}")
list(TRANSFORM exports REPLACE "[] ]" "")
list(SORT exports)
set(expected ClientDisconnect FilterInit GetVersion SetDriverConfiguration VarnokDeleteFile)
if(NOT exports STREQUAL expected)
  message(FATAL_ERROR "exports are '${exports}', expected '${expected}'")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
list(TRANSFORM imports REPLACE "DLL Name: " "")
list(TRANSFORM imports TOUPPER)
list(REMOVE_DUPLICATES imports)
foreach(import IN LISTS imports)
  if(NOT import MATCHES "^(KERNEL32|FLTLIB|MSVCRT)\\.DLL$")
    message(FATAL_ERROR "imports ${import}, which not every Windows installation has")
  endif()
endforeach()
message(STATUS "exports: ${exports}; imports: ${imports}")
