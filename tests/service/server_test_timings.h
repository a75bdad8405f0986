// The tests' variant of the service timings: the shipped values unless a test changes them, in
// process through TestServiceTimings or in a test program through environment variables.
#pragma once

#include "common/timeouts.h"

// Environment variables read once, at the first use of the timings, by OstrinNT-test only.
inline constexpr char ENV_SLOT_LOCK_WAIT_MS[] = "OSTRIN_TEST_SLOT_LOCK_WAIT_MS";
inline constexpr char ENV_CONNECTION_TIMEOUT_SECONDS[] = "OSTRIN_TEST_CONNECTION_TIMEOUT_SECONDS";
inline constexpr char ENV_HELLO_TIMEOUT_SECONDS[] = "OSTRIN_TEST_HELLO_TIMEOUT_SECONDS";
inline constexpr char ENV_EVENTS_PER_SECOND[] = "OSTRIN_TEST_EVENTS_PER_SECOND";
inline constexpr char ENV_CLEANUP_WAIT_MS[] = "OSTRIN_TEST_CLEANUP_WAIT_MS";
inline constexpr char ENV_IDLE_LIMIT_SECONDS[] = "OSTRIN_TEST_IDLE_LIMIT_SECONDS";
inline constexpr char ENV_PROGRESS_DELAY_MS[] = "OSTRIN_TEST_PROGRESS_DELAY_MS";
inline constexpr char ENV_OUT_OF_MEMORY_AT_PERCENT[] = "OSTRIN_TEST_OUT_OF_MEMORY_AT_PERCENT";
inline constexpr char ENV_USERS_BY_PEER_ADDRESS[] = "OSTRIN_TEST_USERS_BY_PEER_ADDRESS";
inline constexpr char ENV_PEERS_ARE_THE_SERVICE_USER[] = "OSTRIN_TEST_PEERS_ARE_THE_SERVICE_USER";
// Not a timing: reads of volume devices past this byte never return (CVolumeDevice::HangReadsForTesting),
// set as the program starts.
inline constexpr char ENV_HANG_READS_FROM_BYTE[] = "OSTRIN_TEST_HANG_READS_FROM_BYTE";

// The timings ServiceTimings returns; an in-process test changes them before it starts any thread
// that reads them.
CServiceTimings& TestServiceTimings();
