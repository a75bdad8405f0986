// Test helpers for the command server: the real OstrinNT program run as a process in a folder of its
// own (its OstrinNT.ini on a free port, its event-log file), and a hand-written client that speaks the
// wire protocol byte by byte over a real loopback socket.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/sock_stream.h"
#include "platform/socket.h"
#include "platform/types.h"
#include "tests/common/loopback_pair.h"
#include "tests/support/child_process.h"
#include "tests/support/expected_scan.h"

namespace ostrin::test {

struct SServerOptions {
  // OstrinNT-test (the program with the tests' timings) instead of OstrinNT.
  bool testProgram = false;
  // volume.X lines of the configuration: letter to image path.
  std::map<char, std::string> volumes;
  // NAME=value pairs added to the program's environment (the tests' timings).
  std::vector<std::pair<std::string, std::string>> environment;
  // The port line; empty: "port = <a free port>".
  std::string portLine;
  // Further lines of the configuration ("access = everyone").
  std::vector<std::string> lines;
  // Whether OstrinNT.ini is written at all.
  bool writeConfiguration = true;
  // Arguments of the program ("-c", "FILE").
  std::vector<std::string> arguments;
  // The port to listen on; 0: a free port. OstrinAPI always connects to 49020 (CLIENT_PORT); tests
  // that run the server there hold the CTest resource lock "port49020".
  uint16_t fixedPort = 0;

  SServerOptions& TestProgram() { testProgram = true; return *this; }
  SServerOptions& Volume(char letter, std::string image) { volumes[letter] = std::move(image); return *this; }
  SServerOptions& Environment(std::string name, std::string value) {
    environment.emplace_back(std::move(name), std::move(value));
    return *this;
  }
  SServerOptions& PortLine(std::string line) { portLine = std::move(line); return *this; }
  SServerOptions& Line(std::string line) { lines.push_back(std::move(line)); return *this; }
  SServerOptions& NoConfiguration() { writeConfiguration = false; return *this; }
  SServerOptions& Arguments(std::vector<std::string> list) { arguments = std::move(list); return *this; }
  SServerOptions& Port(uint16_t port) { fixedPort = port; return *this; }
};

// The socket library held for the life of its owner (Windows counts its starts; a no-op elsewhere), so
// that tests without the socket fixture may run servers and clients.
class CSocketLibraryUse {
 public:
  CSocketLibraryUse() : m_started(platform::StartSocketLibrary()) {}
  ~CSocketLibraryUse() {
    if (m_started) platform::CleanupSocketLibrary();
  }
  CSocketLibraryUse(const CSocketLibraryUse&) = delete;
  CSocketLibraryUse& operator=(const CSocketLibraryUse&) = delete;

 private:
  bool m_started;
};

class CServerProcess {
 public:
  explicit CServerProcess(SServerOptions options = {});
  // Kills the program if it still runs.
  ~CServerProcess();
  CServerProcess(const CServerProcess&) = delete;
  CServerProcess& operator=(const CServerProcess&) = delete;

  // Starts the program; with waitUntilListening, returns once its port accepts connections.
  void Start(bool waitUntilListening = true);
  // Sends the stop control (SIGTERM on Linux, the stop event on Windows) without waiting.
  void RequestStop();
  // Sends the stop control and waits for the end. The exit code, or -1 when the program
  // had not ended after timeoutMs (it is then killed).
  int Stop(int timeoutMs = 30000);
  // Waits for the program to end by itself; the exit code, or -1 after timeoutMs.
  int WaitForExit(int timeoutMs);
  bool IsRunning();
  // Ends the program at once, as a crash would, and waits for it.
  void Kill();
  // The program's process id while it runs.
  int64_t Pid() const { return m_child.Id(); }

  uint16_t Port() const { return m_port; }
  const std::string& Folder() const { return m_folder; }

  // What the program wrote on its standard output and error.
  std::string Output() const;
  // The event-log file as written, time stamps included (for failure messages).
  std::string EventLogText() const;
  // The event-log records, each "<type> <id> <text>".
  std::vector<std::string> Events() const;
  // How many records are the text event (warning 108) with exactly this text.
  size_t CountTextEvents(const std::string& text) const;
  // How many text events start with this text.
  size_t CountTextEventsStartingWith(const std::string& prefix) const;
  // Waits until at least count text events start with the prefix; false after timeoutMs.
  bool WaitForTextEvent(const std::string& prefix, size_t count = 1, int timeoutMs = 15000) const;
  // How many failures the text events tell of with exactly this text: one for each event of the text
  // and the rest of each run of them ("<text> (N times in a row)", written after its first).
  size_t CountFailures(const std::string& text) const;
  // Waits until CountFailures(text) reaches count; false after timeoutMs.
  bool WaitForFailures(const std::string& text, size_t count, int timeoutMs = 15000) const;
  // The number of events of connections and open jobs that the service's rate of events left
  // unwritten, summed over its events that say so.
  uint64_t CountDroppedEvents() const;

 private:
  CSocketLibraryUse m_socketLibrary;
  SServerOptions m_options;
  std::string m_folder;
  uint16_t m_port = 0;
  CChildProcess m_child;
};

// A free TCP port on 127.0.0.1 at the moment of the call.
uint16_t FreeLoopbackPort();

// How one open ended on the wire.
struct SOpenResult {
  std::vector<uint32_t> progress;  // every OpenProgress percent, in order
  uint32_t end = 0xFFFFFFFF;       // 4 OpenDone, 6 OpenAborted, 0 failure; unchanged when the stream broke
  int32_t errorCode = 0;
  std::string errorText;
};

// Whether name is a section name the service publishes a generation of a drive under, for the letter
// as sent: "Global\OstrinNT_Drive_", the letter, "-", 16 hexadecimal digits, "-" and a generation.
::testing::AssertionResult IsSectionNameOf(const std::u16string& name, char16_t letter);

// Text as it goes on the wire (UTF-16) in the platform's wide string type (wchar_t on Windows).
inline WString NativeText(std::u16string_view text) { return WString(text.begin(), text.end()); }

// A client connection to the server, with raw reads and writes.
class CRawClient {
 public:
  explicit CRawClient(uint16_t port, int32_t timeoutSeconds = 20);
  ~CRawClient();

  CSockStream& Stream() { return m_stream; }
  void Send(const CBytes& bytes);
  void SendCommand(uint32_t command, uint32_t letter);
  void SendCode(uint32_t code);
  std::vector<unsigned char> Read(size_t count);
  uint32_t ReadU32();
  std::u16string ReadWireString();

  // Reads exactly the expected bytes and compares them.
  ::testing::AssertionResult Expect(const CBytes& expected);
  // Expects an error reply with this code and text.
  ::testing::AssertionResult ExpectError(int32_t code, std::u16string_view text);
  ::testing::AssertionResult ExpectAck() { return Expect(CBytes().U32(1)); }
  // True when no byte arrives within ms.
  bool Silent(int ms);
  // True when the server ends the connection within timeoutMs without sending anything more.
  bool ClosedByServer(int timeoutMs = 15000);
  void Close();

  // Hello, and its Ack.
  void Hello();
  // OstrinOpenDrive, its Ack, then the open messages to the end of the open.
  SOpenResult Open(uint32_t letter);
  // The open messages up to the end of an open (the Ack already read); onProgress is called with each
  // percent as it arrives.
  SOpenResult ReadOpenMessages(uint32_t letter, const std::function<void(uint32_t)>& onProgress = nullptr);
  // OstrinReadDir; true with the name and size on an Ack, false with the error otherwise.
  bool ReadDir(uint32_t letter, std::u16string* sectionName, uint64_t* imageSize, int32_t* errorCode = nullptr);
  // OstrinReadDir answered with a section of the letter as sent and the image size; *sectionName
  // (when given) receives the name.
  ::testing::AssertionResult ExpectImage(uint32_t letter, char16_t letterInName, uint64_t imageSize,
                                         std::u16string* sectionName = nullptr);

 private:
  CSocketLibraryUse m_socketLibrary;
  CSockStream m_stream{ESockSide::Client};
};

}  // namespace ostrin::test
