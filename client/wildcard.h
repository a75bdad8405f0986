// Name matching of the find functions: '*' and '?' patterns, units compared without case as NTFS
// compares them, upper-cased through Windows' $UpCase table (common/upcase.h).
#pragma once

#include "platform/types.h"

// True when the whole 0-terminated name matches the whole 0-terminated pattern: '*' matches any run
// of units (none included), '?' exactly one unit, any other unit itself without case.
// One pass with a single resume point; no recursion, no allocation.
bool WildcardMatch(const WCHAR* pattern, const WCHAR* name);
