// Conversions between UTF-16 text (WString) and UTF-8, and small helpers on UTF-16 text: the platform
// layer holds them (it needs them itself); this header keeps the name the upper layers include.
#pragma once

#include "platform/text.h"
