// The ostrin command as its users run it: the real OstrinNT on a made volume, ostrin run as a program,
// its output compared with the text a user sees and its --json output parsed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/protocol.h"
#include "tests/service/server_process.h"
#include "tests/service/server_test_timings.h"
#include "tests/support/run_program.h"
#include "tests/support/test_volume.h"

namespace {

using ostrin::test::CServerProcess;
using ostrin::test::SProgramResult;
using ostrin::test::SServerOptions;

ostrin::test::SProgramResult Ostrin(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), OSTRIN_CLI_PATH);
  return ostrin::test::RunProgram(arguments);
}

// ---- A JSON reader, strict enough to reject anything a JSON parser would.

struct SJson {
  enum class EType { Null, Bool, Number, String, Array, Object } type = EType::Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<SJson> items;
  std::map<std::string, SJson> members;

  const SJson& operator[](const std::string& key) const { return members.at(key); }
};

class CJsonReader {
 public:
  explicit CJsonReader(const std::string& text) : m_text(text) {}

  // The document, or a failure of the test when the text is not one JSON value.
  bool Read(SJson* value) {
    if (!Value(value, 0)) return false;
    SkipSpace();
    return m_at == m_text.size();
  }

 private:
  void SkipSpace() {
    while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\n' || m_text[m_at] == '\t' || m_text[m_at] == '\r')) ++m_at;
  }
  bool Literal(const char* word) {
    const std::string expected(word);
    if (m_text.compare(m_at, expected.size(), expected) != 0) return false;
    m_at += expected.size();
    return true;
  }
  bool String(std::string* out) {
    if (m_at >= m_text.size() || m_text[m_at] != '"') return false;
    ++m_at;
    while (m_at < m_text.size() && m_text[m_at] != '"') {
      const char c = m_text[m_at++];
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (m_at >= m_text.size()) return false;
      const char escaped = m_text[m_at++];
      if (escaped == 'u') {
        if (m_at + 4 > m_text.size()) return false;
        const unsigned code = std::stoul(m_text.substr(m_at, 4), nullptr, 16);
        m_at += 4;
        if (code >= 0x80) return false;  // ostrin escapes only control characters
        out->push_back(static_cast<char>(code));
      } else if (escaped == '"' || escaped == '\\' || escaped == '/') {
        out->push_back(escaped);
      } else {
        return false;
      }
    }
    if (m_at >= m_text.size()) return false;
    ++m_at;
    return true;
  }
  bool Value(SJson* value, int depth) {
    if (depth > 64) return false;
    SkipSpace();
    if (m_at >= m_text.size()) return false;
    const char c = m_text[m_at];
    if (c == '{') {
      value->type = SJson::EType::Object;
      ++m_at;
      SkipSpace();
      if (m_at < m_text.size() && m_text[m_at] == '}') return ++m_at, true;
      for (;;) {
        SkipSpace();
        std::string key;
        if (!String(&key)) return false;
        SkipSpace();
        if (m_at >= m_text.size() || m_text[m_at++] != ':') return false;
        if (!Value(&value->members[key], depth + 1)) return false;
        SkipSpace();
        if (m_at >= m_text.size()) return false;
        if (m_text[m_at] == '}') return ++m_at, true;
        if (m_text[m_at++] != ',') return false;
      }
    }
    if (c == '[') {
      value->type = SJson::EType::Array;
      ++m_at;
      SkipSpace();
      if (m_at < m_text.size() && m_text[m_at] == ']') return ++m_at, true;
      for (;;) {
        value->items.emplace_back();
        if (!Value(&value->items.back(), depth + 1)) return false;
        SkipSpace();
        if (m_at >= m_text.size()) return false;
        if (m_text[m_at] == ']') return ++m_at, true;
        if (m_text[m_at++] != ',') return false;
      }
    }
    if (c == '"') {
      value->type = SJson::EType::String;
      return String(&value->text);
    }
    if (Literal("true") || Literal("false")) {
      value->type = SJson::EType::Bool;
      value->boolean = m_text[m_at - 1] == 'e' && m_text[m_at - 2] == 'u';
      return true;
    }
    if (Literal("null")) return true;
    size_t used = 0;
    try {
      value->number = std::stod(m_text.substr(m_at), &used);
    } catch (const std::exception&) {
      return false;
    }
    value->type = SJson::EType::Number;
    m_at += used;
    return used > 0;
  }

  const std::string& m_text;
  size_t m_at = 0;
};

SJson ParseJson(const std::string& text) {
  SJson value;
  EXPECT_TRUE(CJsonReader(text).Read(&value)) << "not JSON:\n" << text;
  return value;
}

// ---- The command on a running service.

class OstrinCommandTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_volume = std::make_unique<ostrin::test::STestVolume>(ostrin::test::MakeTestVolume("cli-sample"));
  }
  static void TearDownTestSuite() { s_volume.reset(); }

  void SetUp() override {
    m_server = std::make_unique<CServerProcess>(SServerOptions().Port(CLIENT_PORT).Volume('S', s_volume->image));
    m_server->Start();
  }

  static std::unique_ptr<ostrin::test::STestVolume> s_volume;
  std::unique_ptr<CServerProcess> m_server;
};

std::unique_ptr<ostrin::test::STestVolume> OstrinCommandTest::s_volume;

TEST_F(OstrinCommandTest, ListingsReadAsTheUserExpects) {
  struct Case {
    std::vector<std::string> arguments;
    std::string out;
  };
  const Case cases[] = {
      {{"ls", "S:"},
       "Documents\\\nPictures\\\nArchive\\\nUnicode\\\nTemp\\\nempty.txt\n"},
      {{"ls", "s:\\Documents"}, "report.txt\nnotes.txt\n"},
      {{"ls", "S:\\Pictures\\2024\\*.JP*"}, "beach.jpg\nLongPictureName.jpeg\n"},
      {{"ls", "-l", "-R", "S:\\"},
       "Directory of S:\\\n"
       "D---A---           <DIR>                  2021-06-02 12:00:00  Documents\\\n"
       "D---A---           <DIR>                  2021-06-02 12:00:03  Pictures\\\n"
       "D---A---           <DIR>                  2021-06-02 12:00:07  Archive\\\n"
       "D---A---           <DIR>                  2021-06-02 12:00:10  Unicode\\\n"
       "D---A---           <DIR>                  2021-06-02 12:00:14  Temp\\\n"
       "----A---               0               0  2021-06-02 12:00:13  empty.txt\n"
       "\n"
       "Directory of S:\\Documents\\\n"
       "----A--L           12288           12288  2026-11-02 09:30:00  report.txt\n"
       "-R--A---             300             300  2021-06-02 12:00:02  notes.txt\n"
       "\n"
       "Directory of S:\\Pictures\\\n"
       "D---A---           <DIR>                  2021-06-02 12:00:04  2024\\\n"
       "----A--L           12288           12288  2026-11-02 09:30:00  report-link.txt\n"
       "\n"
       "Directory of S:\\Pictures\\2024\\\n"
       "----A---           20480           20480  2021-06-02 12:00:05  beach.jpg\n"
       "----A---           40960           40960  2021-06-02 12:00:06  LongPictureName.jpeg\n"
       "\n"
       "Directory of S:\\Archive\\\n"
       "----AC--         1048576          131072  2021-06-02 12:00:08  big.log\n"
       "----A-P-         8388608         8388608  2021-06-02 12:00:09  sparse.bin\n"
       "\n"
       "Directory of S:\\Unicode\\\n"
       "D---A---           <DIR>                  2021-06-02 12:00:11  Ünïcödé\\\n"
       "\n"
       "Directory of S:\\Unicode\\Ünïcödé\\\n"
       "----A---              10              10  2021-06-02 12:00:12  日本語.txt\n"
       "\n"
       "Directory of S:\\Temp\\\n"},
      {{"tree", "S:"},
       "S:\\\n"
       "+-- Documents\\\n"
       "|   +-- report.txt\n"
       "|   \\-- notes.txt\n"
       "+-- Pictures\\\n"
       "|   +-- 2024\\\n"
       "|   |   +-- beach.jpg\n"
       "|   |   \\-- LongPictureName.jpeg\n"
       "|   \\-- report-link.txt\n"
       "+-- Archive\\\n"
       "|   +-- big.log\n"
       "|   \\-- sparse.bin\n"
       "+-- Unicode\\\n"
       "|   \\-- Ünïcödé\\\n"
       "|       \\-- 日本語.txt\n"
       "+-- Temp\\\n"
       "\\-- empty.txt\n"},
      {{"find", "S:", "*.txt"},
       "S:\\empty.txt\n"
       "S:\\Documents\\report.txt\n"
       "S:\\Documents\\notes.txt\n"
       "S:\\Pictures\\report-link.txt\n"
       "S:\\Unicode\\Ünïcödé\\日本語.txt\n"},
      {{"find", "S:", "2?2?"}, "S:\\Pictures\\2024\\\n"},
      {{"du", "S:"},
       "          12588           12588  S:\\Documents\\\n"
       "          61440           61440  S:\\Pictures\\2024\\\n"
       "          73728           73728  S:\\Pictures\\\n"
       "        9437184         8519680  S:\\Archive\\\n"
       "             10              10  S:\\Unicode\\Ünïcödé\\\n"
       "             10              10  S:\\Unicode\\\n"
       "              0               0  S:\\Temp\\\n"
       "        9523510         8606006  S:\\\n"},
      {{"du", "S:\\Pictures"},
       "          61440           61440  S:\\Pictures\\2024\\\n"
       "          73728           73728  S:\\Pictures\\\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    const SProgramResult result = Ostrin(c.arguments);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, "");  // no progress bar when standard error is no terminal
  }
  const SProgramResult info = Ostrin({"info", "S:"});
  EXPECT_EQ(info.exitCode, 0) << info.err;
  EXPECT_EQ(info.out, "Drive        S:\nImage        " + std::to_string(ostrin::test::ExpectedImageSize(s_volume->image)) +
                          " bytes\nDirectories  7\nFiles        9\nSize         9523510 bytes\nAllocated    8606006 bytes\n");
}

TEST_F(OstrinCommandTest, JsonOutputParsesAndCarriesTheListing) {
  const SJson listing = ParseJson(Ostrin({"--json", "ls", "-l", "-R", "S:"}).out);
  ASSERT_EQ(listing.type, SJson::EType::Array);
  ASSERT_EQ(listing.items.size(), 16u);
  const SJson& notes = listing.items[7];
  EXPECT_EQ(notes["path"].text, "S:\\Documents\\notes.txt");
  EXPECT_EQ(notes["name"].text, "notes.txt");
  EXPECT_FALSE(notes["directory"].boolean);
  EXPECT_EQ(notes["attributes"].number, 0x21);
  EXPECT_EQ(notes["size"].number, 300);
  EXPECT_EQ(notes["lastWrite"].text, "2021-06-02 12:00:02");
  EXPECT_EQ(listing.items[15]["name"].text, "日本語.txt");

  const SJson tree = ParseJson(Ostrin({"--json", "tree", "S:\\Unicode"}).out);
  EXPECT_EQ(tree["path"].text, "S:\\Unicode\\");
  ASSERT_EQ(tree["children"].items.size(), 1u);
  EXPECT_EQ(tree["children"].items[0]["children"].items[0]["name"].text, "日本語.txt");

  const SJson usage = ParseJson(Ostrin({"--json", "du", "S:"}).out);
  ASSERT_EQ(usage.items.size(), 8u);
  EXPECT_EQ(usage.items.back()["path"].text, "S:\\");
  EXPECT_EQ(usage.items.back()["size"].number, 9523510);
  EXPECT_EQ(usage.items.back()["files"].number, 9);

  const SJson found = ParseJson(Ostrin({"--json", "find", "S:", "b*"}).out);
  ASSERT_EQ(found.items.size(), 2u);
  EXPECT_EQ(found.items[0]["path"].text, "S:\\Pictures\\2024\\beach.jpg");
  EXPECT_EQ(found.items[1]["path"].text, "S:\\Archive\\big.log");

  const SJson info = ParseJson(Ostrin({"--json", "info", "S:"}).out);
  EXPECT_EQ(info["files"].number, 9);
  EXPECT_EQ(info["directories"].number, 7);
}

TEST_F(OstrinCommandTest, EveryFailureHasItsMessageAndExitCode) {
  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
    std::string err;
  };
  const Case cases[] = {
      {{"ls", "S:\\Documents\\notes.txt\\*"}, 6, "ostrin: S: error 3006: Invalid path specified.\n"},
      {{"ls", "S:\\\\"}, 6, "ostrin: S: error 3005: Parameter 'FilePath' is malformed.\n"},
      {{"ls", "S:Documents"}, 6, "ostrin: S: error 3003: Parameter 'FilePath' does not start with backslash '\\'.\n"},
      {{"ls", "Q:"}, 5, "ostrin: Q: error 3: Open volume error. No such file or directory\n"},
      {{"ls", "S:\\missing\\*"}, 1, "ostrin: S:\\missing\\*: no entry found\n"},
      {{"find", "S:", "*.none"}, 1, ""},
      {{"tree", "S:\\empty.txt"}, 1, "ostrin: S:\\empty.txt: not a directory\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    const SProgramResult result = Ostrin(c.arguments);
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_EQ(result.err, c.err);
  }
  const SProgramResult json = Ostrin({"--json", "ls", "S:\\Documents\\notes.txt\\*"});
  EXPECT_EQ(json.exitCode, 6);
  const SJson error = ParseJson(json.out)["error"];
  EXPECT_EQ(error["code"].number, 3006);
  EXPECT_EQ(error["text"].text, "Invalid path specified.");
  EXPECT_EQ(error["drive"].text, "S:");

  for (const std::vector<std::string>& usage : std::vector<std::vector<std::string>>{
           {}, {"ls"}, {"ls", "-x", "S:"}, {"ls", "S"}, {"ls", "1:"}, {"find", "S:"}, {"info", "S:\\Documents"}, {"copy", "S:"}}) {
    EXPECT_EQ(Ostrin(usage).exitCode, 2) << ::testing::PrintToString(usage);
  }
}

TEST(OstrinCommandWithoutServiceTest, SaysTheServiceIsNotRunning) {
  const SProgramResult result = Ostrin({"ls", "C:"});
  EXPECT_EQ(result.exitCode, 3);
  EXPECT_EQ(result.err, "Error: Can not connect to OstrinNT service. Is the service running?\n");
}

TEST(OstrinCommandInterruptTest, CtrlCDuringTheScanAbortsIt) {
  const ostrin::test::STestVolume volume = ostrin::test::MakeTestVolume("many-records");
  CServerProcess server(
      SServerOptions().TestProgram().Environment(ENV_PROGRESS_DELAY_MS, "50").Port(CLIENT_PORT).Volume('M', volume.image));
  server.Start();
  const std::string errFile = server.Folder() + "/ostrin.err";
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (std::freopen(errFile.c_str(), "w", stderr) == nullptr) ::_exit(120);
    ::execl(OSTRIN_CLI_PATH, OSTRIN_CLI_PATH, "--progress", "ls", "M:", static_cast<char*>(nullptr));
    ::_exit(121);
  }
  // Interrupted once the progress bar shows the scan under way.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::string err;
  while (err.find("Scanning M:") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::ifstream file(errFile);
    err.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  ::kill(pid, SIGINT);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  std::ifstream file(errFile);
  err.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  EXPECT_NE(err.find("ostrin: the scan of M: was aborted\n"), std::string::npos) << err;
  // The aborted scan left nothing behind: the drive opens afresh.
  const SProgramResult again = Ostrin({"info", "M:"});
  EXPECT_EQ(again.exitCode, 0) << again.err;
}

}  // namespace
