# Compiles header_use.c against OstrinAPI.h in every language version the header promises, with all
# warnings as errors, and once with the caller's own declarations of the Windows types.
# cmake -DC_COMPILER=<cc> -DCXX_COMPILER=<c++> -DINCLUDE_DIR=<folder of OstrinAPI.h> -P header_test.cmake
set(source ${CMAKE_CURRENT_LIST_DIR}/header_use.c)
set(warnings -Wall -Wextra -pedantic -Werror)
# Rows: the language, then the compiler's flags, separated by '|'.
set(cases
  "C|-std=c89"
  "C|-std=c99"
  "C|-std=c11"
  "C|-std=c17"
  "CXX|-x|c++|-std=c++11"
  "CXX|-x|c++|-std=c++17"
  "CXX|-x|c++|-std=c++20"
  "C|-std=c99|-DOWN_WINDOWS_TYPES"
  "CXX|-x|c++|-std=c++17|-DOWN_WINDOWS_TYPES"
)
foreach(row IN LISTS cases)
  string(REPLACE "|" ";" fields "${row}")
  list(POP_FRONT fields language)
  set(compiler ${C_COMPILER})
  if(language STREQUAL "CXX")
    set(compiler ${CXX_COMPILER})
  endif()
  execute_process(COMMAND ${compiler} ${fields} ${warnings} -I${INCLUDE_DIR} -fsyntax-only ${source}
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "OstrinAPI.h does not compile with ${compiler} ${fields}:\n${out}${err}")
  endif()
  message(STATUS "compiles: ${language} ${fields}")
endforeach()
