// printf-style formatting of UTF-16 text, with every value checked against its conversion.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>

#include "platform/types.h"

// One value for FormatWide: an integer of any width and signedness, or a UTF-16 text. Narrow texts,
// pointers and floating-point values have no constructor, so passing one does not compile.
struct CFormatArg {
  enum class Kind { Signed, Unsigned, Text };

  template <std::integral T>
  CFormatArg(T value)
      : kind(std::is_signed_v<T> ? Kind::Signed : Kind::Unsigned), bits(static_cast<uint64_t>(value)), size(sizeof(T)) {}
  CFormatArg(const WCHAR* value)
      : kind(Kind::Text), text(value != nullptr ? std::basic_string_view<WCHAR>(value) : WTEXT("(null)")) {}
  CFormatArg(const WString& value) : kind(Kind::Text), text(value) {}
  CFormatArg(std::basic_string_view<WCHAR> value) : kind(Kind::Text), text(value) {}

  Kind kind;
  uint64_t bits = 0;  // the integer, sign-extended when it is signed
  size_t size = 0;    // the integer's size in bytes
  std::basic_string_view<WCHAR> text;
};

// Formats like swprintf: the conversions d, i, u, x, X, o, c, s and %%, with the flags '-', '0', '+',
// ' ' and '#', a width and a precision (digits, not '*'); the length modifiers h, hh, l, ll, z, j, t
// and I64 are accepted and change nothing, since every value carries its own width. %u, %x and %o show
// a negative value as printf does, in the value's own width.
// Returns false, leaving *out unspecified, when a conversion is unknown, a value is missing, or a value
// does not suit its conversion (a text for %d, a number for %s). Values beyond the format's are ignored.
bool FormatWide(const WCHAR* format, std::span<const CFormatArg> args, WString* out);
