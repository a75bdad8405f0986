// Character and string types shared by every subsystem: UTF-16 text on both platforms.
#pragma once

#include <cstdint>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
using WCHAR = char16_t;
#endif

// WCHAR is a UTF-16 code unit: wchar_t on Windows, char16_t elsewhere.
static_assert(sizeof(WCHAR) == 2, "WCHAR must be a 16-bit code unit");

using WString = std::basic_string<WCHAR>;

// A UTF-16 string literal of the platform's WCHAR type: WTEXT("abc").
#if defined(_WIN32)
#define WTEXT(s) L##s
#else
#define WTEXT(s) u##s
#endif
