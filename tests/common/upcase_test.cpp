// Units compared without case as NTFS compares names (the $UpCase table of Windows 8 and later).
#include "common/upcase.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(UpcaseTest, UnitsAreTheSameWhereNtfsUpperCasesThemAlike) {
  struct Case {
    uint16_t a;
    uint16_t b;
    bool same;
    const char* what;
  };
  const Case cases[] = {
      {'a', 'A', true, "ASCII letters"},
      {'z', 'Z', true, "ASCII letters"},
      {'@', '`', false, "the neighbours of the ASCII letters stay apart"},
      {'[', '{', false, "the neighbours of the ASCII letters stay apart"},
      {0x00FC, 0x00DC, true, "u with diaeresis"},
      {0x00FF, 0x0178, true, "y with diaeresis, whose capital lies on another page"},
      {0x0444, 0x0424, true, "Cyrillic ef"},
      {0xFF41, 0xFF21, true, "full-width a"},
      {0x2C65, 0x023A, true, "a with stroke, added with Windows 7"},
      {0x212A, 'K', false, "the Kelvin sign is not K"},
      {0x212A, 'k', false, "the Kelvin sign is not k"},
      {0x017F, 's', false, "the long s is not s"},
      {0x017F, 'S', false, "the long s is not S"},
      {0x00DF, 0x1E9E, false, "sharp s has no capital"},
      {0x03C3, 0x03A3, true, "sigma"},
      {0x03C2, 0x03A3, false, "the final sigma stays itself"},
      {0x03C2, 0x03C3, false, "the final sigma stays itself"},
      {0x00B5, 0x03BC, false, "the micro sign is not mu"},
      {0x01C6, 0x01C4, true, "dz with caron and its capital"},
      {0x01C5, 0x01C4, false, "the title-case Dz is neither"},
      {0x0131, 'I', false, "dotless i"},
      {0x0130, 'i', false, "capital I with dot"},
      {0xD800, 0xDC00, false, "surrogates stay themselves"},
  };
  for (const Case& c : cases) {
    const auto a = static_cast<WCHAR>(c.a);
    const auto b = static_cast<WCHAR>(c.b);
    EXPECT_EQ(SameUnitIgnoringCase(a, b), c.same) << c.what << std::hex << ": U+" << c.a << ", U+" << c.b;
    EXPECT_EQ(SameUnitIgnoringCase(b, a), c.same) << c.what;
    EXPECT_TRUE(SameUnitIgnoringCase(a, a)) << c.what;
  }
  EXPECT_EQ(UpcaseUnit(static_cast<WCHAR>(0x00DF)), static_cast<WCHAR>(0x00DF));
  EXPECT_EQ(UpcaseUnit(static_cast<WCHAR>(0x03C2)), static_cast<WCHAR>(0x03C2));
}

}  // namespace
