// The state of a drive's newest image at the service: its generation, when it was built and what it
// holds. The library's functions carry no such thing, so ostrin asks on a connection of its own.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/types.h"

struct SDriveState {
  uint64_t generation = 0;
  uint64_t builtAt = 0;  // FILETIME, UTC
  // Every entry below the root, summed by the service in one pass over the image (names no path can
  // reach among them); false when it could not sum them.
  bool totalsKnown = false;
  uint64_t directories = 0;
  uint64_t files = 0;
  uint64_t size = 0;
  uint64_t allocated = 0;
};

// Nothing when the service cannot be reached or does not have the drive open.
std::optional<SDriveState> QueryDriveState(WCHAR letter);
