// Failures of publishing a drive image and of the drive slots, as reported to clients.
#pragma once

#include "common/error_text.h"

inline constexpr CErrorText ERROR_SECTION_SECURITY = {
    12, WTEXT("Could not create security descriptor for file mapping object.")};
inline constexpr CErrorText ERROR_SECTION_CREATE = {13, WTEXT("Could not create file mapping object for shared memory.")};
inline constexpr CErrorText ERROR_SECTION_MAP = {14, WTEXT("Could not map view of file for shared memory.")};
