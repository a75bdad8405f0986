// Text formatting shared by the command-line tools: times, sizes, attribute letters, progress bars.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// The civil date and time of a FILETIME (100 ns units since 1601-01-01), without any zone conversion.
struct SCivilTime {
  int64_t year;
  unsigned month, day, hour, minute, second;
};

inline SCivilTime CivilTimeOf(uint64_t fileTime) {
  constexpr uint64_t TICKS_PER_SECOND = 10'000'000;
  const uint64_t seconds = fileTime / TICKS_PER_SECOND;
  SCivilTime time{};
  time.second = static_cast<unsigned>(seconds % 60);
  time.minute = static_cast<unsigned>(seconds / 60 % 60);
  time.hour = static_cast<unsigned>(seconds / 3600 % 24);
  // Civil date from a day count (days since 1601-01-01, shifted to the 0000-03-01 era of the algorithm).
  const int64_t days = static_cast<int64_t>(seconds / 86400) + 584694;  // 1601-01-01 is day 584694 after 0000-03-01
  const int64_t era = days / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  time.day = static_cast<unsigned>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
  time.month = static_cast<unsigned>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
  time.year = yearOfEra + era * 400 + (time.month <= 2 ? 1 : 0);
  return time;
}

// A FILETIME as "YYYY-MM-DD HH:MM:SS", without any zone conversion.
inline std::string FormatFileTime(uint64_t fileTime) {
  const SCivilTime time = CivilTimeOf(fileTime);
  char text[32];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02u:%02u:%02u", static_cast<long long>(time.year), time.month,
                time.day, time.hour, time.minute, time.second);
  return text;
}

// A FILETIME that holds local time, as ISO 8601 with the offset of that local time from UTC:
// "YYYY-MM-DDTHH:MM:SS+HH:MM".
inline std::string FormatIsoTime(uint64_t localFileTime, int64_t utcOffsetSeconds) {
  const SCivilTime time = CivilTimeOf(localFileTime);
  const int64_t offsetMinutes = (utcOffsetSeconds < 0 ? -utcOffsetSeconds : utcOffsetSeconds) / 60;
  char text[48];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u%c%02lld:%02lld", static_cast<long long>(time.year),
                time.month, time.day, time.hour, time.minute, time.second, utcOffsetSeconds < 0 ? '-' : '+',
                static_cast<long long>(offsetMinutes / 60), static_cast<long long>(offsetMinutes % 60));
  return text;
}

// A size in bytes for people, as ls -h and du -h give it but with binary unit names: "300 B",
// "12 KiB", "1.0 MiB", "9.1 MiB". One decimal below 10 of a unit; rounded up, so no size looks
// smaller than it is.
inline std::string FormatHumanSize(uint64_t bytes) {
  static constexpr const char* UNITS[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  constexpr size_t LAST_UNIT = sizeof UNITS / sizeof UNITS[0] - 1;
  constexpr uint64_t STEP = 1024;
  if (bytes < STEP) return std::to_string(bytes) + " B";
  size_t index = 1;
  uint64_t unit = STEP;
  while (index < LAST_UNIT && bytes / unit >= STEP) {
    unit *= STEP;
    ++index;
  }
  const uint64_t whole = bytes / unit;
  const uint64_t rest = bytes % unit;  // below unit <= 2^60: rest * 10 + unit fits in 64 bits
  char text[32];
  if (whole < 10) {
    const uint64_t tenths = whole * 10 + (rest * 10 + unit - 1) / unit;
    if (tenths < 100) {
      std::snprintf(text, sizeof text, "%llu.%llu %s", static_cast<unsigned long long>(tenths / 10),
                    static_cast<unsigned long long>(tenths % 10), UNITS[index]);
      return text;
    }
  }
  const uint64_t roundedUp = whole + (rest != 0 ? 1 : 0);
  if (roundedUp >= STEP && index < LAST_UNIT) return std::string("1.0 ") + UNITS[index + 1];
  std::snprintf(text, sizeof text, "%llu %s", static_cast<unsigned long long>(roundedUp), UNITS[index]);
  return text;
}

// The attribute word as letters in the manner of "dir": D directory, R read-only, H hidden, S system,
// A archive, C compressed, P sparse, L two or more names; '-' where a bit is clear.
inline std::string FormatAttributes(uint32_t attributes) {
  struct Bit {
    uint32_t mask;
    char letter;
  };
  constexpr Bit BITS[] = {{0x10, 'D'}, {0x01, 'R'}, {0x02, 'H'}, {0x04, 'S'},
                          {0x20, 'A'}, {0x800, 'C'}, {0x200, 'P'}, {0x40000000, 'L'}};
  std::string text;
  for (const Bit& bit : BITS) text.push_back((attributes & bit.mask) != 0 ? bit.letter : '-');
  return text;
}

// Draws "label [#####.....]  45%" over the current terminal line of stream.
inline void DrawProgressBar(FILE* stream, const char* label, int percent) {
  constexpr int WIDTH = 40;
  const int filled = percent * WIDTH / 100;
  std::fprintf(stream, "\r%s [%.*s%.*s] %3d%%", label, filled, "########################################",
               WIDTH - filled, "........................................", percent);
  std::fflush(stream);
}
