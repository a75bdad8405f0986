// Name matching of the find functions: '*' and '?' patterns, ASCII letters compared without case.
#pragma once

#include <cstddef>

#include "platform/types.h"

// True when the whole 0-terminated name matches the whole 0-terminated pattern: '*' matches any run
// of units (none included), '?' exactly one unit, any other unit itself with A..Z folded to a..z.
// One pass with a single resume point; no recursion, no allocation.
bool WildcardMatch(const WCHAR* pattern, const WCHAR* name);

// True when the 0-terminated name equals the component of count units, A..Z folded to a..z.
bool NameEqualsIgnoringCase(const WCHAR* component, size_t count, const WCHAR* name);
