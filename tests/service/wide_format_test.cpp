// Formatting of event texts and messages: conversions, flags, and values that do not suit their format.
#include "service/wide_format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/text.h"

namespace {

// Formats like the service does, with the values given as they would be to WriteTextEvent.
template <typename... Args>
bool Format(const WCHAR* format, WString* out, const Args&... args) {
  const std::vector<CFormatArg> values{CFormatArg(args)...};
  return FormatWide(format, values, out);
}

TEST(WideFormatTest, Conversions) {
  const WString name = WTEXT("OstrinNT");
  const WCHAR* nullText = nullptr;
  struct Case {
    const char* expected;
    std::function<bool(WString*)> format;
  };
  const Case cases[] = {
      {"OstrinNT Version 1.0\n", [&](WString* o) { return Format(WTEXT("%s Version %d.%d\n"), o, name, 1, 0); }},
      {"Error: read: timeout", [](WString* o) { return Format(WTEXT("Error: %s"), o, WTEXT("read: timeout")); }},
      {"(null)", [&](WString* o) { return Format(WTEXT("%s"), o, nullText); }},
      {"-5 4294967291 fffffffb FFFFFFFB", [](WString* o) { return Format(WTEXT("%d %u %x %X"), o, -5, -5, -5, -5); }},
      {"-9223372036854775808", [](WString* o) { return Format(WTEXT("%lld"), o, INT64_MIN); }},
      {"18446744073709551615", [](WString* o) { return Format(WTEXT("%llu"), o, UINT64_MAX); }},
      {"4000000000", [](WString* o) { return Format(WTEXT("%d"), o, 4000000000u); }},  // the value, not its bits
      {"255 ff 377", [](WString* o) { return Format(WTEXT("%ld %lx %o"), o, 255L, 255UL, 255); }},
      {"65535", [](WString* o) { return Format(WTEXT("%hu"), o, static_cast<int16_t>(-1)); }},
      {"[   42][42   ][00042][+42][ 42]",
       [](WString* o) { return Format(WTEXT("[%5d][%-5d][%05d][%+d][% d]"), o, 42, 42, 42, 42, 42); }},
      {"[0x1f][017][007]", [](WString* o) { return Format(WTEXT("[%#x][%#o][%.3d]"), o, 31, 15, 7); }},
      {"[  abc][abc  ][ab]",
       [](WString* o) { return Format(WTEXT("[%5s][%-5s][%.2s]"), o, WTEXT("abc"), WTEXT("abc"), WTEXT("abc")); }},
      {"drive C: 100%", [](WString* o) { return Format(WTEXT("drive %c: %d%%"), o, WCHAR('C'), 100); }},
      {"", [](WString* o) { return Format(WTEXT(""), o); }},
      {"extra values are ignored", [](WString* o) { return Format(WTEXT("extra values are ignored"), o, 1); }},
      {"\xC3\xA9t\xC3\xA9", [](WString* o) { return Format(WTEXT("%s"), o, Utf8ToWide("\xC3\xA9t\xC3\xA9")); }},
  };
  for (const Case& c : cases) {
    WString out;
    ASSERT_TRUE(c.format(&out)) << c.expected;
    EXPECT_EQ(WideToUtf8(out), c.expected);
  }
}

TEST(WideFormatTest, FormatsThatDoNotSuitTheirValuesFail) {
  struct Case {
    const char* what;
    std::function<bool(WString*)> format;
  };
  const Case cases[] = {
      {"missing value", [](WString* o) { return Format(WTEXT("%s and %d"), o, WTEXT("one")); }},
      {"text for %d", [](WString* o) { return Format(WTEXT("%d"), o, WTEXT("1")); }},
      {"number for %s", [](WString* o) { return Format(WTEXT("%s"), o, 1); }},
      {"text for %c", [](WString* o) { return Format(WTEXT("%c"), o, WTEXT("C")); }},
      {"unknown conversion", [](WString* o) { return Format(WTEXT("%q"), o, 1); }},
      {"floating conversion", [](WString* o) { return Format(WTEXT("%f"), o, 1); }},
      {"format ends inside a conversion", [](WString* o) { return Format(WTEXT("100%"), o, 1); }},
      {"null format", [](WString* o) { return Format(nullptr, o); }},
  };
  for (const Case& c : cases) {
    WString out;
    EXPECT_FALSE(c.format(&out)) << c.what;
  }
}

}  // namespace
