// The attribute word of a listed entry: the file attribute bits of the record's standard information,
// with the bits the system adds to them.
#pragma once

#include <cstdint>

// Set on every entry of a record with two or more names outside the DOS namespace.
inline constexpr uint32_t ATTR_HAS_HARDLINKS = 0x40000000;
