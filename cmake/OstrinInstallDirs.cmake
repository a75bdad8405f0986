# Where an installation puts the programs. On Linux the usual tree under the prefix (the service in
# sbin, the command in bin); on Windows one folder holding the programs and the library side by side,
# as Windows finds a program's DLLs in its own folder and the service is installed from where it lies.
include(GNUInstallDirs)
if(WIN32)
  set(OSTRIN_INSTALL_PROGRAMDIR .)
  set(OSTRIN_INSTALL_SERVICEDIR .)
else()
  set(OSTRIN_INSTALL_PROGRAMDIR ${CMAKE_INSTALL_BINDIR})
  set(OSTRIN_INSTALL_SERVICEDIR ${CMAKE_INSTALL_SBINDIR})
endif()
