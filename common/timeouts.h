// Fixed timings of the connection between OstrinAPI and OstrinNT.
#pragma once

#include <cstdint>

// Longest single wait for readiness of a socket stream, in whole seconds, unless its owner sets
// another. OstrinAPI keeps it for the whole life of its connection.
inline constexpr int32_t STREAM_TIMEOUT_SECONDS = 30;

// The per-wait limit of the service's connection threads: an idle connection is asked again after
// this long, and it bounds how long an idle client delays a stop.
inline constexpr int32_t CONNECTION_TIMEOUT_SECONDS = 5;

// Once the first byte of a command has arrived, the service waits for the rest of it over at most this
// many of those waits (30 s at 5 s a wait: as long as a client waits for a reply) before it gives the
// command up and ends the connection; it waits again only while it runs.
inline constexpr int32_t COMMAND_REST_WAITS = 6;

// A connection that has not finished its Hello this long after its accept is closed: one that never
// says anything would otherwise hold its entry of the thread table for as long as it likes.
inline constexpr int32_t HELLO_TIMEOUT_SECONDS = 5;

// The listener's wait for a connection between two looks at the service's running flag.
inline constexpr int32_t ACCEPT_WAIT_MS = 100;

// ---- Fixed timings of the service's drive slots and command server.

// The rate of the events that connections and open jobs write, over all of them together: a bucket of
// EVENT_BURST events that refills at EVENTS_PER_SECOND. What finds the bucket empty is not written but
// counted, and the count is written once the bucket has room again. A client's commands cost it a few
// bytes each; without a bound, a flood of failing ones would fill the event log at the speed of the
// loopback.
inline constexpr uint32_t EVENT_BURST = 64;
inline constexpr double EVENTS_PER_SECOND = 8.0;

// How long CloseDrive and OstrinReadDir wait for a drive's slot lock (a running open holds it for
// its whole scan) before they fail with 2006.
inline constexpr int32_t SLOT_LOCK_WAIT_MS = 3000;

// The cleanup thread's wait on the terminate event between two rounds over the drives.
inline constexpr uint32_t CLEANUP_WAIT_MS = 600000;

// A drive unused for longer than this (no open, no OstrinReadDir) is closed by the next cleanup round,
// whatever its reference count.
inline constexpr double DRIVE_IDLE_LIMIT_SECONDS = 14400.0;

// Pause between two reap passes of the stop sequence, with the thread table's mutex released, so that
// a connection thread registering an open job at that moment gets the mutex.
inline constexpr int32_t STOP_REAP_PAUSE_MS = 10;

// The timings the service runs with. The program OstrinNT is linked with the definition of
// ServiceTimings that returns exactly the constants above; only the test build of the program
// (OstrinNT-test) and the in-process tests link one that lets tests shorten them.
struct CServiceTimings {
  int32_t slotLockWaitMs = SLOT_LOCK_WAIT_MS;
  int32_t connectionTimeoutSeconds = CONNECTION_TIMEOUT_SECONDS;
  int32_t helloTimeoutSeconds = HELLO_TIMEOUT_SECONDS;
  double eventsPerSecond = EVENTS_PER_SECOND;
  uint32_t cleanupWaitMs = CLEANUP_WAIT_MS;
  double driveIdleLimitSeconds = DRIVE_IDLE_LIMIT_SECONDS;
  // Tests only (0 in the program): a pause before each progress message of a scan, so that a scan of
  // a small volume lasts long enough to be aborted, stopped or collided with.
  int32_t progressDelayMs = 0;
  // Tests only (-1 in the program): the first progress report at or above this percent fails as if
  // the memory for the tree had run out.
  int32_t outOfMemoryAtPercent = -1;
  // Tests only (null in the program): the clock the drive slots read instead of the performance
  // counter, for the last use of a drive and for the cleanup's idle time (counts of the counter's
  // frequency).
  int64_t (*slotClock)() = nullptr;
  // Tests only (false in the program): the local user of a connection is told by the loopback address
  // it comes from (127.0.0.2, 127.0.0.3, ...), so that one test can act as several users.
  bool usersByPeerAddress = false;
  // Tests only (false in the program): every connection is taken to be of the service's own user,
  // without a look at the system's table of connections. Wine reads that table in a time that grows
  // with the connections open, so its load tests of hundreds of connections use this.
  bool peersAreTheServiceUser = false;
};

const CServiceTimings& ServiceTimings();
