// Conversion of FILETIME values (100 ns units since 1601-01-01) from UTC to the machine's local time.
#pragma once

#include <cstdint>

namespace ostrin::platform {

// Converts a UTC FILETIME to local time the way Windows does: by the zone's current bias, whatever
// the date of the time itself. Returns false (and leaves local untouched) when it cannot convert.
bool FileTimeToLocalFileTime(uint64_t utc, uint64_t* local);

// The same conversion for many stamps: the zone's current bias is read once, when the converter is
// made, and each conversion adds it. A scan converts millions of stamps "when the drive is scanned".
class CLocalTimeConverter {
 public:
  CLocalTimeConverter();
  // As FileTimeToLocalFileTime at the moment the converter was made.
  bool ToLocal(uint64_t utc, uint64_t* local) const;
  // Two converters convert alike: the same bias, or neither knows one.
  bool operator==(const CLocalTimeConverter&) const = default;

 private:
  bool m_known = false;  // false when the bias could not be read: nothing converts
  int64_t m_bias = 0;    // 100 ns units to add
};

}  // namespace ostrin::platform
