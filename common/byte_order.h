// Little-endian field access for on-disk, in-image and on-wire layouts (memcpy, never unaligned casts).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

static_assert(std::endian::native == std::endian::little, "the layouts are read in the machine's own order");

// Reads a little-endian integer of type T at p (any alignment).
template <typename T>
inline T ReadLE(const void* p) {
  static_assert(std::is_integral_v<T>);
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// Writes a little-endian integer of type T at p (any alignment).
template <typename T>
inline void WriteLE(void* p, T value) {
  static_assert(std::is_integral_v<T>);
  std::memcpy(p, &value, sizeof value);
}

// Reads field `member` of layout struct S from the bytes at base (any alignment).
#define READ_FIELD(S, member, base) \
  ReadLE<decltype(S::member)>(static_cast<const unsigned char*>(base) + offsetof(S, member))
