# Checks that a built libOstrinAPI.so exports exactly the ten functions of OstrinAPI.h.
# cmake -DLIBRARY=<path> -P check_exports.cmake
execute_process(COMMAND nm -D --defined-only ${LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(exported)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] +" "" name "${line}")
  list(APPEND exported ${name})
endforeach()
list(SORT exported)
set(expected OstCloseDrive OstConnect OstDisconnect OstFindClose OstFindFirstFile OstFindNextFile
    OstGetLastError OstGetLastErrorString OstGetMemoryUsage OstOpenDrive)
if(NOT exported STREQUAL expected)
  message(FATAL_ERROR "exported: ${exported}\nexpected: ${expected}")
endif()
message(STATUS "exactly the ten functions are exported")
