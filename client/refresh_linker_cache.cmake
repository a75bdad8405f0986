# Run by `cmake --install` after the library is in place: when it went into a folder that the dynamic
# linker finds only through its cache (/usr/local/lib on Debian), the cache is refreshed, so that a
# user's program linked with -lOstrinAPI starts without LD_LIBRARY_PATH. The installed ostrin command
# needs none of this: it finds the library through its relative run path. Staged installs (DESTDIR,
# packages) and scratch prefixes are left alone.
if(NOT "$ENV{DESTDIR}" STREQUAL "")
  return()
endif()
find_program(OSTRIN_LDCONFIG ldconfig PATHS /sbin /usr/sbin NO_CACHE)
if(NOT OSTRIN_LDCONFIG)
  return()
endif()
set(libdir "${CMAKE_INSTALL_PREFIX}/${OSTRIN_INSTALL_LIBDIR}")
# -v lists the folders the cache is made from; -N -X make it change nothing.
execute_process(COMMAND ${OSTRIN_LDCONFIG} -v -N -X OUTPUT_VARIABLE folders ERROR_QUIET RESULT_VARIABLE listed)
string(FIND "\n${folders}" "\n${libdir}:" found)
if(NOT listed EQUAL 0 OR found EQUAL -1)
  return()
endif()
message(STATUS "Refreshing the dynamic linker's cache for ${libdir}")
execute_process(COMMAND ${OSTRIN_LDCONFIG} RESULT_VARIABLE refreshed)
if(NOT refreshed EQUAL 0)
  message(WARNING "ldconfig failed: run it as root, or programs linked with -lOstrinAPI do not find ${libdir}/libOstrinAPI.so")
endif()
