// The service's 26 drive slots, 'A' to 'Z': each drive's index with its users, its last use, its abort
// request and its lock; the open-drive job that builds a drive, and the cleanup of idle drives.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "common/sock_stream.h"
#include "index/drive_index.h"
#include "platform/terminate_event.h"
#include "platform/types.h"

inline constexpr size_t DRIVE_SLOT_COUNT = 26;

// One accepted connection of the service, shared by its connection thread and the open jobs started
// from it; it lives until the last of them lets go of it.
//
// Two threads write on a connection: its own thread (replies) and an open job (progress and the end
// of the open). Every message goes out whole under the write lock, so none lands inside another.
// Close takes the same lock, so a job never writes on a socket that has been closed (or on a socket
// that has since been given to another connection): once the connection has ended, every Send fails
// at once with 1004 "write: socket not open" without touching the system.
//
// The connection also keeps what it holds of the drives: the uses its opens were counted with, which
// only its own CloseDrive or its end give back, and the AbortOpen requests that reach only the open
// jobs it started itself.
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

  // Ends the connection: closes its socket, then gives back every use of a drive it still holds; from
  // then on no open job counts it as a user. Blocks while a first build holds the lock of such a
  // drive. Never throws.
  void Close();

  // The uses of one drive the connection holds, counted as of one opening of the drive (a drive that
  // has been closed since is another opening, and the uses of the old one are void).
  struct SDriveUses {
    int32_t count = 0;
    uint64_t opening = 0;
  };
  // One more use of the slot's drive, of the opening given; false, counting nothing, once the
  // connection has ended. The caller holds the slot's lock.
  bool AddUse(size_t slot, uint64_t opening);
  // Takes one use of the slot's drive of the opening given off the record; false when the connection
  // holds none of it. The caller holds the slot's lock.
  bool TakeUse(size_t slot, uint64_t opening);

  // The number of the next open job the connection starts (1, 2, ...).
  uint64_t NextJob() { return m_jobsStarted.fetch_add(1) + 1; }
  // AbortOpen: every open job of the slot's drive this connection has started so far is to stop.
  void AbortJobs(size_t slot) { m_abortBelow[slot].store(m_jobsStarted.load() + 1); }
  // Whether the open job with this number, of the slot's drive, is to stop.
  bool IsAborted(size_t slot, uint64_t job) const { return job < m_abortBelow[slot].load(); }

 private:
  std::unique_ptr<CSockStream> m_stream;
  std::mutex m_writeLock;
  // The uses and the end of the connection, for the connection thread and the jobs alike.
  std::mutex m_useLock;
  bool m_ended = false;
  std::array<SDriveUses, DRIVE_SLOT_COUNT> m_uses{};
  std::atomic<uint64_t> m_jobsStarted{0};
  std::array<std::atomic<uint64_t>, DRIVE_SLOT_COUNT> m_abortBelow{};
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
// Where the slot code reports what it did that a user may want to know (an update that scanned the
// volume because its journal could not be trusted): an information event.
void SetSlotInfoReporter(SlotErrorReporter reporter);
// The warning of a build that skipped damaged records: "Drive X: 3 damaged file records skipped: ...".
WString DamagedDriveWarning(WCHAR letter, const CScanDamage& damage);

// What the server hands an open job: the connection to answer on, the letter (u32) exactly as the
// client sent it, and the job's number on its connection (CConnection::NextJob). The job owns it.
struct OpenDriveRequest {
  std::shared_ptr<CConnection> connection;
  uint32_t letter = 0;
  uint64_t job = 0;
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

  // Successful opens not yet given back (by a CloseDrive of their connection or its end); changed
  // atomically and always under slotLock. Each is recorded by its connection too.
  std::atomic<int32_t> referenceCount{0};
  // How many times the drive has been built from closed over the service's run: the uses connections
  // hold count for one opening. Under slotLock.
  uint64_t opening = 0;
  // Performance-counter reading of the last open or OstrinReadDir; 0 before the first. Under slotLock.
  int64_t lastAccess = 0;
  // Performance-counter counts per second, read once.
  const int64_t counterFrequency;
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

  // AbortOpen: the open jobs of the letter that this connection has started stop at their next
  // progress step; no other job. Throws 2000.
  static void RequestAbort(WCHAR letter, CConnection& connection);
  // CloseDrive: gives back one use of the open drive that this connection holds (closing the drive at
  // its last use) and answers Ack; a connection that holds none changes nothing and gets the Ack of a
  // drive that is not open. Throws 2000, 2006 when the slot lock is not had in time, CSockException
  // when the Ack cannot be written.
  static void Release(WCHAR letter, CConnection& connection);
  // OstrinReadDir: answers Ack with the section name and the image size, and counts as a use.
  // Throws 2000, 2006, 2007 when the drive is not open, CSockException.
  static void QueryImage(WCHAR letter, CConnection& connection);
  // DriveInfo: answers Ack with the state of the newest generation; not a use. Throws as QueryImage.
  static void QueryState(WCHAR letter, CConnection& connection);
};

// Index 0 for 'A' to 25 for 'Z'; built with the process, never replaced.
extern std::array<CDriveSlot, DRIVE_SLOT_COUNT> g_DriveSlots;

// Slot index of a letter of either case. Throws CExceptionMsg 2000 outside 'A'..'Z'.
int32_t DriveLetterToSlot(WCHAR letter);

// The progress callback of a job's scan: sends OpenProgress on the request's connection, then tells
// whether the scan may go on (its connection has not aborted the job and the service is not stopping).
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
// the idle limit, whatever its reference count, and drops its references (the uses connections hold
// of it are void from then on); and every drive without a user whose keep time has run out.
void CloseIdleDrives() noexcept;

// Runs CloseIdleDrives once per cleanup wait until the event is signalled.
void CleanupThread(ostrin::platform::CTerminateEvent& terminate) noexcept;

// The server's start: opens may build again (undoes AbortAllDriveSlots).
void PrepareDriveSlots();
// The server's stop: every running scan stops at its next progress step, and every scan that starts
// from now on at its first (a job that was waiting for its slot lock must not hold up the stop with a
// whole scan).
void AbortAllDriveSlots();
