// The server program as a test process, and the raw protocol client.
#include "tests/service/server_process.h"

#include <cctype>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "common/exceptions.h"
#include "common/text.h"
#include "index/drive_index.h"
#include "platform/socket.h"
#include "tests/service/event_log_file.h"

#if !defined(OSTRIN_NT_PATH) || !defined(OSTRIN_NT_TEST_PATH)
#error "OSTRIN_NT_PATH and OSTRIN_NT_TEST_PATH come from tests/service/command_server_tests.cmake"
#endif

namespace ostrin::test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int START_TIMEOUT_MS = 20000;
constexpr int POLL_MS = 10;

std::string Tail(const std::string& path) {
  const std::string text = ReadWholeFile(path);
  return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
}

// The text events: records "warning 108 <text>".
std::vector<std::string> TextEvents(const std::vector<std::string>& records) {
  const std::string prefix = "warning 108 ";
  std::vector<std::string> texts;
  for (const std::string& record : records) {
    if (record.rfind(prefix, 0) == 0) texts.push_back(record.substr(prefix.size()));
  }
  return texts;
}

}  // namespace

uint16_t FreeLoopbackPort() {
  CSocketLibraryUse socketLibrary;
  CSockStream probe(ESockSide::Service);
  probe.Bind(0);
  return probe.LocalPort();
}

CServerProcess::CServerProcess(SServerOptions options) : m_options(std::move(options)) {
  m_folder = MakeTestFolder();
  m_port = m_options.fixedPort != 0 ? m_options.fixedPort : FreeLoopbackPort();
  if (!m_options.writeConfiguration) return;
  std::ofstream ini(m_folder + "/OstrinNT.ini");
  ini << "# written by the test\n";
  ini << (m_options.portLine.empty() ? "port = " + std::to_string(m_port) : m_options.portLine) << "\n";
  for (const auto& [letter, image] : m_options.volumes) ini << "volume." << letter << " = " << image << "\n";
  for (const std::string& line : m_options.lines) ini << line << "\n";
}

CServerProcess::~CServerProcess() {
  m_child.Kill();
  std::error_code ignored;
  std::filesystem::remove_all(m_folder, ignored);
}

void CServerProcess::Start(bool waitUntilListening) {
  const std::string output = m_folder + "/output.log";
  std::vector<std::string> argv{m_options.testProgram ? OSTRIN_NT_TEST_PATH : OSTRIN_NT_PATH};
  argv.insert(argv.end(), m_options.arguments.begin(), m_options.arguments.end());
  SChildStart start{.argv = argv,
                    .folder = m_folder,
                    .environment = m_options.environment,
                    .outputPath = output,
                    .errorPath = output};
  start.environment.emplace_back("OSTRIN_EVENT_LOG", m_folder + "/events.log");
  ASSERT_TRUE(m_child.Start(start)) << "the server program cannot be started";
  if (!waitUntilListening) return;
  const auto deadline = Clock::now() + std::chrono::milliseconds(START_TIMEOUT_MS);
  while (Clock::now() < deadline) {
    ASSERT_TRUE(IsRunning()) << "the server ended at start with " << m_child.ExitCode() << ":\n" << Tail(output);
    CSockStream probe(ESockSide::Client);
    try {
      probe.Connect("127.0.0.1", m_port);
      return;
    } catch (const CSockException&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MS));
    }
  }
  FAIL() << "the server did not listen on port " << m_port;
}

bool CServerProcess::IsRunning() { return m_child.IsRunning(); }

std::string CServerProcess::Output() const {
  std::ifstream file(m_folder + "/output.log", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

int CServerProcess::WaitForExit(int timeoutMs) { return m_child.WaitForExit(timeoutMs); }

void CServerProcess::Kill() { m_child.Kill(); }

void CServerProcess::RequestStop() { m_child.RequestStop(); }

int CServerProcess::Stop(int timeoutMs) {
  RequestStop();
  const int code = WaitForExit(timeoutMs);
  if (code == -1 && IsRunning()) {
    ADD_FAILURE() << "the server did not stop within " << timeoutMs << " ms";
    m_child.Kill();
  } else if (code != 0) {
    ADD_FAILURE() << "the server ended with " << code << ":\n" << Tail(m_folder + "/output.log");
  }
  return code;
}

std::string CServerProcess::EventLogText() const { return ReadWholeFile(m_folder + "/events.log"); }

std::vector<std::string> CServerProcess::Events() const { return EventRecords(m_folder + "/events.log"); }

size_t CServerProcess::CountTextEvents(const std::string& text) const {
  size_t count = 0;
  for (const std::string& event : TextEvents(Events())) count += event == text ? 1 : 0;
  return count;
}

size_t CServerProcess::CountTextEventsStartingWith(const std::string& prefix) const {
  size_t count = 0;
  for (const std::string& event : TextEvents(Events())) count += event.rfind(prefix, 0) == 0 ? 1 : 0;
  return count;
}

bool CServerProcess::WaitForTextEvent(const std::string& prefix, size_t count, int timeoutMs) const {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (CountTextEventsStartingWith(prefix) < count) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MS));
  }
  return true;
}

size_t CServerProcess::CountFailures(const std::string& text) const {
  const std::string runStart = text + " (";
  const std::string runEnd = " times in a row)";
  size_t count = 0;
  for (const std::string& event : TextEvents(Events())) {
    if (event == text) {
      ++count;
    } else if (event.size() > runStart.size() + runEnd.size() && event.rfind(runStart, 0) == 0 &&
               event.compare(event.size() - runEnd.size(), runEnd.size(), runEnd) == 0) {
      const std::string number = event.substr(runStart.size(), event.size() - runStart.size() - runEnd.size());
      if (number.find_first_not_of("0123456789") == std::string::npos) count += std::stoul(number) - 1;
    }
  }
  return count;
}

bool CServerProcess::WaitForFailures(const std::string& text, size_t count, int timeoutMs) const {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (CountFailures(text) < count) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MS));
  }
  return true;
}

uint64_t CServerProcess::CountDroppedEvents() const {
  uint64_t dropped = 0;
  for (const std::string& event : TextEvents(Events())) {
    unsigned long long count = 0;
    char tail[16] = {};
    if (std::sscanf(event.c_str(), "Error: %llu events of connections and open jobs not %15s", &count, tail) == 2 &&
        std::string(tail) == "written:") {
      dropped += count;
    }
  }
  return dropped;
}

::testing::AssertionResult IsSectionNameOf(const std::u16string& name, char16_t letter) {
  const std::u16string start = std::u16string(u"Global\\OstrinNT_Drive_") + letter + u'-';
  const auto failure = [&] { return ::testing::AssertionFailure() << WideToUtf8(NativeText(name)) << " is no section name of " << static_cast<char>(letter); };
  if (name.compare(0, start.size(), start) != 0 || name.size() < start.size() + 18) return failure();
  for (size_t i = start.size(); i < start.size() + 16; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return failure();
  }
  if (name[start.size() + 16] != u'-') return failure();
  for (size_t i = start.size() + 17; i < name.size(); ++i) {
    if (name[i] < u'0' || name[i] > u'9') return failure();
  }
  return ::testing::AssertionSuccess();
}

CRawClient::CRawClient(uint16_t port, int32_t timeoutSeconds) {
  m_stream.timeoutSeconds = timeoutSeconds;
  m_stream.Connect("127.0.0.1", port);
}

CRawClient::~CRawClient() = default;

void CRawClient::Send(const CBytes& bytes) { m_stream.Write(bytes.bytes.data(), bytes.bytes.size()); }

void CRawClient::SendCommand(uint32_t command, uint32_t letter) { Send(CBytes().U32(command).U32(letter)); }

void CRawClient::SendCode(uint32_t code) { Send(CBytes().U32(code)); }

std::vector<unsigned char> CRawClient::Read(size_t count) { return ReadBytes(m_stream, count); }

uint32_t CRawClient::ReadU32() {
  const std::vector<unsigned char> bytes = Read(4);
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 | static_cast<uint32_t>(bytes[2]) << 16 |
         static_cast<uint32_t>(bytes[3]) << 24;
}

std::u16string CRawClient::ReadWireString() {
  const uint32_t count = ReadU32();
  EXPECT_LT(count, 4096u) << "a wire string of the server is short";
  const std::vector<unsigned char> bytes = Read(2 * static_cast<size_t>(count));
  std::u16string text;
  for (size_t i = 0; i < count; ++i) text.push_back(static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8));
  return text;
}

::testing::AssertionResult CRawClient::Expect(const CBytes& expected) {
  std::vector<unsigned char> got;
  try {
    got = Read(expected.bytes.size());
  } catch (const CSockException& e) {
    return ::testing::AssertionFailure() << "reading " << expected.bytes.size() << " bytes: " << WideToUtf8(e.Message());
  }
  if (got == expected.bytes) return ::testing::AssertionSuccess();
  std::ostringstream text;
  text << "bytes differ:\n  got     ";
  for (unsigned char b : got) text << std::hex << static_cast<int>(b) << ' ';
  text << "\n  expected ";
  for (unsigned char b : expected.bytes) text << std::hex << static_cast<int>(b) << ' ';
  return ::testing::AssertionFailure() << text.str();
}

::testing::AssertionResult CRawClient::ExpectError(int32_t code, std::u16string_view text) {
  return Expect(CBytes().U32(0).U32(static_cast<uint32_t>(code)).Str(text));
}

bool CRawClient::Silent(int ms) {
  return platform::WaitSocket(m_stream.handle.Get(), platform::SocketReadiness::Readable, ms) ==
         platform::SocketWait::TimedOut;
}

bool CRawClient::ClosedByServer(int timeoutMs) {
  if (platform::WaitSocket(m_stream.handle.Get(), platform::SocketReadiness::Readable, timeoutMs) !=
      platform::SocketWait::Ready) {
    return false;
  }
  unsigned char byte = 0;
  const platform::SocketIoResult result = platform::ReceiveSocket(m_stream.handle.Get(), &byte, 1);
  return result.status == platform::SocketIoStatus::PeerClosed || result.status == platform::SocketIoStatus::Broken;
}

void CRawClient::Close() { m_stream.Close(); }

void CRawClient::Hello() {
  Send(CBytes().U32(2).U32(0x29052020).U32(1));
  ASSERT_TRUE(ExpectAck());
}

SOpenResult CRawClient::Open(uint32_t letter) {
  SendCommand(3, letter);
  EXPECT_TRUE(ExpectAck());
  return ReadOpenMessages(letter);
}

SOpenResult CRawClient::ReadOpenMessages(uint32_t letter, const std::function<void(uint32_t)>& onProgress) {
  SOpenResult result;
  try {
    for (;;) {
      const uint32_t code = ReadU32();
      if (code == 5) {
        EXPECT_EQ(ReadU32(), letter) << "OpenProgress echoes the letter as sent";
        const uint32_t percent = ReadU32();
        EXPECT_LE(percent, 100u);
        if (!result.progress.empty()) {
          EXPECT_GT(percent, result.progress.back()) << "percentages rise strictly";
        }
        result.progress.push_back(percent);
        if (onProgress) onProgress(percent);
        continue;
      }
      result.end = code;
      if (code == 4 || code == 6) {
        EXPECT_EQ(ReadU32(), letter) << "the end of an open echoes the letter as sent";
      } else if (code == 0) {
        result.errorCode = static_cast<int32_t>(ReadU32());
        result.errorText = WideToUtf8(NativeText(ReadWireString()));
      } else {
        ADD_FAILURE() << "message code " << code << " is not one of an open";
      }
      return result;
    }
  } catch (const CSockException& e) {
    // The stream broke: the open's end never came.
    result.errorText = WideToUtf8(e.Message());
    return result;
  }
}

bool CRawClient::ReadDir(uint32_t letter, std::u16string* sectionName, uint64_t* imageSize, int32_t* errorCode) {
  SendCommand(10, letter);
  if (ReadU32() == 0) {
    const auto code = static_cast<int32_t>(ReadU32());
    ReadWireString();
    if (errorCode != nullptr) *errorCode = code;
    return false;
  }
  const std::u16string name = ReadWireString();
  const std::vector<unsigned char> size = Read(8);
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | size[static_cast<size_t>(i)];
  if (sectionName != nullptr) *sectionName = name;
  if (imageSize != nullptr) *imageSize = value;
  return true;
}

::testing::AssertionResult CRawClient::ExpectImage(uint32_t letter, char16_t letterInName, uint64_t imageSize,
                                                   std::u16string* sectionName) {
  std::u16string name;
  uint64_t size = 0;
  int32_t code = 0;
  try {
    if (!ReadDir(letter, &name, &size, &code)) return ::testing::AssertionFailure() << "OstrinReadDir failed with " << code;
  } catch (const CSockException& e) {
    return ::testing::AssertionFailure() << "OstrinReadDir: " << WideToUtf8(e.Message());
  }
  if (sectionName != nullptr) *sectionName = name;
  if (size != imageSize) return ::testing::AssertionFailure() << "image size " << size << ", not " << imageSize;
  return IsSectionNameOf(name, letterInName);
}

}  // namespace ostrin::test
