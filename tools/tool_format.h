// Text formatting shared by the command-line tools: times, sizes, attribute letters, progress bars.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/file_attributes.h"
#include "platform/civil_time.h"

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
  const ostrin::platform::SCivilDate date =
      ostrin::platform::CivilFromDays(static_cast<int64_t>(seconds / 86400) - ostrin::platform::DAYS_FROM_1601_TO_1970);
  time.year = date.year;
  time.month = date.month;
  time.day = date.day;
  return time;
}

// A FILETIME as "YYYY-MM-DD HH:MM:SS", without any zone conversion.
inline std::string FormatFileTime(uint64_t fileTime) {
  const SCivilTime time = CivilTimeOf(fileTime);
  char text[96];  // room for any year and any field the compiler cannot bound
  std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02u:%02u:%02u", static_cast<long long>(time.year), time.month,
                time.day, time.hour, time.minute, time.second);
  return text;
}

// A FILETIME that holds local time, as ISO 8601 with the offset of that local time from UTC:
// "YYYY-MM-DDTHH:MM:SS+HH:MM".
inline std::string FormatIsoTime(uint64_t localFileTime, int64_t utcOffsetSeconds) {
  const SCivilTime time = CivilTimeOf(localFileTime);
  const int64_t offsetMinutes = (utcOffsetSeconds < 0 ? -utcOffsetSeconds : utcOffsetSeconds) / 60;
  char text[128];  // room for any year and any field the compiler cannot bound
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u%c%02lld:%02lld", static_cast<long long>(time.year),
                time.month, time.day, time.hour, time.minute, time.second, utcOffsetSeconds < 0 ? '-' : '+',
                static_cast<long long>(offsetMinutes / 60), static_cast<long long>(offsetMinutes % 60));
  return text;
}

// A size in bytes for people, as ls -h and du -h give it (so that sort -h orders it): "300", "12K",
// "1.0M", "9.1M", in 1024s. One decimal below 10 of a unit; rounded up, so no size looks smaller than it
// is.
inline std::string FormatHumanSize(uint64_t bytes) {
  static constexpr char UNITS[] = {'K', 'M', 'G', 'T', 'P', 'E'};
  constexpr size_t LAST_UNIT = sizeof UNITS - 1;
  constexpr uint64_t STEP = 1024;
  if (bytes < STEP) return std::to_string(bytes);
  size_t index = 0;
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
      std::snprintf(text, sizeof text, "%llu.%llu%c", static_cast<unsigned long long>(tenths / 10),
                    static_cast<unsigned long long>(tenths % 10), UNITS[index]);
      return text;
    }
  }
  const uint64_t roundedUp = whole + (rest != 0 ? 1 : 0);
  if (roundedUp >= STEP && index < LAST_UNIT) return std::string("1.0") + UNITS[index + 1];
  std::snprintf(text, sizeof text, "%llu%c", static_cast<unsigned long long>(roundedUp), UNITS[index]);
  return text;
}

// The names of the attribute bits of a listed entry, as JSON gives them beside the number: Windows'
// file attributes, and "several-names" for two or more names; a bit without a name as "0x00800000".
inline std::vector<std::string> AttributeNames(uint32_t attributes) {
  struct SName {
    uint32_t mask;
    const char* name;
  };
  static constexpr SName NAMES[] = {
      {0x1, "readonly"},         {0x2, "hidden"},        {0x4, "system"},
      {0x10, "directory"},       {0x20, "archive"},      {0x40, "device"},
      {0x80, "normal"},          {0x100, "temporary"},   {0x200, "sparse"},
      {0x400, "reparse-point"},  {0x800, "compressed"},  {0x1000, "offline"},
      {0x2000, "not-content-indexed"}, {0x4000, "encrypted"}, {0x8000, "integrity-stream"},
      {0x10000, "virtual"},      {0x20000, "no-scrub-data"}, {0x40000, "recall-on-open"},
      {0x80000, "pinned"},       {0x100000, "unpinned"}, {0x400000, "recall-on-data-access"},
      {ATTR_HAS_HARDLINKS, "several-names"},
  };
  std::vector<std::string> names;
  uint32_t named = 0;
  for (const SName& name : NAMES) {
    named |= name.mask;
    if ((attributes & name.mask) != 0) names.emplace_back(name.name);
  }
  for (uint32_t bit = 1; bit != 0; bit <<= 1) {
    if ((attributes & bit) == 0 || (named & bit) != 0) continue;
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(bit));
    names.emplace_back(text);
  }
  return names;
}

// A archive, C compressed, P sparse, L two or more names; '-' where a bit is clear.
inline std::string FormatAttributes(uint32_t attributes) {
  struct Bit {
    uint32_t mask;
    char letter;
  };
  constexpr Bit BITS[] = {{0x10, 'D'}, {0x01, 'R'}, {0x02, 'H'}, {0x04, 'S'},
                          {0x20, 'A'}, {0x800, 'C'}, {0x200, 'P'}, {ATTR_HAS_HARDLINKS, 'L'}};
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
