// The drive slots, the open-drive job and the cleanup of idle drives.
#include "index/drive_slots.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <new>
#include <string>
#include <thread>

#include "common/configuration.h"
#include "common/exceptions.h"
#include "common/protocol.h"
#include "common/text.h"
#include "common/timeouts.h"
#include "index/index_errors.h"
#include "platform/bounded_read.h"
#include "platform/perf_counter.h"
#include "platform/volume_device.h"

namespace platform = ostrin::platform;

std::array<CDriveSlot, DRIVE_SLOT_COUNT> g_DriveSlots;

namespace {

std::atomic<SlotErrorReporter> g_errorReporter{nullptr};
std::atomic<SlotErrorReporter> g_warningReporter{nullptr};
std::atomic<SlotErrorReporter> g_infoReporter{nullptr};
std::atomic<bool> g_stopping{false};

void ReportSlotError(const WString& message) noexcept {
  const SlotErrorReporter reporter = g_errorReporter.load();
  if (reporter != nullptr) reporter(message);
}

void ReportSlotWarning(const WString& message) noexcept {
  const SlotErrorReporter reporter = g_warningReporter.load();
  if (reporter != nullptr) reporter(message);
}

void ReportSlotInfo(const WString& message) noexcept {
  const SlotErrorReporter reporter = g_infoReporter.load();
  if (reporter != nullptr) reporter(message);
}

// Whether the scan of an open job is to stop: its connection aborted it, or the service is stopping.
bool IsStopRequested(const OpenDriveRequest& request, size_t slot) {
  return g_stopping.load() || request.connection->IsAborted(slot, request.job);
}

size_t SlotIndexOf(WCHAR letter) { return static_cast<size_t>(DriveLetterToSlot(letter)); }

WCHAR LetterUnit(uint32_t letter) { return static_cast<WCHAR>(letter & 0xFFFF); }

// The performance counter's reading, or the tests' clock.
int64_t SlotClockNow() {
  const auto clock = ServiceTimings().slotClock;
  return clock != nullptr ? clock() : platform::PerformanceCounter();
}

// Takes a slot lock for the time CloseDrive and OstrinReadDir may wait, or fails with 2006.
std::unique_lock<CTimedLock> LockSlotForCommand(CDriveSlot& slot) {
  std::unique_lock<CTimedLock> lock(slot.slotLock, std::defer_lock);
  if (!lock.try_lock_for(std::chrono::milliseconds(ServiceTimings().slotLockWaitMs))) ThrowError(ERR_OPEN_IN_PROGRESS);
  return lock;
}

// Seconds a drive stays open after its last use was given back (0: it closes at once).
std::atomic<int64_t> g_keepSeconds{0};

// An open drive that nobody uses any more, under its slot lock: it closes, or is kept open for the
// keep time, from now.
void LetGo(CDriveSlot& slot) {
  if (g_keepSeconds.load() > 0) {
    slot.lastRelease = SlotClockNow();
  } else {
    slot.Close();
  }
}

// Gives back uses of an open drive, under its slot lock: at the last one the drive is let go.
void DropUses(CDriveSlot& slot, int32_t count) {
  const int32_t before = slot.referenceCount.load();
  if (!slot.IsOpen() || count <= 0 || before <= 0) return;
  const int32_t after = before > count ? before - count : 0;
  slot.referenceCount.store(after);
  if (after == 0) LetGo(slot);
}

// Counts the connection as a user of the open drive, under its slot lock; false, counting nothing, for
// a connection that has ended.
bool CountUser(CDriveSlot& slot, size_t index, CConnection& connection) {
  if (!connection.AddUse(index, slot.opening)) return false;
  slot.referenceCount.fetch_add(1);
  return true;
}

// Gives back one use of the open drive that the connection holds, under its slot lock; nothing when
// it holds none.
void GiveBackUse(CDriveSlot& slot, size_t index, CConnection& connection) {
  if (slot.IsOpen() && connection.TakeUse(index, slot.opening)) DropUses(slot, 1);
}

// What a failure of a build says, for the event log.
WString FailureText(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const CException& e) {
    return e.Message();
  } catch (const std::bad_alloc&) {
    return ERROR_BUILD_OUT_OF_MEMORY.Text();
  } catch (const std::exception& e) {
    return ERROR_BUILD_FAILED.Text() + WTEXT(" ") + Utf8ToWide(e.what());
  } catch (...) {
    return ERROR_BUILD_FAILED.Text();
  }
}

WString GenerationText(uint64_t generation) { return Utf8ToWide(std::to_string(generation)); }

ScanProgress JobProgress(const OpenDriveRequest& request, size_t index, WCHAR letter) {
  return ScanProgress([&request](int32_t percent) { return ReportProgress(percent, request); },
                      [&request, index] { return IsStopRequested(request, index); },
                      [letter](const CScanDamage& damage) { ReportSlotWarning(DamagedDriveWarning(letter, damage)); });
}

// The first build of a drive, with the slot lock held throughout: CloseDrive and OstrinReadDir of the
// letter wait for it, so long. True when the client is to get OpenDone.
bool BuildFirstGeneration(const OpenDriveRequest& request, CDriveSlot& slot, size_t index, WCHAR letter) {
  bool aborted = false;
  std::exception_ptr lateFailure;
  try {
    aborted = !slot.Build(letter, JobProgress(request, index, letter));
  } catch (const CSockException&) {
    // Only the final progress report comes after publishing. The image stands then, so the client
    // is counted as its user, as when OpenDone itself cannot be sent, until its connection ends: a
    // drive must never be open without a reference (it would never close).
    if (!slot.IsOpen()) throw;
    lateFailure = std::current_exception();
  }
  if (slot.IsOpen()) {
    ++slot.opening;
    slot.lastAccess = SlotClockNow();
    // A connection that has ended meanwhile is not counted, and the drive is let go at once.
    const bool counted = CountUser(slot, index, *request.connection);
    if (!counted && slot.referenceCount.load() <= 0) LetGo(slot);
    if (lateFailure) std::rethrow_exception(lateFailure);
    if (!counted) ThrowError<CSockException>(SOCK_WRITE_NOT_OPEN);
    return true;
  }
  if (aborted) {
    request.connection->Send([&request](CSockStream& stream) { WriteOpenAborted(stream, request.letter); });
  }
  return false;
}

// The update of an open drive whose volume changed: a new generation is built beside the published
// one, without the slot lock, so that CloseDrive and OstrinReadDir answer from the current generation
// meanwhile; it is taken over under the lock. The client already counts as a user of the drive; a
// failed or aborted update gives that use back and leaves the current generation published. When
// every use was given back while the update ran (this open's too: its connection closed the drive or
// ended), the drive has been let go, and the update goes with it as aborted. True when the client is
// to get OpenDone.
bool UpdateGeneration(const OpenDriveRequest& request, CDriveSlot& slot, size_t index, WCHAR letter,
                      const CImageBase& base) {
  CConnection& connection = *request.connection;
  CDriveIndex next;
  bool aborted = false;
  std::exception_ptr lateFailure;
  try {
    // The journal's records since the image was made, where they can be trusted; a scan otherwise.
    const ScanProgress progress = JobProgress(request, index, letter);
    std::string reason;
    const EJournalUpdate update = next.UpdateFromJournal(letter, base, progress, &reason);
    if (update == EJournalUpdate::FullScan) {
      ReportSlotInfo(WTEXT("Drive ") + WString(1, letter) + WTEXT(": its image is updated by a full scan (") +
                     Utf8ToWide(reason) + WTEXT(")"));
      aborted = !next.Build(letter, progress);
    } else {
      aborted = update == EJournalUpdate::Aborted;
    }
  } catch (const CSockException&) {
    if (!next.IsOpen()) {
      const std::lock_guard<CTimedLock> lock(slot.slotLock);
      GiveBackUse(slot, index, connection);
      throw;
    }
    lateFailure = std::current_exception();  // after publishing, as in a first build
  } catch (...) {
    const std::exception_ptr failure = std::current_exception();
    const std::lock_guard<CTimedLock> lock(slot.slotLock);
    ReportSlotWarning(WTEXT("Drive ") + WString(1, letter) + WTEXT(": the update of its image failed (") +
                      FailureText(failure) + WTEXT("); generation ") + GenerationText(slot.Generation()) +
                      WTEXT(" stays published"));
    GiveBackUse(slot, index, connection);
    throw;
  }
  const std::lock_guard<CTimedLock> lock(slot.slotLock);
  if (!slot.IsOpen()) {
    request.connection->Send([&request](CSockStream& stream) { WriteOpenAborted(stream, request.letter); });
    return false;
  }
  if (aborted) {
    ReportSlotWarning(WTEXT("Drive ") + WString(1, letter) + WTEXT(": the update of its image was aborted; generation ") +
                      GenerationText(slot.Generation()) + WTEXT(" stays published"));
    GiveBackUse(slot, index, connection);
    request.connection->Send([&request](CSockStream& stream) { WriteOpenAborted(stream, request.letter); });
    return false;
  }
  slot.TakeGeneration(next);
  slot.lastAccess = SlotClockNow();
  if (lateFailure) std::rethrow_exception(lateFailure);
  return true;
}

// The job up to its last message; every failure is thrown to OpenDriveThread, with the locks released.
// Opens of one letter follow each other under its build lock.
void RunOpenJob(const OpenDriveRequest& request) {
  const WCHAR letter = LetterUnit(request.letter);
  const size_t index = SlotIndexOf(letter);
  CDriveSlot& slot = g_DriveSlots[index];
  // A read of a volume that stops answering is given up on once the job is to stop, so that neither an
  // abort nor the stop waits for a hung device.
  const platform::CReadGiveUp boundedReads([&request, index] { return IsStopRequested(request, index); });
  const uint64_t arrival = slot.openArrivals.fetch_add(1) + 1;
  bool done = false;
  {
    const std::lock_guard<std::mutex> build(slot.buildLock);
    std::unique_lock<CTimedLock> lock(slot.slotLock);
    // Every open that has arrived by now is served by what this job finds or builds.
    const uint64_t arrived = slot.openArrivals.load();
    if (!slot.IsOpen()) {
      done = BuildFirstGeneration(request, slot, index, letter);
      if (done) slot.arrivalsServed = arrived;
    } else {
      // From here on the client is a user of the drive: the last close of another leaves it open. A
      // connection that has ended gets nothing more, and leaves the drive as it found it.
      if (!CountUser(slot, index, *request.connection)) ThrowError<CSockException>(SOCK_WRITE_NOT_OPEN);
      slot.lastAccess = SlotClockNow();
      done = arrival <= slot.arrivalsServed || slot.IsCurrent(letter);
      if (!done) {
        const CImageBase base = slot.Base();
        lock.unlock();
        done = UpdateGeneration(request, slot, index, letter, base);
      }
      if (done) slot.arrivalsServed = std::max(slot.arrivalsServed, arrived);
    }
  }
  // The last message goes out once the locks are let go: a client slow to read holds up nobody else.
  if (done) request.connection->Send([&request](CSockStream& stream) { WriteOpenDone(stream, request.letter); });
}

// Reports a failure of the job and answers it, unless the connection is broken.
void ReportJobFailure(CConnection& connection, int32_t code, const WString& message, const WString& logged) {
  ReportSlotError(logged);
  SendError(connection, code, message);
}

}  // namespace

CConnection::CConnection(std::unique_ptr<CSockStream> stream) : m_stream(std::move(stream)) {}

CConnection::~CConnection() {
  if (m_stream) m_stream->Close();
}

void CConnection::Close() {
  {
    std::lock_guard<std::mutex> lock(m_writeLock);
    m_stream->Close();
  }
  // The socket is closed first: a job that finds the connection ended finds it closed as well, and
  // sends nothing.
  std::array<SDriveUses, DRIVE_SLOT_COUNT> held{};
  {
    std::lock_guard<std::mutex> lock(m_useLock);
    m_ended = true;
    held = m_uses;
    m_uses = {};
  }
  for (size_t index = 0; index < DRIVE_SLOT_COUNT; ++index) {
    if (held[index].count <= 0) continue;
    CDriveSlot& slot = g_DriveSlots[index];
    try {
      // Blocking, as the jobs and the cleanup: only a first build holds the lock for long, and the uses
      // of a drive being built are void anyway (it was closed since they were counted).
      const std::lock_guard<CTimedLock> lock(slot.slotLock);
      if (slot.IsOpen() && slot.opening == held[index].opening) DropUses(slot, held[index].count);
    } catch (...) {
      // A lock that fails: these uses stay until the cleanup closes the drive.
    }
  }
}

bool CConnection::AddUse(size_t slot, uint64_t opening) {
  std::lock_guard<std::mutex> lock(m_useLock);
  if (m_ended) return false;
  SDriveUses& uses = m_uses[slot];
  if (uses.opening != opening) uses = SDriveUses{0, opening};
  ++uses.count;
  return true;
}

bool CConnection::TakeUse(size_t slot, uint64_t opening) {
  std::lock_guard<std::mutex> lock(m_useLock);
  SDriveUses& uses = m_uses[slot];
  if (uses.opening != opening || uses.count <= 0) return false;
  --uses.count;
  return true;
}

void SendError(CConnection& connection, int32_t code, const WString& message) {
  if (connection.Stream().closed) return;
  connection.Send([&](CSockStream& stream) { WriteErrorReply(stream, code, message); });
}

void SetSlotErrorReporter(SlotErrorReporter reporter) { g_errorReporter.store(reporter); }

void SetSlotWarningReporter(SlotErrorReporter reporter) { g_warningReporter.store(reporter); }

void SetSlotInfoReporter(SlotErrorReporter reporter) { g_infoReporter.store(reporter); }

WString DamagedDriveWarning(WCHAR letter, const CScanDamage& damage) {
  return WTEXT("Drive ") + WString(1, letter) + WTEXT(": ") + damage.Describe();
}

void CTimedLock::lock() {
  std::unique_lock<std::mutex> guard(m_mutex);
  m_released.wait(guard, [this] { return !m_locked; });
  m_locked = true;
}

bool CTimedLock::try_lock() {
  std::lock_guard<std::mutex> guard(m_mutex);
  if (m_locked) return false;
  m_locked = true;
  return true;
}

bool CTimedLock::try_lock_for(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(m_mutex);
  if (!m_released.wait_for(guard, timeout, [this] { return !m_locked; })) return false;
  m_locked = true;
  return true;
}

void CTimedLock::unlock() {
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_locked = false;
  }
  m_released.notify_one();
}

CDriveSlot::CDriveSlot() : counterFrequency(platform::PerformanceFrequency()) {}

int32_t DriveLetterToSlot(WCHAR letter) {
  const int32_t slot = static_cast<int32_t>(AsciiUpper(letter)) - 'A';
  if (slot < 0 || slot >= static_cast<int32_t>(DRIVE_SLOT_COUNT)) ThrowError(ERR_LETTER_OUT_OF_RANGE);
  return slot;
}

void CDriveSlot::RequestAbort(WCHAR letter, CConnection& connection) { connection.AbortJobs(SlotIndexOf(letter)); }

void CDriveSlot::Release(WCHAR letter, CConnection& connection) {
  const size_t index = SlotIndexOf(letter);
  CDriveSlot& slot = g_DriveSlots[index];
  const std::unique_lock<CTimedLock> lock = LockSlotForCommand(slot);
  GiveBackUse(slot, index, connection);
  connection.Send([](CSockStream& stream) { WriteAck(stream); });
}

void CDriveSlot::QueryImage(WCHAR letter, CConnection& connection) {
  CDriveSlot& slot = g_DriveSlots[static_cast<size_t>(DriveLetterToSlot(letter))];
  const std::unique_lock<CTimedLock> lock = LockSlotForCommand(slot);
  if (!slot.IsOpen()) ThrowError(ERR_DRIVE_NOT_OPEN);
  connection.Send([&slot](CSockStream& stream) { WriteReadDirReply(stream, slot.SectionName(), slot.ImageSize()); });
  slot.lastAccess = SlotClockNow();
}

void CDriveSlot::QueryState(WCHAR letter, CConnection& connection) {
  CDriveSlot& slot = g_DriveSlots[static_cast<size_t>(DriveLetterToSlot(letter))];
  const std::unique_lock<CTimedLock> lock = LockSlotForCommand(slot);
  if (!slot.IsOpen()) ThrowError(ERR_DRIVE_NOT_OPEN);
  CDriveInfoBody info;
  info.generation = slot.Generation();
  info.builtAt = slot.BuiltAt();
  info.imageSize = slot.ImageSize();
  info.entries = slot.EntryCount();
  info.keptBytes = slot.Kept().MemoryBytes();
  if (const std::optional<CImageTotals> totals = slot.Totals()) {
    info.totalsKnown = 1;
    info.directories = totals->directories;
    info.files = totals->files;
    info.totalSize = totals->size;
    info.totalAllocated = totals->allocated;
  }
  info.sectionName = slot.SectionName();
  connection.Send([&info](CSockStream& stream) { WriteDriveInfoReply(stream, info); });
}

bool ReportProgress(int32_t percent, const OpenDriveRequest& request) {
  const CServiceTimings& timings = ServiceTimings();
  if (timings.progressDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timings.progressDelayMs));
  if (timings.outOfMemoryAtPercent >= 0 && percent >= timings.outOfMemoryAtPercent &&
      percent < ScanProgress::PERCENT_DONE) {
    throw std::bad_alloc();
  }
  // The build's done report goes out as the wire's PROGRESS_DONE, the scan's percentages as they are.
  const auto wirePercent = percent == ScanProgress::PERCENT_DONE ? static_cast<uint32_t>(PROGRESS_DONE)
                                                                 : static_cast<uint32_t>(percent);
  request.connection->Send([&](CSockStream& stream) { WriteOpenProgress(stream, request.letter, wirePercent); });
  return !IsStopRequested(request, SlotIndexOf(LetterUnit(request.letter)));
}

namespace {

// What an open's failure is about, after its text in the event: " (drive S:, volume /images/s.img)".
// The client's text stays the failure's own.
WString AboutDrive(uint32_t letterAsSent) {
  const WCHAR letter = AsciiUpper(LetterUnit(letterAsSent));
  if (letter < 'A' || letter > 'Z') return WString();
  const std::string path = ReadConfigurationFile().VolumeOf(letter);
  WString volume;
  if (!path.empty()) {
    volume = WTEXT("volume ") + Utf8ToWide(path);
  } else if (platform::DriveLettersNeedMapping()) {
    volume = WTEXT("no volume.") + WString(1, letter) + WTEXT(" line in ") + Utf8ToWide(ConfigurationFile());
  } else {
    volume = WTEXT("volume \\\\.\\") + WString(1, letter) + WTEXT(":");
  }
  return WTEXT(" (drive ") + WString(1, letter) + WTEXT(":, ") + volume + WTEXT(")");
}

}  // namespace

void OpenDriveThread(std::unique_ptr<OpenDriveRequest> request) noexcept {
  CConnection& connection = *request->connection;
  try {
    try {
      RunOpenJob(*request);
    } catch (const CSockException& e) {
      // The connection is broken: nothing can be sent.
      ReportSlotError(e.Message());
    } catch (const CException& e) {
      ReportJobFailure(connection, e.Code(), e.Message(), e.Message() + AboutDrive(request->letter));
    } catch (const std::bad_alloc&) {
      ReportJobFailure(connection, ERROR_BUILD_OUT_OF_MEMORY.code, ERROR_BUILD_OUT_OF_MEMORY.Text(),
                       ERROR_BUILD_OUT_OF_MEMORY.Text() + AboutDrive(request->letter));
    } catch (const std::exception& e) {
      ReportJobFailure(connection, ERROR_BUILD_FAILED.code, ERROR_BUILD_FAILED.Text(),
                       ERROR_BUILD_FAILED.Text() + WTEXT(" ") + Utf8ToWide(e.what()) + AboutDrive(request->letter));
    } catch (...) {
      ReportJobFailure(connection, ERROR_BUILD_FAILED.code, ERROR_BUILD_FAILED.Text(),
                       ERROR_BUILD_FAILED.Text() + AboutDrive(request->letter));
    }
  } catch (const CSockException& e) {
    // The error reply itself could not be written.
    ReportSlotError(e.Message());
  } catch (...) {
    // Reporting failed (no memory even for the text); the job still ends quietly.
  }
}

void SetDriveKeepSeconds(int64_t seconds) { g_keepSeconds.store(seconds > 0 ? seconds : 0); }

void CloseIdleDrives() noexcept {
  const double idleLimitSeconds = ServiceTimings().driveIdleLimitSeconds;
  const auto keepSeconds = static_cast<double>(g_keepSeconds.load());
  for (CDriveSlot& slot : g_DriveSlots) {
    try {
      // Blocking: a first scan of this drive holds the round up until it ends.
      std::lock_guard<CTimedLock> lock(slot.slotLock);
      if (!slot.IsOpen()) continue;
      const int64_t now = SlotClockNow();
      const auto frequency = static_cast<double>(slot.counterFrequency);
      const double idleSeconds = static_cast<double>(now - slot.lastAccess) / frequency;
      // A drive nobody uses any more is kept only for the keep time after its last use was given back.
      const bool keptOut = slot.referenceCount.load() <= 0 &&
                           static_cast<double>(now - slot.lastRelease) / frequency >= keepSeconds;
      if (idleSeconds > idleLimitSeconds || keptOut) {
        slot.Close();
        slot.referenceCount.exchange(0);
      }
    } catch (const std::exception& e) {
      // A lock that cannot be taken: this drive waits for the next round.
      ReportSlotError(Utf8ToWide(e.what()));
    }
  }
}

void CleanupThread(platform::CTerminateEvent& terminate) noexcept {
  // With a keep time the rounds come at least every second, so that a kept drive closes on time.
  const auto roundWait = [] {
    const uint32_t wait = ServiceTimings().cleanupWaitMs;
    return g_keepSeconds.load() > 0 && wait > 1000 ? 1000u : wait;
  };
  while (!terminate.Wait(roundWait())) CloseIdleDrives();
}

void PrepareDriveSlots() { g_stopping.store(false); }

void AbortAllDriveSlots() { g_stopping.store(true); }
