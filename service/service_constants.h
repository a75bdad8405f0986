// Fixed names and texts of the service host: the service's identity and the messages of its options.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/types.h"

// The service name, also its display name, event source name and registry key name.
inline constexpr WCHAR OSTRIN_SERVICE_NAME[] = WTEXT("OstrinNT");
inline constexpr int32_t OSTRIN_VERSION_MAJOR = 1;
inline constexpr int32_t OSTRIN_VERSION_MINOR = 0;
inline constexpr WCHAR OSTRIN_SERVICE_DESCRIPTION[] = WTEXT("OstrinNT File Backup Service");

// Room for the service name, terminator included.
inline constexpr size_t SERVICE_NAME_CAPACITY = 64;

// The command-line options; compared without regard to ASCII case.
inline constexpr WCHAR OPTION_VERSION[] = WTEXT("-v");
inline constexpr WCHAR OPTION_INSTALL[] = WTEXT("-i");
inline constexpr WCHAR OPTION_REMOVE[] = WTEXT("-u");
inline constexpr WCHAR OPTION_HELP_SHORT[] = WTEXT("-h");
inline constexpr WCHAR OPTION_HELP[] = WTEXT("--help");
inline constexpr WCHAR OPTION_CHECK[] = WTEXT("-t");
inline constexpr WCHAR OPTION_CONFIGURATION[] = WTEXT("-c");
// After -i: also print the program's path as it is installed.
inline constexpr WCHAR OPTION_VERBOSE[] = WTEXT("--verbose");

// Exit codes of the options: done, failed, a mistaken command line.
inline constexpr int OPTION_EXIT_OK = 0;
inline constexpr int OPTION_EXIT_FAILED = 1;
inline constexpr int OPTION_EXIT_USAGE = 2;

// What the options print on standard output.
inline constexpr WCHAR MESSAGE_VERSION[] = WTEXT("%s Version %d.%d\n");
inline constexpr WCHAR MESSAGE_RELEASE[] = WTEXT("Release %s\n");
inline constexpr WCHAR MESSAGE_USAGE[] = WTEXT(
    "Usage: %s [-c FILE] [OPTION]\n"
    "Without an option the service runs, as the system's service manager starts it.\n"
    "  -v          print the version and whether the service is installed\n"
    "  -i          install the service, started with the system (-i --verbose: also print its program)\n"
    "  -u          stop and remove the service\n"
    "  -t          check the configuration file and the volumes it names, then exit (0: all good)\n"
    "  -c FILE     read FILE instead of OstrinNT.ini in the current folder\n"
    "  -h, --help  print this text\n"
    "Exit codes: 0 done, 1 failed, 2 a mistaken command line.\n");
inline constexpr WCHAR MESSAGE_UNKNOWN_OPTION[] = WTEXT("%s: unknown option %s\n");
inline constexpr WCHAR MESSAGE_OPTION_NEEDS_FILE[] = WTEXT("%s: -c needs the configuration file's path\n");
inline constexpr WCHAR MESSAGE_INSTALLED_STATE[] = WTEXT("The service is %s installed\n");
inline constexpr WCHAR WORD_CURRENTLY[] = WTEXT("currently");
inline constexpr WCHAR WORD_NOT[] = WTEXT("not");
inline constexpr WCHAR MESSAGE_ALREADY_INSTALLED[] = WTEXT("%s is already installed\n");
inline constexpr WCHAR MESSAGE_MODULE_PATH[] = WTEXT("GetModuleFileName() %s\n");
inline constexpr WCHAR MESSAGE_INSTALL_DONE[] = WTEXT("%s installed\n");
inline constexpr WCHAR MESSAGE_INSTALL_FAILED[] = WTEXT("%s failed to install. Error %d\n");
inline constexpr WCHAR MESSAGE_NOT_INSTALLED[] = WTEXT("%s is not installed\n");
inline constexpr WCHAR MESSAGE_REMOVE_DONE[] = WTEXT("%s removed. (You must delete the file (%s) yourself.)\n");
inline constexpr WCHAR MESSAGE_REMOVE_FAILED[] = WTEXT("Could not remove %s. Error %d\n");

// Debug-trace lines of the status reports.
inline constexpr WCHAR TRACE_SET_STATUS[] = WTEXT("CNTService::SetStatus(%lu, %lu)");
inline constexpr WCHAR TRACE_UPDATE_STATUS[] = WTEXT("Updating status (%lu, %lu)");
