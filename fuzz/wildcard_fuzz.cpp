// libFuzzer target: WildcardMatch against a reference that is obviously right: the recursive
// definition of the patterns, with memory of the cases already decided. Any disagreement is a
// finding. Units compare as the client compares them: upper-cased through Windows' $UpCase table
// (common/upcase.h).
//
// Input: the pattern and the name, separated by the byte 0xFF. A byte below 0x80 is that ASCII unit
// (a 0 byte too, which ends the text early as a terminator does); a byte from 0x80 to 0xFE picks one
// of the units in WIDE_UNITS: letters outside ASCII and their neighbours in case (among them those
// that upper-case to a unit of another letter's, or not at all), surrogates, the last units of the plane.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "client/wildcard.h"
#include "common/upcase.h"
#include "common/text.h"

namespace {

constexpr uint8_t SEPARATOR = 0xFF;
constexpr uint8_t FIRST_WIDE = 0x80;
constexpr size_t MAX_UNITS = 128;
constexpr WCHAR WIDE_UNITS[] = {0x00C4, 0x00E4, 0x00C5, 0x00E5, 0x0130, 0x0131, 0x017F, 0x212A, 0x0178, 0x00FF,
                                0xFF21, 0xFF41, 0x0391, 0x03B1, 0x0410, 0x0430, 0xD800, 0xDC00, 0xFFFE, 0xFFFF,
                                0x2A2A, 0x3F3F, 0x0100 | '*', 0x0100 | '?', 0x0100 | 'a', 0x0100 | 'A',
                                0x03A3, 0x03C3, 0x03C2, 0x00B5, 0x039C, 0x03BC, 0x01C4, 0x01C5, 0x01C6, 0x00DF,
                                0x1E9E, 0x2C65, 0x023A};

// The definition: '*' matches any run of units (none too), '?' exactly one, anything else the same
// unit after upper-casing. decided[p][n] remembers the answer for pattern p onwards against name n onwards.
class CReference {
 public:
  CReference(const std::vector<WCHAR>& pattern, const std::vector<WCHAR>& name)
      : m_pattern(pattern), m_name(name), m_decided((pattern.size() + 1) * (name.size() + 1), UNKNOWN) {}

  bool Matches(size_t p, size_t n) {
    int8_t& decided = m_decided[p * (m_name.size() + 1) + n];
    if (decided == UNKNOWN) decided = Decide(p, n) ? 1 : 0;
    return decided == 1;
  }

 private:
  static constexpr int8_t UNKNOWN = -1;

  bool Decide(size_t p, size_t n) {
    if (p == m_pattern.size()) return n == m_name.size();
    if (m_pattern[p] == '*') return Matches(p + 1, n) || (n < m_name.size() && Matches(p, n + 1));
    if (n == m_name.size()) return false;
    if (m_pattern[p] == '?' || UpcaseUnit(m_pattern[p]) == UpcaseUnit(m_name[n])) return Matches(p + 1, n + 1);
    return false;
  }

  const std::vector<WCHAR>& m_pattern;
  const std::vector<WCHAR>& m_name;
  std::vector<int8_t> m_decided;
};

// Units up to the first 0 (where the product's terminated text ends), at most MAX_UNITS.
std::vector<WCHAR> Units(const uint8_t* bytes, size_t count) {
  std::vector<WCHAR> units;
  for (size_t i = 0; i < count && units.size() < MAX_UNITS; ++i) {
    const WCHAR unit = bytes[i] < FIRST_WIDE ? bytes[i] : WIDE_UNITS[(bytes[i] - FIRST_WIDE) % std::size(WIDE_UNITS)];
    if (unit == 0) break;
    units.push_back(unit);
  }
  return units;
}

[[noreturn]] void Disagree(const char* function, const std::vector<WCHAR>& pattern, const std::vector<WCHAR>& name,
                           bool product) {
  std::fprintf(stderr, "%s(\"%s\", \"%s\") = %d, the definition says %d\n", function,
               WideToUtf8(WString(pattern.begin(), pattern.end())).c_str(),
               WideToUtf8(WString(name.begin(), name.end())).c_str(), product, !product);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t split = 0;
  while (split < size && data[split] != SEPARATOR) ++split;
  const std::vector<WCHAR> pattern = Units(data, split);
  const std::vector<WCHAR> name = split < size ? Units(data + split + 1, size - split - 1) : std::vector<WCHAR>{};

  WString patternText(pattern.begin(), pattern.end());
  WString nameText(name.begin(), name.end());
  const bool product = WildcardMatch(patternText.c_str(), nameText.c_str());
  if (product != CReference(pattern, name).Matches(0, 0)) Disagree("WildcardMatch", pattern, name, product);
  return 0;
}
