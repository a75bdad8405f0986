// Text formatting shared by the command-line tools: times, attribute letters, progress bars.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// A FILETIME (100 ns units since 1601-01-01) as "YYYY-MM-DD HH:MM:SS", without any zone conversion.
inline std::string FormatFileTime(uint64_t fileTime) {
  constexpr uint64_t TICKS_PER_SECOND = 10'000'000;
  const uint64_t seconds = fileTime / TICKS_PER_SECOND;
  const unsigned second = static_cast<unsigned>(seconds % 60);
  const unsigned minute = static_cast<unsigned>(seconds / 60 % 60);
  const unsigned hour = static_cast<unsigned>(seconds / 3600 % 24);
  // Civil date from a day count (days since 1601-01-01, shifted to the 0000-03-01 era of the algorithm).
  const int64_t days = static_cast<int64_t>(seconds / 86400) + 584694;  // 1601-01-01 is day 584694 after 0000-03-01
  const int64_t era = days / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  const unsigned day = static_cast<unsigned>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
  const unsigned month = static_cast<unsigned>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
  const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[32];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02u:%02u:%02u", static_cast<long long>(year), month, day, hour,
                minute, second);
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
