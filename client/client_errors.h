// Codes and texts of OstrinAPI: the errors it stores for a drive, and the messages OstConnect shows.
// The codes are the public header's, so what callers compare with is what the library stores.
#pragma once

#include <cstdint>

#include "client/OstrinAPI.h"
#include "common/error_text.h"
#include "platform/types.h"

// What OstGetLastError returns for a letter outside A..Z; never stored.
inline constexpr int32_t CLIENT_LETTER_OUT_OF_RANGE = OSTRIN_ERROR_NOT_A_DRIVE_LETTER;
// What OstGetLastErrorString returns for a letter outside A..Z.
inline constexpr int32_t CLIENT_NO_TEXT_LENGTH = -1;

inline constexpr CErrorText CLIENT_DRIVE_NOT_OPEN{OSTRIN_ERROR_DRIVE_NOT_OPEN, WTEXT("Drive not open.")};
inline constexpr CErrorText CLIENT_PATH_EMPTY{OSTRIN_ERROR_PATH_EMPTY, WTEXT("Parameter 'FilePath' is empty.")};
inline constexpr CErrorText CLIENT_PATH_NO_BACKSLASH{
    OSTRIN_ERROR_PATH_NO_BACKSLASH, WTEXT("Parameter 'FilePath' does not start with backslash '\\'.")};
inline constexpr CErrorText CLIENT_FIND_DATA_NULL{OSTRIN_ERROR_FIND_DATA_NULL, WTEXT("Parameter 'FindFileData' is null.")};
inline constexpr CErrorText CLIENT_PATH_MALFORMED{OSTRIN_ERROR_PATH_MALFORMED, WTEXT("Parameter 'FilePath' is malformed.")};
inline constexpr CErrorText CLIENT_INVALID_PATH{OSTRIN_ERROR_INVALID_PATH, WTEXT("Invalid path specified.")};
inline constexpr CErrorText CLIENT_OPEN_MAPPING_FAILED{OSTRIN_ERROR_OPEN_MAPPING_FAILED, WTEXT("Could not open file mapping object.")};
inline constexpr CErrorText CLIENT_MAP_VIEW_FAILED{OSTRIN_ERROR_MAP_VIEW_FAILED, WTEXT("Could not map view of file.")};
inline constexpr CErrorText CLIENT_COMMUNICATION_ERROR{OSTRIN_ERROR_COMMUNICATION, WTEXT("Service communication error.")};
// The mapped image breaks its own layout (a count, offset or name that leads outside the image): the
// find stops instead of reading outside the view.
inline constexpr CErrorText CLIENT_IMAGE_CORRUPT{OSTRIN_ERROR_IMAGE_CORRUPT, WTEXT("Drive image is corrupt.")};

// The messages OstConnect shows the user, captioned "Error:", as the public header words them.
#define CLIENT_WIDE_TEXT(text) WTEXT(text)
inline constexpr WCHAR MESSAGE_SOCKETS_UNAVAILABLE[] = CLIENT_WIDE_TEXT(OSTRIN_MESSAGE_SOCKETS_UNAVAILABLE);
inline constexpr WCHAR MESSAGE_CANNOT_CONNECT[] = CLIENT_WIDE_TEXT(OSTRIN_MESSAGE_CANNOT_CONNECT);
inline constexpr WCHAR MESSAGE_PROTOCOL_ERROR[] = CLIENT_WIDE_TEXT(OSTRIN_MESSAGE_PROTOCOL_ERROR);
inline constexpr WCHAR MESSAGE_COMMUNICATION_ERROR[] = CLIENT_WIDE_TEXT(OSTRIN_MESSAGE_COMMUNICATION_ERROR);
