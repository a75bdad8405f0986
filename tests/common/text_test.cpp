// UTF-8 and UTF-16 conversions.
#include "common/text.h"

#include <gtest/gtest.h>

namespace {

TEST(TextTest, RoundTripsEveryPlane) {
  const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a é € 😀 z
  const WString wide = Utf8ToWide(utf8);
  const WString expected = {'a', 0xE9, 0x20AC, 0xD83D, 0xDE00, 'z'};
  EXPECT_EQ(wide, expected);
  EXPECT_EQ(WideToUtf8(wide), utf8);
}

TEST(TextTest, InvalidInputBecomesReplacementCharacter) {
  EXPECT_EQ(Utf8ToWide("a\xFF" "b"), (WString{'a', 0xFFFD, 'b'}));
  EXPECT_EQ(Utf8ToWide("\xE2\x82"), (WString{0xFFFD, 0xFFFD}));  // cut short
  const WString lone = {'x', 0xD800, 'y'};
  EXPECT_EQ(WideToUtf8(lone), "x\xEF\xBF\xBDy");
}

}  // namespace
