// Fixed timings of the connection between OstrinAPI and OstrinNT.
#pragma once

#include <cstdint>

// Longest single wait for readiness of a socket stream, in whole seconds, unless its owner sets
// another. OstrinAPI keeps it for the whole life of its connection.
inline constexpr int32_t STREAM_TIMEOUT_SECONDS = 30;

// The per-wait limit of the service's connection threads: an idle connection is asked again after
// this long, and it bounds how long an idle client delays a stop.
inline constexpr int32_t CONNECTION_TIMEOUT_SECONDS = 5;

// The listener's wait for a connection between two looks at the service's running flag.
inline constexpr int32_t ACCEPT_WAIT_MS = 100;
