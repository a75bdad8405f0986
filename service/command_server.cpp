// The command server: COstrinService::Serve, the connection threads and the commands they carry out.
#include "service/command_server.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "common/byte_order.h"
#include "common/configuration.h"
#include "common/exceptions.h"
#include "common/protocol.h"
#include "common/sock_stream.h"
#include "common/text.h"
#include "common/timeouts.h"
#include "index/image_format.h"
#include "ntfs/ntfs_volume.h"
#include "platform/local_user.h"
#include "platform/service_notify.h"
#include "platform/shared_section.h"
#include "platform/socket.h"
#include "platform/system_error.h"
#include "platform/terminate_event.h"
#include "platform/volume_device.h"
#include "service/ostrin_service.h"
#include "service/wide_format.h"

namespace platform = ostrin::platform;

namespace {

// One thread of the table. `ended` is the thread's last act, after its routine and everything the
// routine held (the connection) are gone, so a reap can tell a finished thread without waiting and
// its join returns at once.
struct CThreadTableEntry {
  std::thread thread;
  std::atomic<bool> ended{false};
  bool used = false;
};

// The first CONNECTION_ENTRIES entries are the connection threads', the rest the open jobs'.
std::array<CThreadTableEntry, THREAD_TABLE_SIZE> ThreadTable;
std::mutex ThreadTableMutex;

enum class EThreadKind { Connection, OpenJob };

using Clock = std::chrono::steady_clock;

// Set by a good Hello on the connection that this thread serves (one thread serves one connection).
thread_local bool helloAccepted = false;
// When this thread's connection is closed if it has not finished its Hello by then.
thread_local Clock::time_point helloDeadline = Clock::time_point::max();
// Unknown command codes received on this thread's connection since its last known one.
thread_local uint32_t unknownCommandsInARow = 0;
// The local user of this thread's connection (held by the thread's own frame: an object with a
// destructor is no thread_local, since MinGW's runtime frees thread storage before it runs those
// destructors), and the letters (bit 0 for A) whose refusal has been written to the event log on it.
thread_local const platform::CLocalUser* connectionUser = nullptr;
thread_local uint32_t deniedLetters = 0;

// The service's rate of the events of connections and open jobs (EVENT_BURST, EVENTS_PER_SECOND): a
// token bucket over all of them. An event that finds no token is dropped and counted; the count is
// written as one event before the next event that gets a token, or by the accept loop as soon as one
// is there, and at the stop whatever the bucket holds.
class CEventBudget {
 public:
  template <typename... Args>
  void Write(COstrinService& service, const WCHAR* format, const Args&... args) noexcept {
    try {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (!TakeToken()) {
        ++m_dropped;
        return;
      }
      WriteDroppedLocked(service);
      service.WriteTextEvent(format, args...);
    } catch (const std::exception&) {
      // A lock that fails: the event goes unwritten.
    }
  }

  // Writes the count of dropped events when there are any and a token is there, or always with force.
  void WriteDropped(COstrinService& service, bool force) noexcept {
    try {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_dropped == 0 || (!force && !TakeToken())) return;
      WriteDroppedLocked(service);
    } catch (const std::exception&) {
    }
  }

 private:
  bool TakeToken() {
    const Clock::time_point now = Clock::now();
    if (m_last != Clock::time_point{}) {
      const double seconds = std::chrono::duration<double>(now - m_last).count();
      m_tokens = std::min<double>(EVENT_BURST, m_tokens + seconds * ServiceTimings().eventsPerSecond);
    }
    m_last = now;
    if (m_tokens < 1.0) return false;
    m_tokens -= 1.0;
    return true;
  }

  void WriteDroppedLocked(COstrinService& service) {
    if (m_dropped == 0) return;
    service.WriteTextEvent(EVENT_EVENTS_DROPPED, m_dropped);
    m_dropped = 0;
  }

  std::mutex m_mutex;
  double m_tokens = EVENT_BURST;
  Clock::time_point m_last{};
  uint64_t m_dropped = 0;
};

CEventBudget g_eventBudget;

// The connections of each local user that are being served, for "connections_per_user".
class CUserConnections {
 public:
  // Counts a connection of the user; false, counting nothing, when the user holds limit already. A
  // connection whose user is not known (an empty key) is never refused.
  bool Take(const std::string& user, uint32_t limit) {
    if (user.empty()) return true;
    const std::lock_guard<std::mutex> lock(m_mutex);
    uint32_t& count = m_counts[user];
    if (count >= limit) return false;
    ++count;
    return true;
  }

  void Give(const std::string& user) noexcept {
    if (user.empty()) return;
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_counts.find(user);
    if (found == m_counts.end()) return;
    if (--found->second == 0) m_counts.erase(found);
  }

 private:
  std::mutex m_mutex;
  std::map<std::string, uint32_t> m_counts;
};

CUserConnections g_userConnections;

// A user may hold every connection entry, and no more.
static_assert(static_cast<size_t>(MAX_CONNECTIONS_PER_USER) == CONNECTION_ENTRIES);

// The service whose event log the drive slots write to.
std::atomic<COstrinService*> g_eventService{nullptr};

void WriteSlotError(const WString& message) {
  COstrinService* service = g_eventService.load();
  if (service != nullptr) g_eventBudget.Write(*service, EVENT_ERROR, message);
}

void WriteSlotWarning(const WString& message) {
  COstrinService* service = g_eventService.load();
  if (service != nullptr) g_eventBudget.Write(*service, EVENT_WARNING, message);
}

void WriteSlotInfo(const WString& message) {
  COstrinService* service = g_eventService.load();
  if (service != nullptr) service->WriteInformationText(message);
}

CThreadTableEntry* FindFreeEntry(EThreadKind kind) {
  const size_t first = kind == EThreadKind::Connection ? 0 : CONNECTION_ENTRIES;
  const size_t end = kind == EThreadKind::Connection ? CONNECTION_ENTRIES : THREAD_TABLE_SIZE;
  for (size_t i = first; i < end; ++i) {
    if (!ThreadTable[i].used) return &ThreadTable[i];
  }
  return nullptr;
}

// Starts routine (which must not throw) on a thread entered in the lowest free entry of its kind.
// False when no such entry is free or the thread cannot start; the routine, with what it holds, is
// then destroyed without having run.
template <typename Routine>
bool StartTrackedThread(EThreadKind kind, Routine&& routine) {
  std::lock_guard<std::mutex> lock(ThreadTableMutex);
  CThreadTableEntry* entry = FindFreeEntry(kind);
  if (entry == nullptr) {
    // Threads that have ended but wait for the accept loop's next reap would otherwise refuse opens
    // on a busy connection: the loop reaps only every few seconds when no one connects.
    ReapFinishedThreads();
    entry = FindFreeEntry(kind);
    if (entry == nullptr) return false;
  }
  entry->ended.store(false);
  try {
    entry->thread = std::thread([entry, routine = std::forward<Routine>(routine)]() mutable {
      {
        auto body = std::move(routine);
        body();
      }
      entry->ended.store(true, std::memory_order_release);
    });
  } catch (const std::exception&) {
    return false;
  }
  entry->used = true;
  return true;
}

bool StartOpenDriveThread(std::unique_ptr<OpenDriveRequest> request) {
  return StartTrackedThread(EThreadKind::OpenJob,
                            [request = std::move(request)]() mutable { OpenDriveThread(std::move(request)); });
}

std::atomic<OpenJobStarter> g_openJobStarter{&StartOpenDriveThread};

bool HelloOverdue() { return !helloAccepted && Clock::now() >= helloDeadline; }

// Failures as events, a run of identical ones written as two: the first when it comes, and the rest
// counted and written as one event when the run ends. The accept loop's runs (no descriptors left:
// every accept fails until connections end) end at a different failure, a connection served or the
// stop; a connection's runs of failing commands at a different failure, a command that succeeds, a
// wait with nothing to read or the connection's end.
class CFailureRun {
 public:
  // budgeted: the events go through the service's rate of events of connections and open jobs.
  CFailureRun(COstrinService& service, bool budgeted) : m_service(service), m_budgeted(budgeted) {}
  CFailureRun(const CFailureRun&) = delete;
  CFailureRun& operator=(const CFailureRun&) = delete;

  // format is EVENT_ERROR, EVENT_GENERIC_ERROR or EVENT_WARNING, text the failure's message.
  void Failed(const WCHAR* format, const WString& text) noexcept {
    try {
      WString event;
      const std::array<CFormatArg, 1> values{CFormatArg(text)};
      if (!FormatWide(format, values, &event)) return;
      if (m_count > 0 && event == m_event) {
        if (m_count < UINT32_MAX) ++m_count;
        return;
      }
      Ended();
      Write(format, text);
      m_event = std::move(event);
      m_count = 1;
    } catch (const std::exception&) {
      // Not even the text could be made: the failure goes unreported.
    }
  }

  void Ended() noexcept {
    if (m_count > 1) Write(EVENT_FAILURE_REPEATED, m_event, m_count);
    m_count = 0;
  }

 private:
  template <typename... Args>
  void Write(const WCHAR* format, const Args&... args) noexcept {
    if (m_budgeted) {
      g_eventBudget.Write(m_service, format, args...);
    } else {
      m_service.WriteTextEvent(format, args...);
    }
  }

  COstrinService& m_service;
  bool m_budgeted;
  WString m_event;
  uint32_t m_count = 0;
};

// The runs of failing commands of this thread's connection; null outside ConnectionThread.
thread_local CFailureRun* commandFailures = nullptr;

// A failing command's event: counted in its connection's run.
void CommandFailed(COstrinService& service, const WCHAR* format, const WString& text) {
  if (commandFailures != nullptr) {
    commandFailures->Failed(format, text);
  } else {
    g_eventBudget.Write(service, format, text);
  }
}

void CommandSucceeded() {
  if (commandFailures != nullptr) commandFailures->Ended();
}

// Reads one command from the connection's stream. Its code may be waited for without end (an idle
// connection is asked again after each wait), but nothing of a command is ever dropped: once its first
// byte has arrived, a wait that times out before the rest is waited again, while the service runs and
// for at most COMMAND_REST_WAITS waits in all; then the command fails with 1001 "read: timeout".
// Before the Hello no wait goes past the connection's Hello deadline, and a command still cut at the
// deadline fails the same way.
class CCommandReader {
 public:
  CCommandReader(const COstrinService& service, CSockStream& stream) : m_service(service), m_stream(stream) {}

  // The command code; false when nothing arrived in one wait (or the stream has ended). Throws
  // CSockException when the code is cut.
  bool ReadCode(uint32_t* code) {
    unsigned char bytes[4];
    size_t received = 0;
    try {
      SetWait();
      received = m_stream.ReadSome(bytes, sizeof bytes);
    } catch (const CSockException&) {
      return false;
    }
    ReadRest(bytes, sizeof bytes, received);
    *code = ReadLE<uint32_t>(bytes);
    return true;
  }

  // A u32 argument of the command. Throws CSockException.
  uint32_t ReadU32() {
    unsigned char bytes[4];
    ReadRest(bytes, sizeof bytes, 0);
    return ReadLE<uint32_t>(bytes);
  }

 private:
  void ReadRest(unsigned char* bytes, size_t count, size_t received) {
    while (received < count) {
      try {
        SetWait();
        received += m_stream.ReadSome(bytes + received, count - received);
      } catch (const CSockException& e) {
        // Only a wait that ran out is waited again; a peer that has gone or a failure ends the command.
        if (e.Code() != SOCK_READ_TIMEOUT.code || !m_service.running || ++m_waits >= COMMAND_REST_WAITS ||
            HelloOverdue()) {
          throw;
        }
      }
    }
  }

  // The connection's wait, cut to the whole seconds left to the Hello deadline (at least one). It is
  // changed only before the Hello, when no open job of the connection writes with it yet.
  void SetWait() {
    int32_t seconds = ServiceTimings().connectionTimeoutSeconds;
    if (!helloAccepted) {
      const auto left = std::chrono::ceil<std::chrono::seconds>(helloDeadline - Clock::now()).count();
      seconds = static_cast<int32_t>(std::clamp<decltype(left)>(left, 1, seconds));
    }
    if (m_stream.timeoutSeconds != seconds) m_stream.timeoutSeconds = seconds;
  }

  const COstrinService& m_service;
  CSockStream& m_stream;
  // Waits of this command that ran out.
  int32_t m_waits = 0;
};

// The event of a command whose stream failed; a command whose rest the stop ended the wait for is none.
void ReportStreamFailure(COstrinService& service, const CSockException& failure) {
  if (failure.Code() == SOCK_READ_TIMEOUT.code && !service.running) return;
  CommandFailed(service, EVENT_ERROR, failure.Message());
}

// The letter argument of a command that needs a Hello first; the argument is consumed either way.
uint32_t ReadLetterArgument(CCommandReader& reader) {
  const uint32_t letter = reader.ReadU32();
  if (!helloAccepted) ThrowError(ERR_NOT_AUTHENTICATED);
  return letter;
}

WCHAR LetterUnit(uint32_t letter) { return static_cast<WCHAR>(letter & 0xFFFF); }

// A drive command of a user whom the access rule does not let read the drive fails with 2009 before
// anything of the drive is looked at; the first refusal of each letter on a connection is written to
// the event log. A letter outside A..Z is left to the command's own check.
void RequireAccess(COstrinService& service, uint32_t letter) {
  const WCHAR upper = AsciiUpper(LetterUnit(letter));
  if (upper < 'A' || upper > 'Z') return;
  const COstrinConfiguration configuration = ReadConfigurationFile();
  static const platform::CLocalUser unknownUser;
  const platform::CLocalUser& user = connectionUser != nullptr ? *connectionUser : unknownUser;
  if (platform::MayReadDrive(user, configuration.access, upper, configuration.VolumeOf(upper))) return;
  const uint32_t bit = 1U << static_cast<uint32_t>(upper - 'A');
  if ((deniedLetters & bit) == 0) {
    deniedLetters |= bit;
    service.WriteTextEvent(EVENT_ACCESS_DENIED, user.Describe(), WString(1, upper));
  }
  ThrowError(ERR_ACCESS_DENIED);
}

bool IsCommandCode(uint32_t code) {
  switch (static_cast<ECommand>(code)) {
    case ECommand::Hello:
    case ECommand::OstrinOpenDrive:
    case ECommand::AbortOpen:
    case ECommand::CloseDrive:
    case ECommand::Quit:
    case ECommand::OstrinReadDir:
    case ECommand::DriveInfo:
      return true;
  }
  return false;
}

// Carries out one command whose code has been read; false when the connection is to end.
bool CarryOut(COstrinService& service, const std::shared_ptr<CConnection>& connection, CCommandReader& reader,
              uint32_t code) {
  CSockStream& stream = connection->Stream();
  switch (static_cast<ECommand>(code)) {
    case ECommand::Hello: {
      if (reader.ReadU32() != PROTOCOL_MAGIC) ThrowError(ERR_PROTOCOL_MAGIC_BAD);
      if (reader.ReadU32() != PROTOCOL_VERSION) ThrowError(ERR_WRONG_PROTOCOL_VERSION);
      connection->Send([](CSockStream& out) { WriteAck(out); });
      helloAccepted = true;
      return true;
    }
    case ECommand::OstrinOpenDrive: {
      const uint32_t letter = ReadLetterArgument(reader);
      RequireAccess(service, letter);
      auto request = std::make_unique<OpenDriveRequest>();
      request->connection = connection;
      request->letter = letter;
      request->job = connection->NextJob();
      // The job's first message waits for this lock, so the Ack is on the wire before it.
      const std::unique_lock<std::mutex> writes = connection->LockWrites();
      if (!g_openJobStarter.load()(std::move(request))) ThrowError(ERR_OPEN_THREAD_FAILED);
      WriteAck(stream);
      return true;
    }
    case ECommand::AbortOpen:
      CDriveSlot::RequestAbort(LetterUnit(ReadLetterArgument(reader)), *connection);
      return true;
    case ECommand::CloseDrive:
      CDriveSlot::Release(LetterUnit(ReadLetterArgument(reader)), *connection);
      return true;
    case ECommand::Quit:
      connection->Send([](CSockStream& out) { WriteAck(out); });
      return false;
    case ECommand::OstrinReadDir: {
      const uint32_t letter = ReadLetterArgument(reader);
      RequireAccess(service, letter);
      CDriveSlot::QueryImage(LetterUnit(letter), *connection);
      return true;
    }
    case ECommand::DriveInfo: {
      const uint32_t letter = ReadLetterArgument(reader);
      RequireAccess(service, letter);
      CDriveSlot::QueryState(LetterUnit(letter), *connection);
      return true;
    }
  }
  ThrowError(ERR_UNKNOWN_COMMAND);
}

// The accept loop's run of refusals for "connections_per_user", which the connection threads write
// to (they find the users); null outside the loop.
std::mutex g_userRefusalsMutex;
CFailureRun* g_userRefusals = nullptr;

void SetUserRefusals(CFailureRun* run) noexcept {
  const std::lock_guard<std::mutex> lock(g_userRefusalsMutex);
  if (g_userRefusals != nullptr) g_userRefusals->Ended();
  g_userRefusals = run;
}

void UserRefused(const std::string& key, uint32_t limit) {
  const WString userText = Utf8ToWide(key);
  WString refusal;
  const std::array<CFormatArg, 2> values{CFormatArg(userText), CFormatArg(limit)};
  if (!FormatWide(EVENT_USER_CONNECTIONS_LIMIT, values, &refusal)) return;
  const std::lock_guard<std::mutex> lock(g_userRefusalsMutex);
  if (g_userRefusals != nullptr) g_userRefusals->Failed(EVENT_WARNING, refusal);
}

void UserServed() {
  const std::lock_guard<std::mutex> lock(g_userRefusalsMutex);
  if (g_userRefusals != nullptr) g_userRefusals->Ended();
}

// When a connection accepted then must have finished its Hello, and the event of one that has not.
Clock::time_point HelloDeadlineOf(Clock::time_point accepted) {
  return accepted + std::chrono::seconds(ServiceTimings().helloTimeoutSeconds);
}
void WriteHelloTimeout(COstrinService& service) {
  g_eventBudget.Write(service, EVENT_HELLO_TIMEOUT, ServiceTimings().helloTimeoutSeconds);
}

// Serves an accepted connection on its own thread once its local user is known: who connected decides
// what the connection may read, and a connection of nobody known is not served. Wine's TCP table
// names a socket's process only once that process has used the socket, so a user not found at once
// is looked for again when the first bytes have come (within the time Hello has). One whose peer has
// closed it already (a probe whether the service listens) leaves no one to refuse and is closed
// without an event.
void ServeConnection(COstrinService& service, const std::shared_ptr<CConnection>& connection,
                     Clock::time_point accepted, uint32_t userLimit) noexcept {
  try {
    CSockStream& stream = connection->Stream();
    platform::CLocalUser user;
    bool found = false;
    if (ServiceTimings().peersAreTheServiceUser) {
      user = platform::CLocalUser::OfThisProcess();
      found = user.IsKnown();
    } else {
      found = user.FindPeer(stream.handle.Get());
    }
    if (!found) {
      const Clock::time_point deadline = HelloDeadlineOf(accepted);
      platform::SocketWait arrived = platform::SocketWait::TimedOut;
      while (service.running && arrived == platform::SocketWait::TimedOut && Clock::now() < deadline) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        arrived = platform::WaitSocket(stream.handle.Get(), platform::SocketReadiness::Readable,
                                       static_cast<int32_t>(std::min<int64_t>(left, 1000)));
      }
      if (arrived != platform::SocketWait::Ready) {
        connection->Close();
        if (service.running) WriteHelloTimeout(service);
        return;
      }
      found = user.FindPeer(stream.handle.Get());
    }
    if (found) {
      const std::string key = ConnectionUserKey(stream, user);
      if (!g_userConnections.Take(key, userLimit)) {
        connection->Close();
        UserRefused(key, userLimit);
        return;
      }
      UserServed();
      ConnectionThread(service, connection, std::move(user), accepted);
      g_userConnections.Give(key);
      return;
    }
    const WString reason = platform::SystemErrorText(platform::LastSystemError());
    unsigned char first = 0;
    const platform::SocketIoStatus peer = platform::ReceiveSocket(stream.handle.Get(), &first, 1).status;
    connection->Close();
    if (peer != platform::SocketIoStatus::PeerClosed && peer != platform::SocketIoStatus::Broken) {
      const WString address = Utf8ToWide(stream.peerAddress);
      WString message;
      const std::array<CFormatArg, 2> values{CFormatArg(address), CFormatArg(reason)};
      if (FormatWide(MESSAGE_PEER_USER_UNKNOWN, values, &message)) service.WriteTextEvent(EVENT_ERROR, message);
    }
  } catch (...) {
    // No memory even for the event: the connection is closed all the same.
    connection->Close();
  }
}

}  // namespace

int32_t ReadConfiguration() { return ReadConfigurationFile().port; }

std::string ConnectionUserKey(const CSockStream& accepted, const platform::CLocalUser& user) {
  if (ServiceTimings().usersByPeerAddress) return accepted.peerAddress;
  // The service's own user (the administrator, as the service runs) is not limited: it could end the
  // service anyway.
  static const std::string own = platform::CLocalUser::OfThisProcess().Id();
  const std::string id = user.Id();
  return id == own ? std::string() : id;
}

void SetOpenJobStarter(OpenJobStarter starter) {
  g_openJobStarter.store(starter != nullptr ? starter : &StartOpenDriveThread);
}

size_t ReapFinishedThreads() {
  size_t free = 0;
  for (CThreadTableEntry& entry : ThreadTable) {
    if (entry.used && entry.ended.load(std::memory_order_acquire)) {
      entry.thread.join();
      entry.used = false;
    }
    if (!entry.used) ++free;
  }
  return free;
}

bool ProcessCommand(COstrinService& service, const std::shared_ptr<CConnection>& connection) {
  CSockStream& stream = connection->Stream();
  if (stream.closed || !stream.handle.IsValid()) return false;
  CCommandReader reader(service, stream);
  uint32_t code = 0;
  try {
    // An idle connection is simply asked again; one whose peer has gone ends at the next call.
    if (!reader.ReadCode(&code)) {
      CommandSucceeded();
      return true;
    }
  } catch (const CSockException& e) {
    // The rest of the code did not come: the command is given up, and the connection with it.
    ReportStreamFailure(service, e);
    return false;
  }
  if (IsCommandCode(code)) unknownCommandsInARow = 0;
  try {
    const bool goOn = CarryOut(service, connection, reader, code);
    CommandSucceeded();
    return goOn;
  } catch (const CSockException& e) {
    ReportStreamFailure(service, e);
    return false;
  } catch (const CException& e) {
    // A refusal has its own event, once per letter (RequireAccess).
    if (e.Code() != ERR_ACCESS_DENIED.code) CommandFailed(service, EVENT_ERROR, e.Message());
    try {
      SendError(*connection, e.Code(), e.Message());
    } catch (const CSockException& sendFailure) {
      CommandFailed(service, EVENT_ERROR, sendFailure.Message());
      return false;
    }
    if (e.Code() == ERR_UNKNOWN_COMMAND.code && ++unknownCommandsInARow >= UNKNOWN_COMMAND_LIMIT) {
      // Answering garbage for ever would only fill the event log, four bytes an event.
      CommandSucceeded();
      g_eventBudget.Write(service, EVENT_UNKNOWN_COMMAND_LIMIT, UNKNOWN_COMMAND_LIMIT);
      return false;
    }
    return e.Code() != ERR_PROTOCOL_MAGIC_BAD.code && e.Code() != ERR_WRONG_PROTOCOL_VERSION.code;
  } catch (const std::exception& e) {
    // Out of memory or a failing lock in the middle of a command: the conversation cannot be trusted
    // to be in step any more, so the connection ends, and the service goes on.
    CommandFailed(service, EVENT_GENERIC_ERROR, Utf8ToWide(e.what()));
    return false;
  } catch (...) {
    CommandFailed(service, EVENT_GENERIC_ERROR, UNKNOWN_EXCEPTION_TEXT);
    return false;
  }
}

void ConnectionThread(COstrinService& service, std::shared_ptr<CConnection> connection,
                      platform::CLocalUser user, Clock::time_point accepted) noexcept {
  helloAccepted = false;
  helloDeadline = HelloDeadlineOf(accepted);
  unknownCommandsInARow = 0;
  connectionUser = &user;
  deniedLetters = 0;
  CFailureRun failures(service, true);
  commandFailures = &failures;
  try {
    connection->Stream().timeoutSeconds = ServiceTimings().connectionTimeoutSeconds;
    while (service.running && ProcessCommand(service, connection)) {
      if (HelloOverdue() && service.running) {
        // A connection that says nothing, or nothing but commands it may not give yet, would hold
        // its entry of the table for as long as it likes. (One the stop ends is no failure.)
        failures.Ended();
        WriteHelloTimeout(service);
        break;
      }
    }
  } catch (...) {
    // ProcessCommand lets nothing out; an event that cannot even be written ends up here.
  }
  failures.Ended();
  commandFailures = nullptr;
  // Open jobs of this connection may still hold it: they find it closed and drop what they send. The
  // uses of drives it still holds are given back.
  connection->Close();
  connectionUser = nullptr;
}

bool COstrinService::Prepare() {
  // Values that cannot be used end the process before it counts as started, and before it listens.
  const COstrinConfiguration configuration = ReadConfigurationFile();
  const uint32_t unreadable = platform::LastSystemError();
  const WString configurationFile = Utf8ToWide(ConfigurationFile());
  for (const std::string& warning : configuration.warnings) {
    WriteTextEvent(EVENT_CONFIGURATION_PROBLEM, configurationFile, Utf8ToWide(warning));
  }
  for (const std::string& error : configuration.errors) {
    WriteTextEvent(EVENT_CONFIGURATION_PROBLEM, configurationFile, Utf8ToWide(error));
  }
  const bool named = ConfigurationFileNamed() && !configuration.fileRead;
  if (named) WriteTextEvent(EVENT_CONFIGURATION_UNREADABLE, configurationFile, platform::SystemErrorText(unreadable));
  if (named || !configuration.errors.empty()) {
    WriteTextEvent(EVENT_CONFIGURATION_ERRORS, configurationFile,
                   static_cast<uint32_t>(configuration.errors.size() + (named ? 1 : 0)));
    std::_Exit(CONFIGURATION_FAILURE_EXIT_CODE);
  }
  return true;
}

int COstrinService::CheckConfiguration() {
  const COstrinConfiguration configuration = ReadConfigurationFile();
  const WString file = Utf8ToWide(ConfigurationFile());
  uint32_t problems = 0;
  if (!configuration.fileRead) {
    if (ConfigurationFileNamed()) {
      PrintError(EVENT_CONFIGURATION_UNREADABLE, file, platform::SystemErrorText(platform::LastSystemError()));
      PrintError(WTEXT("\n"));
      ++problems;
    } else {
      Print(CHECK_FILE_MISSING, file);
    }
  }
  for (const std::string& warning : configuration.warnings) PrintError(CHECK_FILE, file, Utf8ToWide(warning));
  for (const std::string& error : configuration.errors) PrintError(CHECK_FILE, file, Utf8ToWide(error));
  problems += static_cast<uint32_t>(configuration.errors.size());
  Print(CHECK_PORT, configuration.port);
  bool anyVolume = false;
  for (WCHAR letter = 'A'; letter <= 'Z'; ++letter) {
    const std::string& path = configuration.VolumeOf(letter);
    if (path.empty()) continue;
    anyVolume = true;
    const WString drive = WString(1, letter) + WTEXT(":");
    CNTFSVolume volume;
    try {
      volume.OpenLetter(letter, path);
      Print(CHECK_VOLUME_GOOD, drive, Utf8ToWide(path), static_cast<uint32_t>(volume.NtfsVersion() >> 8),
            static_cast<uint32_t>(volume.NtfsVersion() & 0xFF), volume.VolumeSize(), volume.ClusterSize(),
            volume.MftRecordCount());
    } catch (const CException& e) {
      PrintError(CHECK_VOLUME_BAD, drive, Utf8ToWide(path), e.Code(), e.Message());
      ++problems;
    }
  }
  if (!anyVolume) {
    Print(CHECK_NO_VOLUMES, platform::DriveLettersNeedMapping()
                                ? WTEXT("no drive letter names a volume")
                                : WTEXT("each drive letter names the system's volume of that letter"));
  }
  if (problems != 0) {
    PrintError(CHECK_BAD, file, problems);
    return OPTION_EXIT_FAILED;
  }
  Print(CHECK_GOOD, file);
  return OPTION_EXIT_OK;
}

void COstrinService::Serve() {
  // 1. The socket library.
  if (!platform::StartSocketLibrary()) {
    WriteTextEvent(EVENT_SOCKET_LIBRARY_FAILED);
    return;
  }
  // 2. The configuration: the port, and how long drives are kept after their last close.
  // (Prepare has refused values that cannot be used.)
  const COstrinConfiguration configuration = ReadConfigurationFile();
  const int32_t port = configuration.port;
  SetDriveKeepSeconds(configuration.keepSeconds);
  // 3. The event that ends the cleanup thread.
  platform::CTerminateEvent terminate;
  if (!terminate.Create(TERMINATE_EVENT_NAME)) {
    WriteTextEvent(EVENT_TERMINATE_EVENT_FAILED);
    platform::CleanupSocketLibrary();
    return;
  }
  g_eventService.store(this);
  SetSlotErrorReporter(&WriteSlotError);
  SetSlotWarningReporter(&WriteSlotWarning);
  SetSlotInfoReporter(&WriteSlotInfo);
  PrepareDriveSlots();
  // Drives can still be opened without the folder; publishing their images fails, each with its error.
  std::string folderProblem;
  if (!platform::PrepareSectionFolder(&folderProblem)) {
    WriteTextEvent(EVENT_SECTION_FOLDER_UNUSABLE, Utf8ToWide(folderProblem));
  }
  // A service that was killed, or crashed, left its drive sections behind with all their memory. None
  // of them is in use by a service any more (sections of services that run are never taken); clients
  // that still map one keep reading it.
  const size_t staleSections = platform::RemoveStaleSections(IMAGE_SECTION_NAME_PREFIX);
  if (staleSections > 0) WriteTextEvent(EVENT_STALE_SECTIONS_REMOVED, staleSections);
  // 4. The cleanup thread, outside the thread table.
  std::thread cleanup;
  try {
    cleanup = std::thread([&terminate] { CleanupThread(terminate); });
  } catch (const std::exception&) {
    WriteTextEvent(EVENT_CLEANUP_THREAD_FAILED);
    platform::CleanupSocketLibrary();
    return;
  }
  // 5. The listening stream. Without it the service cannot do anything: the process ends.
  CSockStream listener(ESockSide::Service);
  try {
    listener.Bind(port);
    listener.Listen();
  } catch (const CException&) {
    WriteTextEvent(EVENT_LISTEN_FAILED_ON_PORT, port, platform::SystemErrorText(platform::LastSystemError()));
    std::_Exit(LISTEN_FAILURE_EXIT_CODE);
  }
  // Clients may connect from now on: a service manager that waits for this starts them only now.
  platform::NotifyServiceReady();

  // 6. The accept loop. A failed pass waits the loop's time before the next: a connection that keeps
  // waiting while accept fails (no descriptors left) keeps the listener readable, and the loop would
  // otherwise spin, writing one event per pass.
  CFailureRun failures(*this, false);
  // Refusals for "connections_per_user", a run of them per user as one event and its count.
  CFailureRun userRefusals(*this, true);
  SetUserRefusals(&userRefusals);
  const auto userLimit = static_cast<uint32_t>(configuration.connectionsPerUser);
  int32_t iterations = 0;
  while (running) {
    bool failed = false;
    try {
      const platform::SocketWait wait = listener.WaitReadable(ACCEPT_WAIT_MS);
      if (wait == platform::SocketWait::Ready) {
        std::unique_ptr<CSockStream> accepted = listener.Accept();
        const Clock::time_point acceptedAt = Clock::now();
        std::shared_ptr<CConnection> connection;
        try {
          connection = std::make_shared<CConnection>(std::move(accepted));
        } catch (...) {
          // An accepted stream does not own its socket: close it here, or it would stay open.
          if (accepted) accepted->Close();
          throw;
        }
        if (!StartTrackedThread(EThreadKind::Connection, [this, connection, acceptedAt, userLimit]() noexcept {
              ServeConnection(*this, connection, acceptedAt, userLimit);
            })) {
          connection->Close();
          failures.Failed(EVENT_WARNING, EVENT_THREAD_START_FAILED);
        } else {
          failures.Ended();
        }
      } else if (wait == platform::SocketWait::Failed) {
        // A failing wait returns at once.
        failed = true;
      }
    } catch (const CSockException& e) {
      failures.Failed(EVENT_ERROR, e.Message());
      failed = true;
    } catch (const std::exception& e) {
      failures.Failed(EVENT_GENERIC_ERROR, Utf8ToWide(e.what()));
      failed = true;
    } catch (...) {
      failures.Failed(EVENT_GENERIC_ERROR, UNKNOWN_EXCEPTION_TEXT);
      failed = true;
    }
    if (failed) std::this_thread::sleep_for(std::chrono::milliseconds(ACCEPT_WAIT_MS));
    g_eventBudget.WriteDropped(*this, false);
    if (++iterations >= REAP_EVERY_ITERATIONS) {
      std::lock_guard<std::mutex> lock(ThreadTableMutex);
      ReapFinishedThreads();
      iterations = 0;
    }
  }

  // The stop sequence. Running scans stop at their next progress step; idle connection threads
  // notice the cleared flag after their current read time-out at the latest.
  failures.Ended();
  AbortAllDriveSlots();
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(ThreadTableMutex);
      if (ReapFinishedThreads() == THREAD_TABLE_SIZE) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(STOP_REAP_PAUSE_MS));
  }
  SetUserRefusals(nullptr);
  g_eventBudget.WriteDropped(*this, true);
  terminate.Signal();
  cleanup.join();
  terminate.Close();
  listener.Close();
  platform::CleanupSocketLibrary();
}
