// Name matching of the find functions.
#include "client/wildcard.h"

#include "common/upcase.h"

namespace {

// Moves name on to the first unit that equals unit; false when the name ends first.
bool AdvanceTo(const WCHAR*& name, WCHAR unit) {
  while (*name != 0 && !SameUnitIgnoringCase(*name, unit)) ++name;
  return *name != 0;
}

}  // namespace

bool WildcardMatch(const WCHAR* pattern, const WCHAR* name) {
  // Where the part of the pattern after the last '*' starts, and the name unit it was last tried at.
  const WCHAR* resumePattern = nullptr;
  const WCHAR* resumeName = nullptr;
  for (;;) {
    if (*pattern == '*') {
      while (*pattern == '*') ++pattern;
      if (*pattern == 0) return true;
      if (*pattern != '?' && !AdvanceTo(name, *pattern)) return false;
      resumePattern = pattern;
      resumeName = name;
      continue;
    }
    if (*name == 0) return *pattern == 0;
    if (*pattern != 0 && (*pattern == '?' || SameUnitIgnoringCase(*pattern, *name))) {
      ++pattern;
      ++name;
      continue;
    }
    // A mismatch: let the last '*' swallow one more unit of the name and try its part again.
    if (resumePattern == nullptr || *resumeName == 0) return false;
    ++resumeName;
    if (*resumePattern != '?' && !AdvanceTo(resumeName, *resumePattern)) return false;
    pattern = resumePattern;
    name = resumeName;
  }
}
