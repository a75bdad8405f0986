// The command server of OstrinNT: start-up, the accept loop on the loopback address, one thread per
// connection carrying out the commands of the wire protocol, and the stop sequence.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "index/drive_slots.h"
#include "platform/local_user.h"
#include "platform/types.h"

class COstrinService;

// Event texts of the server (written with CNTService::WriteTextEvent).
inline constexpr WCHAR EVENT_ERROR[] = WTEXT("Error: %s");
inline constexpr WCHAR EVENT_GENERIC_ERROR[] = WTEXT("Generic error: %s");
// A warning the drive slots report whole (the damaged records a build skipped).
inline constexpr WCHAR EVENT_WARNING[] = WTEXT("%s");
// What "Generic error: %s" names when the exception carries no description.
inline constexpr WCHAR UNKNOWN_EXCEPTION_TEXT[] = WTEXT("unknown exception");
inline constexpr WCHAR EVENT_THREAD_START_FAILED[] = WTEXT("Error: service thread creation failed, connection closed");
inline constexpr WCHAR EVENT_SOCKET_LIBRARY_FAILED[] = WTEXT("WSAStartup() failed!");
inline constexpr WCHAR EVENT_TERMINATE_EVENT_FAILED[] = WTEXT("CreateTerminateEvent() failed!");
inline constexpr WCHAR EVENT_CLEANUP_THREAD_FAILED[] = WTEXT("can not create Cleanup Thread!");
// The listening socket cannot be set up: its port and the system's reason.
inline constexpr WCHAR EVENT_LISTEN_FAILED_ON_PORT[] = WTEXT("socket.listen() failed. terminating... (port %d: %s)");
// The end of a run of identical failures of the accept loop (the first of them was written as it came):
// that event's text and how many times it happened in a row.
inline constexpr WCHAR EVENT_FAILURE_REPEATED[] = WTEXT("%s (%u times in a row)");
// A connection that sent nothing but unknown command codes for this long is ended.
inline constexpr WCHAR EVENT_UNKNOWN_COMMAND_LIMIT[] = WTEXT("Error: %u unknown commands in a row, connection closed");
// Sections left behind by a service that ended without closing its drives, removed at start.
inline constexpr WCHAR EVENT_STALE_SECTIONS_REMOVED[] =
    WTEXT("Drive sections left behind by a service that had ended without closing them: %u removed");

// A connection refused because its local user holds "connections_per_user" connections already: the
// user, the limit.
inline constexpr WCHAR EVENT_USER_CONNECTIONS_LIMIT[] =
    WTEXT("Error: a connection of user %s closed: the user holds %u connections already (connections_per_user)");
// A connection whose local user cannot be found is closed before it is served: the peer's address and
// the system's reason (with "Error: %s").
inline constexpr WCHAR MESSAGE_PEER_USER_UNKNOWN[] = WTEXT("connection from %s closed: its user cannot be found (%s)");
// A drive command that the access rule refused, written once per connection and letter: the user, the
// letter.
inline constexpr WCHAR EVENT_ACCESS_DENIED[] = WTEXT("Access denied: %s may not read drive %s");
// The folder of the drive sections cannot be used: no drive can be opened.
inline constexpr WCHAR EVENT_SECTION_FOLDER_UNUSABLE[] = WTEXT("Error: drive sections cannot be published: %s");

// A line of the configuration that was not taken: the file's name and what was wrong ("line 4: keep
// = soon: ..."). An error among them keeps the service from starting.
inline constexpr WCHAR EVENT_CONFIGURATION_PROBLEM[] = WTEXT("%s: %s");
// The configuration file that "-c" named cannot be read: its name and the system's reason.
inline constexpr WCHAR EVENT_CONFIGURATION_UNREADABLE[] = WTEXT("%s: cannot be read (%s)");
// What "-t" prints: the file, the port, each letter's volume and what an open of it found, the file's
// problems (on standard error), and the verdict.
inline constexpr WCHAR CHECK_FILE[] = WTEXT("%s: %s\n");
inline constexpr WCHAR CHECK_FILE_MISSING[] = WTEXT("%s: not found; every default holds\n");
inline constexpr WCHAR CHECK_PORT[] = WTEXT("port %d\n");
inline constexpr WCHAR CHECK_VOLUME_GOOD[] = WTEXT("%s %s: NTFS %u.%u, %llu bytes, clusters of %u bytes, %llu records\n");
inline constexpr WCHAR CHECK_VOLUME_BAD[] = WTEXT("%s %s: cannot be opened as NTFS: %d %s\n");
inline constexpr WCHAR CHECK_NO_VOLUMES[] = WTEXT("no volume.X lines: %s\n");
inline constexpr WCHAR CHECK_GOOD[] = WTEXT("%s: the configuration can be used\n");
inline constexpr WCHAR CHECK_BAD[] = WTEXT("%s: the configuration cannot be used as it is (problems: %u)\n");

// The service ends at start for the errors of its configuration: the file's name and their number.
inline constexpr WCHAR EVENT_CONFIGURATION_ERRORS[] = WTEXT("%s: the service does not start: values that cannot be used (%u)");

// The event that ends the cleanup thread.
inline constexpr WCHAR TERMINATE_EVENT_NAME[] = WTEXT("TerminateEvent");

// The entries of the thread table: connection threads, and open jobs in entries of their own, so
// that connections that fill theirs never keep an open from starting.
inline constexpr size_t CONNECTION_ENTRIES = 256;
inline constexpr size_t OPEN_JOB_ENTRIES = 256;
inline constexpr size_t THREAD_TABLE_SIZE = CONNECTION_ENTRIES + OPEN_JOB_ENTRIES;

// A connection closed for want of a Hello in time (HELLO_TIMEOUT_SECONDS after its accept).
inline constexpr WCHAR EVENT_HELLO_TIMEOUT[] = WTEXT("Error: no Hello within %d s of the connect, connection closed");
// Events of connections and open jobs that the service's rate of events left unwritten since the last
// such event (or the start).
inline constexpr WCHAR EVENT_EVENTS_DROPPED[] =
    WTEXT("Error: %llu events of connections and open jobs not written: too many in a short time");
// A connection whose commands are this many unknown codes in a row is ended after the last one's reply
// (a client of this protocol never sends one; a stream out of step, or garbage, sends nothing else).
inline constexpr uint32_t UNKNOWN_COMMAND_LIMIT = 16;

// The accept loop reaps ended threads every this many iterations.
inline constexpr int32_t REAP_EVERY_ITERATIONS = 50;

// Exit code of the process when the listening socket cannot be set up, or the configuration has
// values that cannot be used.
inline constexpr int LISTEN_FAILURE_EXIT_CODE = 1;
inline constexpr int CONFIGURATION_FAILURE_EXIT_CODE = 1;

// The port from the configuration file, or the default.
int32_t ReadConfiguration();

// Serves one connection of the local user given, accepted at `accepted`, until it ends, the service
// stops or its Hello is late; then closes its socket. Never throws.
void ConnectionThread(COstrinService& service, std::shared_ptr<CConnection> connection, ostrin::platform::CLocalUser user,
                      std::chrono::steady_clock::time_point accepted = std::chrono::steady_clock::now()) noexcept;

// Reads one command code and carries the command out; false when the connection is to end.
bool ProcessCommand(COstrinService& service, const std::shared_ptr<CConnection>& connection);

// How OstrinOpenDrive starts its open job: false when the job cannot start (the command then fails
// with 2005). The service runs OpenDriveThread on a thread of the open jobs' entries of the table. It is called under
// the connection's write lock, so it must not write on the connection itself.
using OpenJobStarter = bool (*)(std::unique_ptr<OpenDriveRequest> request);
// For fuzz targets only: replaces the starter with one that starts no scan; null restores the
// service's own.
void SetOpenJobStarter(OpenJobStarter starter);

// The key of the local user behind an accepted connection, which "connections_per_user" counts
// connections by; empty when the user cannot be told (such a connection is not counted).
// The service's own user is never counted.
std::string ConnectionUserKey(const CSockStream& accepted, const ostrin::platform::CLocalUser& user);

// Frees the thread-table entries whose threads have ended; the caller holds the table's mutex.
// Returns the number of free entries.
size_t ReapFinishedThreads();
