// Names compared without case the way NTFS compares them: each UTF-16 unit upper-cased through the
// $UpCase table that Windows writes on its volumes (common/upcase_table.h), and two names equal when
// their upper-cased units are. This is not Unicode's case folding: the Kelvin sign (U+212A) is not K,
// the long s (U+017F) is not s, the final sigma (U+03C2) stays itself while σ is Σ, and ß has no
// capital. ASCII letters upper-case as a..z to A..Z.
#pragma once

#include <cstdint>

#include "common/upcase_table.h"
#include "platform/types.h"

// The unit that unit upper-cases to; units the table keeps (surrogates among them) stay as they are.
constexpr WCHAR UpcaseUnit(WCHAR unit) {
  const auto value = static_cast<uint16_t>(unit);
  if (value < 0x80) return static_cast<WCHAR>(value >= 'a' && value <= 'z' ? value - ('a' - 'A') : value);
  const uint8_t row = UPCASE_PAGES[value >> 8];
  if (row == 0) return unit;
  return static_cast<WCHAR>(static_cast<uint16_t>(value + UPCASE_DELTAS[row - 1][value & 0xFF]));
}

// Whether two units are equal without case.
constexpr bool SameUnitIgnoringCase(WCHAR a, WCHAR b) { return a == b || UpcaseUnit(a) == UpcaseUnit(b); }

// The short cut for ASCII gives what the table gives.
constexpr bool AsciiUpcasesAsTheTable() {
  for (uint16_t value = 0; value < 0x80; ++value) {
    const auto unit = static_cast<WCHAR>(value);
    if (UpcaseUnit(unit) != static_cast<WCHAR>(static_cast<uint16_t>(value + UPCASE_DELTAS[UPCASE_PAGES[0] - 1][value]))) {
      return false;
    }
  }
  return true;
}
static_assert(AsciiUpcasesAsTheTable());
