// Names compared without case the way Windows compares them: by Unicode's simple case folding (one
// UTF-16 unit to one unit) of the Basic Multilingual Plane. ASCII letters fold as A..Z to a..z.
#pragma once

#include <cstdint>

#include "common/case_fold_table.h"
#include "platform/types.h"

// The unit that unit folds to; units without a folding (surrogates among them) stay as they are.
constexpr WCHAR FoldCase(WCHAR unit) {
  const auto value = static_cast<uint16_t>(unit);
  if (value < 0x80) return static_cast<WCHAR>(value >= 'A' && value <= 'Z' ? value + ('a' - 'A') : value);
  const uint8_t row = CASE_FOLD_PAGES[value >> 8];
  if (row == 0) return unit;
  return static_cast<WCHAR>(static_cast<uint16_t>(value + CASE_FOLD_DELTAS[row - 1][value & 0xFF]));
}

// Whether two units are equal without case.
constexpr bool SameUnitIgnoringCase(WCHAR a, WCHAR b) { return a == b || FoldCase(a) == FoldCase(b); }

static_assert(FoldCase('A') == 'a' && FoldCase('z') == 'z' && FoldCase('@') == '@');
static_assert(FoldCase(0x00DC) == 0x00FC && FoldCase(0x0130) == 0x0130);  // Ü to ü; İ has no simple folding
