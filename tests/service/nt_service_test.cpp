// The service framework in-process: control codes, text events from many threads, and whole runs under
// the Linux control dispatcher (signals sent to the dispatcher's thread).
#include "service/nt_service.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "event_log_file.h"
#include "platform/system_error.h"

namespace {

using namespace std::chrono_literals;
namespace platform = ostrin::platform;

constexpr char STARTED[] = "information 105 The service was started.";
constexpr char STOPPED[] = "information 109 The service was stopped.";
constexpr char BAD_REQUEST[] = "error 106 The service received an unsupported request.";

// Waits for a condition that another thread makes true; the limit only keeps a broken build from
// hanging, it measures nothing.
[[maybe_unused]] bool WaitUntil(const std::function<bool()>& condition) {
  const auto limit = std::chrono::steady_clock::now() + 10s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// A service that notes which operations the framework called.
class CProbeService : public CNTService {
 public:
  CProbeService() : CNTService(OSTRIN_SERVICE_NAME, OSTRIN_VERSION_MAJOR, OSTRIN_VERSION_MINOR) {}

  void HandleStop() override { Note("stop"); }
  void HandleInterrogate() override { Note("interrogate"); }
  void HandlePause() override { Note("pause"); }
  void HandleContinue() override { Note("continue"); }
  void HandleShutdown() override { Note("shutdown"); }
  bool HandleUserControl(uint32_t code) override {
    Note("user " + std::to_string(code));
    return acceptUserControl;
  }

  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_calls;
  }
  bool Called(const std::string& call) {
    for (const std::string& c : Calls()) {
      if (c == call) return true;
    }
    return false;
  }

  bool acceptUserControl = false;

 protected:
  void Note(const std::string& call) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_calls.push_back(call);
  }

 private:
  std::mutex m_lock;
  std::vector<std::string> m_calls;
};

class ServiceFrameworkTest : public ::testing::Test {
 protected:
  // Each service object opens its event source on its first event and reads the variable then.
  void NewEventLog() {
    m_log = MakeTestFolder() + "/events.log";
    SetTestVariable("OSTRIN_EVENT_LOG", m_log);
  }
  void SetUp() override { NewEventLog(); }
  void TearDown() override { UnsetTestVariable("OSTRIN_EVENT_LOG"); }
  std::vector<std::string> Records() const { return EventRecords(m_log); }

  std::string m_log;
};

TEST_F(ServiceFrameworkTest, ControlCodes) {
  struct Case {
    uint32_t code;
    bool acceptUserControl;
    std::vector<std::string> records;
    std::vector<std::string> calls;
    bool runningAfter;
    uint32_t stateAfter;
  };
  const uint32_t running = platform::SVC_STATE_RUNNING;
  const Case cases[] = {
      {1, false, {STOPPED}, {"stop"}, false, platform::SVC_STATE_STOP_PENDING},
      {2, false, {}, {"pause"}, true, running},
      {3, false, {}, {"continue"}, true, running},
      {4, false, {}, {"interrogate"}, true, running},
      {5, false, {}, {"shutdown"}, true, running},  // shutdown does not stop the service
      {200, false, {BAD_REQUEST}, {"user 200"}, true, running},
      {200, true, {}, {"user 200"}, true, running},
      {128, false, {BAD_REQUEST}, {"user 128"}, true, running},
      {0, false, {BAD_REQUEST}, {}, true, running},
      {6, false, {BAD_REQUEST}, {}, true, running},
      {127, true, {BAD_REQUEST}, {}, true, running},  // below the user range the hook is not asked
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("control code " + std::to_string(c.code));
    NewEventLog();
    CProbeService service;
    service.acceptUserControl = c.acceptUserControl;
    service.running = true;
    service.SetStatus(platform::SVC_STATE_RUNNING);
    CNTService::ControlHandler(c.code);
    EXPECT_EQ(Records(), c.records);
    EXPECT_EQ(service.Calls(), c.calls);
    EXPECT_EQ(service.running, c.runningAfter);
    EXPECT_EQ(service.CurrentStatus().currentState, c.stateAfter);
  }
}

TEST_F(ServiceFrameworkTest, TextEvents) {
  struct Case {
    const char* what;
    std::function<void(CNTService&)> write;
    std::vector<std::string> records;
  };
  const Case cases[] = {
      {"formatted text", [](CNTService& s) { s.WriteTextEvent(WTEXT("Error: %s"), WString(WTEXT("read: timeout"))); },
       {"warning 108 Error: read: timeout"}},
      {"numbers", [](CNTService& s) { s.WriteTextEvent(WTEXT("port %d, code %lu"), 49020, 2006UL); },
       {"warning 108 port 49020, code 2006"}},
      {"empty format", [](CNTService& s) { s.WriteTextEvent(WTEXT("")); }, {}},
      {"empty result", [](CNTService& s) { s.WriteTextEvent(WTEXT("%s"), WString()); }, {}},
      {"value that does not suit the format", [](CNTService& s) { s.WriteTextEvent(WTEXT("%d"), WTEXT("x")); }, {}},
      {"missing value", [](CNTService& s) { s.WriteTextEvent(WTEXT("Error: %s")); }, {}},
      {"message table event", [](CNTService& s) { s.WriteEvent(platform::EventType::Information, 100, s.name); },
       {"information 100 The OstrinNT service was installed."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NewEventLog();
    CProbeService service;
    c.write(service);
    EXPECT_EQ(Records(), c.records);
  }
}

TEST_F(ServiceFrameworkTest, TextEventsFromManyThreadsArriveWholeAndAll) {
  constexpr int THREADS = 16;
  constexpr int RECORDS = 200;
  CProbeService service;
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&service, &go, t] {
      while (!go) std::this_thread::yield();
      // The first events of all threads race to open the event source.
      for (int i = 0; i < RECORDS; ++i) service.WriteTextEvent(WTEXT("thread %d record %d"), t, i);
    });
  }
  go = true;
  for (std::thread& thread : threads) thread.join();

  const std::vector<std::string> records = Records();
  EXPECT_EQ(records.size(), static_cast<size_t>(THREADS * RECORDS));
  std::set<std::pair<int, int>> seen;
  for (const std::string& r : records) {
    int thread = -1;
    int number = -1;
    char rest = 0;
    // A record mixed with another would leave text behind the number.
    ASSERT_EQ(std::sscanf(r.c_str(), "warning 108 thread %d record %d%c", &thread, &number, &rest), 2) << r;
    EXPECT_TRUE(seen.emplace(thread, number).second) << "twice: " << r;
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(THREADS * RECORDS));
}

TEST_F(ServiceFrameworkTest, ServiceEntryOutsideTheDispatcher) {
  CProbeService service;
  CNTService::ServiceEntry(0, nullptr);
  EXPECT_EQ(Records(), std::vector<std::string>{"error 103 The control handler could not be installed."});
  EXPECT_FALSE(service.running);
}

#ifndef _WIN32
// A service run by the real dispatcher in this process; its controls are signals sent to the
// dispatcher's thread, as systemd sends them to the process (Linux only; tests/windows/skip-list).
class CDispatchedService : public CProbeService {
 public:
  struct Script {
    int signalWhileStarting = 0;  // sent from Prepare, before the service reports running
    bool prepareResult = true;
    uint32_t prepareError = 0;
    std::vector<int> signalsWhileServing;  // SIGHUP waits for its interrogate before the next one
  };

  explicit CDispatchedService(Script script) : m_script(std::move(script)), m_dispatcherThread(pthread_self()) {}

  bool Prepare() override {
    Note("prepare");
    if (m_script.signalWhileStarting != 0) {
      pthread_kill(m_dispatcherThread, m_script.signalWhileStarting);
      // Time for a dispatcher that passed the stop on at once to do so.
      std::this_thread::sleep_for(200ms);
    }
    platform::SetLastSystemError(m_script.prepareError);
    return m_script.prepareResult;
  }

  void Serve() override {
    Note("serve");
    for (int signal : m_script.signalsWhileServing) {
      pthread_kill(m_dispatcherThread, signal);
      if (signal == SIGHUP) {
        EXPECT_TRUE(WaitUntil([this] { return Called("interrogate"); }));
      }
    }
    stopSeen = WaitUntil([this] { return !running; });
  }

  bool stopSeen = false;

 private:
  Script m_script;
  pthread_t m_dispatcherThread;
};

TEST_F(ServiceFrameworkTest, RunsUnderTheDispatcher) {
  struct Case {
    const char* what;
    CDispatchedService::Script script;
    std::vector<std::string> records;
    std::vector<std::string> calls;
    int exitCode;
  };
  const Case cases[] = {
      {"interrogate, then stop by SIGTERM",
       {0, true, 0, {SIGHUP, SIGTERM}},
       {STARTED, STOPPED},
       {"prepare", "serve", "interrogate", "stop"},
       0},
      {"stop by SIGINT", {0, true, 0, {SIGINT}}, {STARTED, STOPPED}, {"prepare", "serve", "stop"}, 0},
      // The stop is held until the service reports running, so it cannot be undone by the start.
      {"stop while starting", {SIGTERM, true, 0, {}}, {STARTED, STOPPED}, {"prepare", "serve", "stop"}, 0},
      {"failed start", {0, false, 42, {}}, {"error 104 The initialization process failed."}, {"prepare"}, 42},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NewEventLog();
    CDispatchedService service(c.script);
    WString program = WTEXT("test");
    WCHAR* argv[] = {program.data(), nullptr};
    EXPECT_EQ(RunServiceProcess(service, 1, argv), c.exitCode);
    EXPECT_EQ(Records(), c.records);
    // A stop may reach the service before or after its main work begins.
    std::vector<std::string> calls = service.Calls();
    std::vector<std::string> expectedCalls = c.calls;
    std::sort(calls.begin(), calls.end());
    std::sort(expectedCalls.begin(), expectedCalls.end());
    EXPECT_EQ(calls, expectedCalls);
    EXPECT_EQ(service.stopSeen, c.exitCode == 0);
    EXPECT_EQ(service.CurrentStatus().currentState, platform::SVC_STATE_STOPPED);
  }
}

#endif

}  // namespace
