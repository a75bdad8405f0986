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

# The layers, lowest first. A target of a layer's folder sees its own folder and those of the libraries
# it links, nothing else of the source tree: an include that goes upward does not build. Each folder is
# seen through a directory of the build tree that holds a link to that folder alone. Tests, benchmarks,
# fuzz targets and bindings stand above every layer and see the whole tree.
set(OSTRIN_LAYERS platform common ntfs index client service tools)
function(ostrin_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${OSTRIN_WERROR}>:-Werror>)
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  string(REGEX REPLACE "/.*" "" layer "${folder}")
  if(layer IN_LIST OSTRIN_LAYERS)
    set(layer_dir ${PROJECT_BINARY_DIR}/layers/${layer})
    if(NOT EXISTS ${layer_dir}/${layer})
      file(MAKE_DIRECTORY ${layer_dir})
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${layer} ${layer_dir}/${layer} SYMBOLIC)
    endif()
    target_include_directories(${target} PUBLIC ${layer_dir})
  else()
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  endif()
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
