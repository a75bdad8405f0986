// The service's 26 drive slots, 'A' to 'Z': each drive's index with its users, its last use, its abort
// request and its lock; the open-drive job that builds a drive, and the cleanup of idle drives.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "common/sock_stream.h"
#include "index/drive_index.h"
#include "platform/terminate_event.h"
#include "platform/types.h"

// One accepted connection of the service, shared by its connection thread and the open jobs started
// from it; it lives until the last of them lets go of it.
//
// Two threads write on a connection: its own thread (replies) and an open job (progress and the end
// of the open). Every message goes out whole under the write lock, so none lands inside another.
// Close takes the same lock, so a job never writes on a socket that has been closed (or on a socket
// that has since been given to another connection): once the connection has ended, every Send fails
// at once with 1004 "write: socket not open" without touching the system.
class CConnection {
 public:
  explicit CConnection(std::unique_ptr<CSockStream> stream);
  // Closes the socket if the connection thread has not done so.
  ~CConnection();
  CConnection(const CConnection&) = delete;
  CConnection& operator=(const CConnection&) = delete;

  // The stream, for reading by the connection's own thread. Writes go through Send.
  CSockStream& Stream() { return *m_stream; }

  // Writes one whole message: write(stream) runs under the write lock.
  template <typename Writer>
  void Send(Writer&& write) {
    std::lock_guard<std::mutex> lock(m_writeLock);
    write(*m_stream);
  }
  // Holds the write lock across more than one step: the server starts an open job and writes its Ack
  // under one hold, so the Ack is on the wire before the job's first message.
  std::unique_lock<std::mutex> LockWrites() { return std::unique_lock<std::mutex>(m_writeLock); }

  // Ends the connection: closes its socket.
  void Close();

 private:
  std::unique_ptr<CSockStream> m_stream;
  std::mutex m_writeLock;
};

// Writes an error reply (u32 0, the code, the text as a wire string) unless the connection's peer is
// known to have closed it. Throws CSockException when the write fails.
void SendError(CConnection& connection, int32_t code, const WString& message);

// Where the slot code reports its failures: the service installs a function that writes the event
// text "Error: %s" with the message. Until one is installed the failures are not reported.
using SlotErrorReporter = void (*)(const WString& message);
void SetSlotErrorReporter(SlotErrorReporter reporter);
// Where the slot code reports warnings (the damaged records a build skipped): the service installs a
// function that writes the text as a warning event.
void SetSlotWarningReporter(SlotErrorReporter reporter);
// The warning of a build that skipped damaged records: "Drive X: 3 damaged file records skipped: ...".
WString DamagedDriveWarning(WCHAR letter, const CScanDamage& damage);

// What the server hands an open job: the connection to answer on and the letter (u32) exactly as the
// client sent it. The job owns it.
struct OpenDriveRequest {
  std::shared_ptr<CConnection> connection;
  uint32_t letter = 0;
};

// A lock that can be taken blocking or with a time-out: a plain mutex, a condition variable and a
// locked word. Meets the standard's TimedLockable requirements for the waits used here, so that
// std::lock_guard and std::unique_lock work with it. (std::timed_mutex would do as well, but its
// timed wait is a system call that ThreadSanitizer does not know, so the threaded tests could not
// check the slots.)
class CTimedLock {
 public:
  void lock();
  bool try_lock();
  bool try_lock_for(std::chrono::milliseconds timeout);
  void unlock();

 private:
  std::mutex m_mutex;
  std::condition_variable m_released;
  bool m_locked = false;
};

// The state of one drive letter.
class CDriveSlot : public CDriveIndex {
 public:
  CDriveSlot();

  // Successful opens not yet matched by a CloseDrive; changed atomically and always under slotLock.
  std::atomic<int32_t> referenceCount{0};
  // Performance-counter reading of the last open or OstrinReadDir; 0 before the first. Under slotLock.
  int64_t lastAccess = 0;
  // Performance-counter counts per second, read once.
  const int64_t counterFrequency;
  // Asks a running scan of this drive to stop at its next progress step; written without the lock.
  std::atomic<bool> abortFlag{false};
  // Performance-counter reading of the moment the last use was given back, for a drive kept open after
  // it (the configuration's keep time). Under slotLock.
  int64_t lastRelease = 0;
  // Held by an open job for a first build; by an update only while it takes the new generation over.
  // CloseDrive and OstrinReadDir wait for it only so long.
  CTimedLock slotLock;
  // Held by an open job from its look at the drive to its end: opens of one letter follow each other,
  // and one that comes during an update waits for it.
  std::mutex buildLock;
  // Opens of the letter counted as they arrive, and how many of them the newest look at the volume
  // (a build, or a comparison of its stamp) came after: an open that waited for such a look takes its
  // result, so that opens arriving together cost one look. The second under buildLock.
  std::atomic<uint64_t> openArrivals{0};
  uint64_t arrivalsServed = 0;

  // AbortOpen: sets the abort flag of the letter's slot. Throws 2000.
  static void RequestAbort(WCHAR letter);
  // CloseDrive: drops one use of an open drive (closing it at the last) and answers Ack. Throws 2000,
  // 2006 when the slot lock is not had in time, CSockException when the Ack cannot be written.
  static void Release(WCHAR letter, CConnection& connection);
  // OstrinReadDir: answers Ack with the section name and the image size, and counts as a use.
  // Throws 2000, 2006, 2007 when the drive is not open, CSockException.
  static void QueryImage(WCHAR letter, CConnection& connection);
  // DriveInfo: answers Ack with the state of the newest generation; not a use. Throws as QueryImage.
  static void QueryState(WCHAR letter, CConnection& connection);
};

inline constexpr size_t DRIVE_SLOT_COUNT = 26;

// Index 0 for 'A' to 25 for 'Z'; built with the process, never replaced.
extern std::array<CDriveSlot, DRIVE_SLOT_COUNT> g_DriveSlots;

// Slot index of a letter of either case. Throws CExceptionMsg 2000 outside 'A'..'Z'.
int32_t DriveLetterToSlot(WCHAR letter);

// The progress callback of a job's scan: sends OpenProgress on the request's connection, then tells
// whether the scan may go on (the slot's abort flag is clear and the service is not stopping).
bool ReportProgress(int32_t percent, const OpenDriveRequest& request);

// The open-drive job, run on a thread of its own: builds a drive that is not open; for one that is,
// compares its volume's stamp and, when the volume changed, builds and publishes its next generation
// before OpenDone. Never throws: every failure ends up in the event log and, unless the connection is
// broken, in an error reply.
void OpenDriveThread(std::unique_ptr<OpenDriveRequest> request) noexcept;

// How long a drive stays open after its last use is given back ("keep" in the configuration; 0, the
// default, closes it at once). An open in between compares the volume's stamp instead of scanning.
void SetDriveKeepSeconds(int64_t seconds);

// One round of the cleanup: closes every open drive unused (no open, no OstrinReadDir) for longer than
// the idle limit, whatever its reference count, and drops its references; and every drive without a
// user whose keep time has run out.
void CloseIdleDrives() noexcept;

// Runs CloseIdleDrives once per cleanup wait until the event is signalled.
void CleanupThread(ostrin::platform::CTerminateEvent& terminate) noexcept;

// The server's start: opens may build again (undoes AbortAllDriveSlots).
void PrepareDriveSlots();
// The server's stop: sets every slot's abort flag, and makes every scan that starts from now on stop
// at its first progress step too (a job that was waiting for its slot lock clears the flag before it
// builds, and must not hold up the stop with a whole scan).
void AbortAllDriveSlots();
