# Compiler settings shared by every target of the project.

if(OSTRIN_SANITIZE AND OSTRIN_TSAN)
  message(FATAL_ERROR "OSTRIN_SANITIZE and OSTRIN_TSAN exclude each other")
endif()
if(OSTRIN_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(OSTRIN_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(WIN32)
  # Unicode Windows API everywhere; keep windows.h lean and free of min/max macros.
  add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
endif()

# Warnings on our own code (not on third-party code such as GoogleTest); as errors only where the
# project's own checks ask for it (./run-tests): other compilers and optimisation levels warn in places
# where nothing is wrong (GCC 12 at -O3, for one), and a user's build must not stop there.
option(OSTRIN_WERROR "Treat warnings in the project's own code as errors" OFF)
function(ostrin_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${OSTRIN_WERROR}>:-Werror>)
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# A static library of the project made from the given sources.
function(ostrin_library name)
  add_library(${name} STATIC ${ARGN})
  ostrin_target_defaults(${name})
endfunction()

# A program of the project made from the given sources.
function(ostrin_executable name)
  add_executable(${name} ${ARGN})
  ostrin_target_defaults(${name})
  if(WIN32)
    target_link_options(${name} PRIVATE -static)
  endif()
endfunction()
