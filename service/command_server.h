// The command server of OstrinNT: start-up, the accept loop on the loopback address, one thread per
// connection carrying out the commands of the wire protocol, and the stop sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

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
inline constexpr WCHAR EVENT_LISTEN_FAILED[] = WTEXT("socket.listen() failed. terminating...");
// The end of a run of identical failures of the accept loop (the first of them was written as it came):
// that event's text and how many times it happened in a row.
inline constexpr WCHAR EVENT_FAILURE_REPEATED[] = WTEXT("%s (%u times in a row)");
// A connection that sent nothing but unknown command codes for this long is ended.
inline constexpr WCHAR EVENT_UNKNOWN_COMMAND_LIMIT[] = WTEXT("Error: %u unknown commands in a row, connection closed");
// Sections left behind by a service that ended without closing its drives, removed at start.
inline constexpr WCHAR EVENT_STALE_SECTIONS_REMOVED[] =
    WTEXT("Drive sections left behind by a service that had ended without closing them: %u removed");

// A connection whose local user cannot be found is closed before it is served: the peer's address and
// the system's reason (with "Error: %s").
inline constexpr WCHAR MESSAGE_PEER_USER_UNKNOWN[] = WTEXT("connection from %s closed: its user cannot be found (%s)");
// A drive command that the access rule refused, written once per connection and letter: the user, the
// letter.
inline constexpr WCHAR EVENT_ACCESS_DENIED[] = WTEXT("Access denied: %s may not read drive %s");
// The folder of the drive sections cannot be used: no drive can be opened.
inline constexpr WCHAR EVENT_SECTION_FOLDER_UNUSABLE[] = WTEXT("Error: drive sections cannot be published: %s");

// A line of the configuration that was not taken: the file's name and what was wrong.
inline constexpr WCHAR EVENT_CONFIGURATION_PROBLEM[] = WTEXT("%s: %s");

// The event that ends the cleanup thread.
inline constexpr WCHAR TERMINATE_EVENT_NAME[] = WTEXT("TerminateEvent");

// Connection threads and open jobs that may exist at once.
inline constexpr size_t THREAD_TABLE_SIZE = 256;

// A connection whose commands are this many unknown codes in a row is ended after the last one's reply
// (a client of this protocol never sends one; a stream out of step, or garbage, sends nothing else).
inline constexpr uint32_t UNKNOWN_COMMAND_LIMIT = 16;

// The accept loop reaps ended threads every this many iterations.
inline constexpr int32_t REAP_EVERY_ITERATIONS = 50;

// Exit code of the process when the listening socket cannot be set up.
inline constexpr int LISTEN_FAILURE_EXIT_CODE = 1;

// The port from "OstrinNT.ini" in the current directory, or the default.
int32_t ReadConfiguration();

// Serves one connection of the local user given until it ends or the service stops; then closes its
// socket. Never throws.
void ConnectionThread(COstrinService& service, std::shared_ptr<CConnection> connection,
                      ostrin::platform::CLocalUser user) noexcept;

// Reads one command code and carries the command out; false when the connection is to end.
bool ProcessCommand(COstrinService& service, const std::shared_ptr<CConnection>& connection);

// How OstrinOpenDrive starts its open job: false when the job cannot start (the command then fails
// with 2005). The service runs OpenDriveThread on a thread of the thread table. It is called under
// the connection's write lock, so it must not write on the connection itself.
using OpenJobStarter = bool (*)(std::unique_ptr<OpenDriveRequest> request);
// For fuzz targets only: replaces the starter with one that starts no scan; null restores the
// service's own.
void SetOpenJobStarter(OpenJobStarter starter);

// Frees the thread-table entries whose threads have ended; the caller holds the table's mutex.
// Returns the number of free entries.
size_t ReapFinishedThreads();
