// Conversion of FILETIME values (100 ns units since 1601-01-01) from UTC to the machine's local time.
#pragma once

#include <cstdint>

namespace ostrin::platform {

// Converts a UTC FILETIME to local time the way Windows does: by the zone's current bias, whatever
// the date of the time itself. Returns false (and leaves local untouched) when it cannot convert.
bool FileTimeToLocalFileTime(uint64_t utc, uint64_t* local);

}  // namespace ostrin::platform
