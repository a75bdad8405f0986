// Failures of publishing a drive image and of the drive slots, as reported to clients.
#pragma once

#include "common/error_text.h"

inline constexpr CErrorText ERROR_SECTION_SECURITY = {
    12, WTEXT("Could not create security descriptor for file mapping object.")};
inline constexpr CErrorText ERROR_SECTION_CREATE = {13, WTEXT("Could not create file mapping object for shared memory.")};
inline constexpr CErrorText ERROR_SECTION_MAP = {14, WTEXT("Could not map view of file for shared memory.")};

// Failures of an open that are not failures of the volume, the scan or publishing: the memory for the
// tree or the image ran out, or the standard library failed in some other way. The drive stays not
// open and the service goes on.
inline constexpr CErrorText ERROR_BUILD_OUT_OF_MEMORY = {18, WTEXT("Out of memory while building the drive index.")};
inline constexpr CErrorText ERROR_BUILD_FAILED = {19, WTEXT("Unexpected failure while building the drive index.")};
