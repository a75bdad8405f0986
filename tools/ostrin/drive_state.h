// The state of a drive's newest image at the service: its generation and when it was built. The
// library's functions carry no such thing, so ostrin asks on a connection of its own.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/types.h"

struct SDriveState {
  uint64_t generation = 0;
  uint64_t builtAt = 0;  // FILETIME, UTC
};

// Nothing when the service cannot be reached or does not have the drive open.
std::optional<SDriveState> QueryDriveState(WCHAR letter);
