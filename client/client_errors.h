// Codes and texts of OstrinAPI: the errors it stores for a drive, and the messages OstConnect shows.
#pragma once

#include <cstdint>

#include "common/error_text.h"
#include "platform/types.h"

// What OstGetLastError returns for a letter outside A..Z; never stored.
inline constexpr int32_t CLIENT_LETTER_OUT_OF_RANGE = 3000;
// What OstGetLastErrorString returns for a letter outside A..Z.
inline constexpr int32_t CLIENT_NO_TEXT_LENGTH = -1;

inline constexpr CErrorText CLIENT_DRIVE_NOT_OPEN{3001, WTEXT("Drive not open.")};
inline constexpr CErrorText CLIENT_PATH_EMPTY{3002, WTEXT("Parameter 'FilePath' is empty.")};
inline constexpr CErrorText CLIENT_PATH_NO_BACKSLASH{
    3003, WTEXT("Parameter 'FilePath' does not start with backslash '\\'.")};
inline constexpr CErrorText CLIENT_FIND_DATA_NULL{3004, WTEXT("Parameter 'FindFileData' is null.")};
inline constexpr CErrorText CLIENT_PATH_MALFORMED{3005, WTEXT("Parameter 'FilePath' is malformed.")};
inline constexpr CErrorText CLIENT_INVALID_PATH{3006, WTEXT("Invalid path specified.")};
inline constexpr CErrorText CLIENT_OPEN_MAPPING_FAILED{3007, WTEXT("Could not open file mapping object.")};
inline constexpr CErrorText CLIENT_MAP_VIEW_FAILED{3008, WTEXT("Could not map view of file.")};
inline constexpr CErrorText CLIENT_COMMUNICATION_ERROR{3009, WTEXT("Service communication error.")};
// The mapped image breaks its own layout (a count, offset or name that leads outside the image): the
// find stops instead of reading outside the view.
inline constexpr CErrorText CLIENT_IMAGE_CORRUPT{3010, WTEXT("Drive image is corrupt.")};

// The messages OstConnect shows the user, captioned "Error:".
inline constexpr WCHAR MESSAGE_SOCKETS_UNAVAILABLE[] = WTEXT("OstrinNT: Can not initialize Windows Sockets.");
inline constexpr WCHAR MESSAGE_CANNOT_CONNECT[] = WTEXT("Can not connect to OstrinNT service.\n\nIs the service running?");
inline constexpr WCHAR MESSAGE_PROTOCOL_ERROR[] = WTEXT("OstrinNT protocol error.");
inline constexpr WCHAR MESSAGE_COMMUNICATION_ERROR[] = WTEXT("OstrinNT communication error.");
