// The ostrin command as its users run it: the real OstrinNT on a made volume, ostrin run as a program,
// its output compared with the text a user sees and its --json output parsed by a strict reader.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/OstrinAPI.h"
#include "common/protocol.h"
#include "common/text.h"
#include "platform/system_error.h"
#include "platform/volume_device.h"
#include "tests/service/server_process.h"
#include "tests/service/server_test_timings.h"
#include "tests/support/image_file.h"
#include "tests/support/record_patch.h"
#include "tests/support/run_program.h"
#include "tests/support/made_volume.h"
#include "tools/tool_format.h"

namespace {

using ostrin::test::CServerProcess;
using ostrin::test::SProgramResult;
using ostrin::test::SServerOptions;

ostrin::test::SProgramResult Ostrin(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), OSTRIN_CLI_PATH);
  return ostrin::test::RunProgram(arguments);
}

#ifndef _WIN32
// ostrin run in a time zone (RunProgram pins TZ=UTC; env sets it again). TZ and SIGINT are the
// Linux ways of setting a program's zone and interrupting it; tests/windows/skip-list names the tests.
ostrin::test::SProgramResult OstrinInZone(const std::string& zone, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"env", "TZ=" + zone, OSTRIN_CLI_PATH});
  return ostrin::test::RunProgram(arguments);
}
#endif

// ---- A JSON reader, strict enough to reject anything a JSON parser would.

struct SJson {
  enum class EType { Null, Bool, Number, String, Array, Object } type = EType::Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<SJson> items;
  std::map<std::string, SJson> members;

  const SJson& operator[](const std::string& key) const { return members.at(key); }
  std::set<std::string> Keys() const {
    std::set<std::string> keys;
    for (const auto& [key, value] : members) keys.insert(key);
    return keys;
  }
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
        for (size_t k = 0; k < 4; ++k) {
          if (std::isxdigit(static_cast<unsigned char>(m_text[m_at + k])) == 0) return false;
        }
        const unsigned code = std::stoul(m_text.substr(m_at, 4), nullptr, 16);
        m_at += 4;
        if (code >= 0x80) return false;  // ostrin escapes only control characters
        out->push_back(static_cast<char>(code));
      } else if (escaped == '"' || escaped == '\\' || escaped == '/') {
        out->push_back(escaped);
      } else if (escaped == 'b' || escaped == 'f' || escaped == 'n' || escaped == 'r' || escaped == 't') {
        out->push_back(escaped == 'b' ? '\b' : escaped == 'f' ? '\f' : escaped == 'n' ? '\n' : escaped == 'r' ? '\r' : '\t');
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
    // A number exactly as JSON writes one: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
    const size_t start = m_at;
    const auto digits = [&] {
      const size_t first = m_at;
      while (m_at < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_at])) != 0) ++m_at;
      return m_at - first;
    };
    if (m_at < m_text.size() && m_text[m_at] == '-') ++m_at;
    const size_t integerStart = m_at;
    const size_t integerDigits = digits();
    if (integerDigits == 0 || (integerDigits > 1 && m_text[integerStart] == '0')) return false;
    if (m_at < m_text.size() && m_text[m_at] == '.') {
      ++m_at;
      if (digits() == 0) return false;
    }
    if (m_at < m_text.size() && (m_text[m_at] == 'e' || m_text[m_at] == 'E')) {
      ++m_at;
      if (m_at < m_text.size() && (m_text[m_at] == '+' || m_text[m_at] == '-')) ++m_at;
      if (digits() == 0) return false;
    }
    value->type = SJson::EType::Number;
    value->number = std::stod(m_text.substr(start, m_at - start));
    return true;
  }

  const std::string& m_text;
  size_t m_at = 0;
};

SJson ParseJson(const std::string& text) {
  SJson value;
  EXPECT_TRUE(CJsonReader(text).Read(&value)) << "not JSON:\n" << text;
  return value;
}

// Seconds since 1970-01-01 UTC of an ISO 8601 time "YYYY-MM-DDTHH:MM:SS+HH:MM"; nothing when the text
// is not exactly of that form.
std::optional<int64_t> UtcSecondsOfIsoTime(const std::string& text) {
  constexpr char FORM[] = "dddd-dd-ddTdd:dd:dd+dd:dd";  // d a digit, + either sign
  if (text.size() != sizeof FORM - 1) return std::nullopt;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool fits = FORM[i] == 'd'   ? std::isdigit(static_cast<unsigned char>(text[i])) != 0
                      : FORM[i] == '+' ? text[i] == '+' || text[i] == '-'
                                       : text[i] == FORM[i];
    if (!fits) return std::nullopt;
  }
  const auto number = [&](size_t at, size_t length) { return std::stoll(text.substr(at, length)); };
  // Days from civil (proleptic Gregorian), as in Howard Hinnant's date algorithms.
  int64_t year = number(0, 4);
  const int64_t month = number(5, 2), day = number(8, 2);
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  const int64_t days = era * 146097 + dayOfEra - 719468;
  const int64_t offset = (number(20, 2) * 3600 + number(23, 2) * 60) * (text[19] == '-' ? -1 : 1);
  return days * 86400 + number(11, 2) * 3600 + number(14, 2) * 60 + number(17, 2) - offset;
}

std::string OneUsageLine(const std::string& message, const std::string& command = "") {
  return "ostrin: " + message + "\n" + (command.empty() ? "Try 'ostrin --help'.\n" : "Try 'ostrin help " + command + "'.\n");
}

// ---- The command line, with no service needed.

TEST(OstrinCommandLineTest, HelpAndVersionGoToStandardOutput) {
  struct Case {
    std::vector<std::string> arguments;
    std::string firstLine;
  };
  const Case cases[] = {
      {{"--help"}, "usage: ostrin COMMAND [OPTION]... X:[\\path]..."},
      {{"help"}, "usage: ostrin COMMAND [OPTION]... X:[\\path]..."},
      {{"help", "ls"}, "usage: ostrin ls [-l] [-R] [-a] [-d] [-h] [-t | -S] [-1] [--sort=KEY] [-r] [--json] X:[\\path\\][pattern]..."},
      {{"ls", "--help"}, "usage: ostrin ls [-l] [-R] [-a] [-d] [-h] [-t | -S] [-1] [--sort=KEY] [-r] [--json] X:[\\path\\][pattern]..."},
      {{"--help", "find"}, "usage: ostrin find [--sort=KEY] [-r] [--json] [-type f|d] X:[\\path] [pattern | -name pattern]"},
      {{"du", "S:", "--help"}, "usage: ostrin du [-h] [-s | --max-depth=N] [--sort=KEY] [-r] [--json] X:[\\path]"},
      {{"help", "tree"}, "usage: ostrin tree [-d] [-L LEVELS] [--sort=KEY] [-r] [--json] X:[\\path]"},
      {{"help", "info"}, "usage: ostrin info [-h] [--json] X:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    const SProgramResult result = Ostrin(c.arguments);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out.substr(0, result.out.find('\n')), c.firstLine);
    EXPECT_EQ(result.err, "");
  }
  const SProgramResult version = Ostrin({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "ostrin " OSTRIN_TEST_PROJECT_VERSION "\nOstrinAPI " OSTRIN_API_VERSION_STRING "\n");
}

TEST(OstrinCommandLineTest, MistakesAreUsageErrorsSaidPlainly) {
  struct Case {
    std::vector<std::string> arguments;
    std::string err;
  };
  const Case cases[] = {
      {{}, OneUsageLine("no command given")},
      {{"copy", "S:"}, OneUsageLine("unknown command 'copy'")},
      {{"help", "copy"}, OneUsageLine("unknown command 'copy'")},
      {{"-x", "ls", "S:"}, OneUsageLine("unknown option '-x'")},
      {{"ls", "-lx", "S:"}, OneUsageLine("unknown option '-x'", "ls")},
      {{"ls", "--long", "S:"}, OneUsageLine("unknown option '--long'", "ls")},
      {{"--sort=big", "ls", "S:"}, OneUsageLine("unknown sort order 'big': use name, size, time or none")},
      {{"ls", "S:", "--sort"}, OneUsageLine("--sort needs an order: name, size, time or none", "ls")},
      {{"tree", "-l", "S:"}, OneUsageLine("tree takes no option -l", "tree")},
      {{"info", "--sort=size", "S:"}, OneUsageLine("info takes no option --sort", "info")},
      {{"ls"}, OneUsageLine("ls needs a drive path, as in S: or S:\\Documents", "ls")},
      {{"find", "S:", "-type", "x"}, OneUsageLine("-type takes f (files) or d (directories), not 'x'", "find")},
      {{"find", "S:", "-type"}, OneUsageLine("-type needs f (files) or d (directories)", "find")},
      {{"find", "S:", "*", "-name", "b*"}, OneUsageLine("find takes its pattern once: as an operand or after -name", "find")},
      {{"tree", "-t", "S:"}, OneUsageLine("tree takes no option -t", "tree")},
      {{"du", "-type", "d", "S:"}, OneUsageLine("du takes no option -type", "du")},
      {{"tree", "S:", "T:"}, OneUsageLine("tree takes one operand; the extra one is 'T:'", "tree")},
      {{"ls", "S:", "T"}, OneUsageLine("'T' is no drive path: give a drive letter and a colon first, as in S: or S:\\Documents", "ls")},
      {{"tree", "-L", "0", "S:"}, OneUsageLine("-L takes a number of levels from 1, not '0'", "tree")},
      {{"tree", "-L"}, OneUsageLine("-L needs a number of levels", "tree")},
      {{"du", "--max-depth=x", "S:"}, OneUsageLine("--max-depth takes a number of levels, not 'x'", "du")},
      {{"du", "-s", "--max-depth", "2", "S:"},
       OneUsageLine("du -s prints only the directory given: it takes no --max-depth above 0", "du")},
      {{"ls", "--json=1", "S:"}, OneUsageLine("option --json takes no value", "ls")},
      {{"ls", "-L2", "S:"}, OneUsageLine("ls takes no option -L", "ls")},
      {{"find", "-d", "S:"}, OneUsageLine("find takes no option -d", "find")},
      {{"ls", "S"}, OneUsageLine("'S' is no drive path: give a drive letter and a colon first, as in S: or S:\\Documents", "ls")},
      {{"ls", "1:"}, OneUsageLine("'1:': a drive letter is A to Z", "ls")},
      {{"ls", "S:Documents"},
       OneUsageLine("'S:Documents': a path starts at the root, with a backslash after the colon: S:\\Documents", "ls")},
      {{"ls", "S:\\Documents\\\\"}, OneUsageLine("'S:\\Documents\\\\': the path has an empty name (two backslashes in a row)", "ls")},
      {{"du", "S:\\\\Documents"}, OneUsageLine("'S:\\\\Documents': the path has an empty name (two backslashes in a row)", "du")},
      {{"ls", "S:\\Doc*\\notes.txt"}, OneUsageLine("'S:\\Doc*\\notes.txt': '*' and '?' may stand only in the last name of the path", "ls")},
      {{"tree", "S:\\Doc*"}, OneUsageLine("'S:\\Doc*': tree takes a directory, not a pattern", "tree")},
      {{"info", "S:\\Documents"}, OneUsageLine("'S:\\Documents': info takes only a drive, as in info S:", "info")},
      {{"find", "S:", ""}, OneUsageLine("the find pattern is empty; '*' finds every entry", "find")},
      {{"find", "S:", "Documents\\*.txt"},
       OneUsageLine("the find pattern 'Documents\\*.txt' holds a path separator; it matches names: give the directory as "
                    "the first operand", "find")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    const SProgramResult result = Ostrin(c.arguments);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, "");
  }
  // With --json a mistaken path is also an error document.
  const SProgramResult json = Ostrin({"ls", "--json", "s:Documents"});
  EXPECT_EQ(json.exitCode, 2);
  const SJson error = ParseJson(json.out)["error"];
  EXPECT_EQ(error["drive"].text, "s:");
  EXPECT_EQ(error["code"].type, SJson::EType::Null);
  EXPECT_EQ(error["text"].text,
            "'s:Documents': a path starts at the root, with a backslash after the colon: s:\\Documents");
}

TEST(OstrinCommandLineTest, SizesAndTimesForPeopleAndScripts) {
  constexpr uint64_t KiB = 1024, MiB = KiB * KiB, EiB = MiB * MiB * MiB;
  const std::pair<uint64_t, std::string> sizes[] = {
      {0, "0"},           {1023, "1023"},        {1024, "1.0K"},        {1025, "1.1K"},
      {10 * KiB - 1, "10K"}, {12588, "13K"},     {MiB - 1, "1.0M"},     {9523510, "9.1M"},
      {5 * EiB, "5.0E"},  {std::numeric_limits<uint64_t>::max(), "16E"},
  };
  for (const auto& [bytes, text] : sizes) EXPECT_EQ(FormatHumanSize(bytes), text) << bytes;
  constexpr uint64_t NOON_2021_06_02 = 132671088000000000;  // 2021-06-02 12:00:00
  EXPECT_EQ(FormatIsoTime(NOON_2021_06_02, 0), "2021-06-02T12:00:00+00:00");
  EXPECT_EQ(FormatIsoTime(NOON_2021_06_02, 2 * 3600), "2021-06-02T12:00:00+02:00");
  EXPECT_EQ(FormatIsoTime(NOON_2021_06_02, -(5 * 3600 + 30 * 60)), "2021-06-02T12:00:00-05:30");
  EXPECT_EQ(FormatIsoTime(0, 0), "1601-01-01T00:00:00+00:00");
}

// ---- Without a service.

TEST(OstrinCommandWithoutServiceTest, SaysTheServiceIsNotRunning) {
  const std::string line = "Error: Can not connect to OstrinNT service. Is the service running?\n";
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"ls", "C:"}, {"--no-dialog", "ls", "C:"}, {"info", "C:", "--no-dialog"}}) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const SProgramResult result = Ostrin(arguments);
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_EQ(result.err, line);
    EXPECT_EQ(result.out, "");
  }
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"--json", "ls", "C:"}, {"du", "c:\\Windows", "--json", "--no-dialog"}}) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const SProgramResult result = Ostrin(arguments);
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_EQ(result.err, line);
    const SJson error = ParseJson(result.out)["error"];
    EXPECT_EQ(error["drive"].text, arguments[0] == "du" ? "c:" : "C:");
    EXPECT_EQ(error["code"].type, SJson::EType::Null);
    EXPECT_EQ(error["text"].text, "Can not connect to OstrinNT service. Is the service running?");
  }
}

// ---- The command on a running service.

class OstrinCommandTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_volume = std::make_unique<ostrin::test::STestVolume>(ostrin::test::MadeVolume("cli-sample"));
  }
  static void TearDownTestSuite() { s_volume.reset(); }

  void SetUp() override { StartServer(SServerOptions()); }

  void StartServer(SServerOptions options) {
    if (m_server) m_server->Stop();
    m_server = std::make_unique<CServerProcess>(options.Port(CLIENT_PORT).Volume('S', s_volume->image));
    m_server->Start();
  }

  // Runs each case and compares what it prints.
  struct SCase {
    std::vector<std::string> arguments;
    std::string out;
  };
  void ExpectOutputs(const std::vector<SCase>& cases) {
    for (const SCase& c : cases) {
      SCOPED_TRACE(::testing::PrintToString(c.arguments));
      const SProgramResult result = Ostrin(c.arguments);
      EXPECT_EQ(result.exitCode, 0) << result.err;
      EXPECT_EQ(result.out, c.out);
      EXPECT_EQ(result.err, "");  // no progress bar when standard error is no terminal
    }
  }

  static std::unique_ptr<ostrin::test::STestVolume> s_volume;
  std::unique_ptr<CServerProcess> m_server;
};

std::unique_ptr<ostrin::test::STestVolume> OstrinCommandTest::s_volume;

const char ROOT_BY_NAME[] = "Archive\\\nDocuments\\\nempty.txt\nPictures\\\nTemp\\\nUnicode\\\n";
const char SUMMARY_OF_THE_DRIVE[] = "       9 file(s)  9523510 bytes, 225590 allocated\n       7 dir(s)\n";

TEST_F(OstrinCommandTest, ListingsReadAsTheUserExpects) {
  ExpectOutputs({
      {{"ls", "S:"}, ROOT_BY_NAME},
      {{"ls", "s:\\documents"}, "notes.txt\nreport.txt\n"},
      {{"ls", "S:\\Pictures\\2024\\*.JP*"}, "beach.jpg\nLongPictureName.jpeg\n"},
      {{"ls", "S:\\Documents\\notes.txt"}, "notes.txt\n"},
      {{"ls", "-l", "S:\\Documents"},
       "-R--A---             300             300  2021-06-02 12:00:02  notes.txt\n"
       "----A--L           12288           12288  2026-11-02 09:30:00  report.txt\n"
       "       2 file(s)  12588 bytes, 12588 allocated\n"
       "       0 dir(s)\n"},
      {{"ls", "-l", "-R", "S:\\"},
       "Directory of S:\\\n"
       "D---A---           <DIR>                  2021-06-02 12:00:07  Archive\\\n"
       "D---A---           <DIR>                  2021-06-02 12:00:00  Documents\\\n"
       "----A---               0               0  2021-06-02 12:00:13  empty.txt\n"
       "D---A---           <DIR>                  2021-06-02 12:00:03  Pictures\\\n"
       "D---A---           <DIR>                  2021-06-02 12:00:14  Temp\\\n"
       "D---A---           <DIR>                  2021-06-02 12:00:10  Unicode\\\n"
       "\n"
       "Directory of S:\\Archive\\\n"
       "----AC--         1048576          131072  2021-06-02 12:00:08  big.log\n"
       "----A-P-         8388608            8192  2021-06-02 12:00:09  sparse.bin\n"
       "\n"
       "Directory of S:\\Documents\\\n"
       "-R--A---             300             300  2021-06-02 12:00:02  notes.txt\n"
       "----A--L           12288           12288  2026-11-02 09:30:00  report.txt\n"
       "\n"
       "Directory of S:\\Pictures\\\n"
       "D---A---           <DIR>                  2021-06-02 12:00:04  2024\\\n"
       "----A--L           12288           12288  2026-11-02 09:30:00  report-link.txt\n"
       "\n"
       "Directory of S:\\Pictures\\2024\\\n"
       "----A---           20480           20480  2021-06-02 12:00:05  beach.jpg\n"
       "----A---           40960           40960  2021-06-02 12:00:06  LongPictureName.jpeg\n"
       "\n"
       "Directory of S:\\Temp\\\n"
       "\n"
       "Directory of S:\\Unicode\\\n"
       "D---A---           <DIR>                  2021-06-02 12:00:11  Ünïcödé\\\n"
       "\n"
       "Directory of S:\\Unicode\\Ünïcödé\\\n"
       "----A---              10              10  2021-06-02 12:00:12  日本語.txt\n"
       "\n" +
           std::string(SUMMARY_OF_THE_DRIVE)},
      {{"tree", "S:"},
       "S:\\\n"
       "+-- Archive\\\n"
       "|   +-- big.log\n"
       "|   \\-- sparse.bin\n"
       "+-- Documents\\\n"
       "|   +-- notes.txt\n"
       "|   \\-- report.txt\n"
       "+-- empty.txt\n"
       "+-- Pictures\\\n"
       "|   +-- 2024\\\n"
       "|   |   +-- beach.jpg\n"
       "|   |   \\-- LongPictureName.jpeg\n"
       "|   \\-- report-link.txt\n"
       "+-- Temp\\\n"
       "\\-- Unicode\\\n"
       "    \\-- Ünïcödé\\\n"
       "        \\-- 日本語.txt\n"
       "\n"
       "7 directories, 9 files\n"},
      {{"tree", "-d", "S:"},
       "S:\\\n"
       "+-- Archive\\\n"
       "+-- Documents\\\n"
       "+-- Pictures\\\n"
       "|   \\-- 2024\\\n"
       "+-- Temp\\\n"
       "\\-- Unicode\\\n"
       "    \\-- Ünïcödé\\\n"
       "\n"
       "7 directories\n"},
      {{"tree", "-L", "1", "S:\\Pictures"}, "S:\\Pictures\\\n+-- 2024\\\n\\-- report-link.txt\n\n1 directory, 1 file\n"},
      {{"ls", "-a", "S:"}, ROOT_BY_NAME},
      {{"ls", "-d", "S:\\Documents"}, "S:\\Documents\\\n"},
      {{"ls", "-d", "S:"}, "S:\\\n"},
      {{"ls", "-ld", "S:\\Documents"},
       "D---A---           <DIR>                  2021-06-02 12:00:00  S:\\Documents\\\n"
       "       0 file(s)  0 bytes, 0 allocated\n"
       "       1 dir(s)\n"},
      // Several operands, each under its directory's name.
      {{"ls", "S:\\Documents", "S:/Temp", "S:\\Pictures\\2024\\b*"},
       "Directory of S:\\Documents\\\nnotes.txt\nreport.txt\n\nDirectory of S:\\Temp\\\n\n"
       "Directory of S:\\Pictures\\2024\\\nbeach.jpg\n"},
      {{"find", "S:", "*.txt"},
       "S:\\empty.txt\n"
       "S:\\Documents\\notes.txt\n"
       "S:\\Documents\\report.txt\n"
       "S:\\Pictures\\report-link.txt\n"
       "S:\\Unicode\\Ünïcödé\\日本語.txt\n"},
      {{"find", "S:\\Pictures", "2?2?"}, "S:\\Pictures\\2024\\\n"},
      {{"du", "S:"},
       "        9437184          139264  S:\\Archive\\\n"
       "          12588           12588  S:\\Documents\\\n"
       "          61440           61440  S:\\Pictures\\2024\\\n"
       "          73728           73728  S:\\Pictures\\\n"
       "              0               0  S:\\Temp\\\n"
       "             10              10  S:\\Unicode\\Ünïcödé\\\n"
       "             10              10  S:\\Unicode\\\n"
       "        9523510          225590  S:\\\n" +
           std::string(SUMMARY_OF_THE_DRIVE)},
      {{"du", "-s", "S:"}, "        9523510          225590  S:\\\n" + std::string(SUMMARY_OF_THE_DRIVE)},
      {{"du", "--max-depth=1", "S:"},
       "        9437184          139264  S:\\Archive\\\n"
       "          12588           12588  S:\\Documents\\\n"
       "          73728           73728  S:\\Pictures\\\n"
       "              0               0  S:\\Temp\\\n"
       "             10              10  S:\\Unicode\\\n"
       "        9523510          225590  S:\\\n" +
           std::string(SUMMARY_OF_THE_DRIVE)},
      {{"du", "S:\\Pictures"},
       "          61440           61440  S:\\Pictures\\2024\\\n"
       "          73728           73728  S:\\Pictures\\\n"
       "       3 file(s)  73728 bytes, 73728 allocated\n"
       "       1 dir(s)\n"},
      // An empty directory lists nothing, and that is no failure.
      {{"ls", "S:\\Temp"}, ""},
      {{"ls", "S:\\temp\\*"}, ""},
      {{"ls", "-R", "S:\\Temp\\"}, "Directory of S:\\Temp\\\n"},
      {{"ls", "-l", "S:\\Temp"}, "       0 file(s)  0 bytes, 0 allocated\n       0 dir(s)\n"},
      {{"tree", "S:\\Temp"}, "S:\\Temp\\\n\n0 directories, 0 files\n"},
      {{"du", "S:\\Temp"}, "              0               0  S:\\Temp\\\n       0 file(s)  0 bytes, 0 allocated\n       0 dir(s)\n"},
      {{"--json", "ls", "S:\\Temp"}, "{\"entries\":[],\"totals\":{\"size\":0,\"allocated\":0,\"files\":0,\"directories\":0}}\n"},
  });
}

TEST_F(OstrinCommandTest, OptionsMayStandBeforeAndAfterTheCommand) {
  const std::vector<std::vector<std::string>> groups[] = {
      {{"--json", "ls", "S:\\Documents"}, {"ls", "--json", "S:\\Documents"}, {"ls", "S:\\Documents", "--json"},
       {"--json", "ls", "S:/Documents"}},  // '/' separates names as '\' does
      {{"-l", "-R", "ls", "S:\\Pictures"}, {"ls", "-lR", "S:\\Pictures"}, {"ls", "S:\\Pictures", "-R", "-l"}},
      {{"--sort=size", "-r", "find", "S:", "*.jp*"}, {"find", "S:", "*.jp*", "--sort", "size", "-r"}},
      {{"ls", "S:\\Documents"}, {"ls", "--", "S:\\Documents"}, {"--no-dialog", "ls", "S:\\Documents", "--no-progress"}},
      {{"-h", "du", "S:"}, {"du", "S:", "-h"}},
      // The options of ls and GNU find that mean what ostrin's own do.
      {{"ls", "-l", "--sort=time", "S:\\Pictures\\2024"}, {"ls", "-lt", "S:\\Pictures\\2024"}},
      {{"ls", "-l", "--sort=size", "-r", "S:\\"}, {"ls", "-lSr", "S:\\"}},
      {{"ls", "S:\\Documents"}, {"ls", "-1", "S:\\Documents"}},
      {{"find", "S:\\", "b*"}, {"find", "S:\\", "-name", "b*"}, {"find", "-name", "b*", "S:\\"}},
      {{"find", "S:\\", "*"}, {"find", "S:\\"}},
  };
  for (const auto& group : groups) {
    const SProgramResult first = Ostrin(group.front());
    EXPECT_EQ(first.exitCode, 0) << first.err;
    EXPECT_NE(first.out, "");
    for (const std::vector<std::string>& arguments : group) {
      SCOPED_TRACE(::testing::PrintToString(arguments));
      const SProgramResult result = Ostrin(arguments);
      EXPECT_EQ(result.exitCode, 0) << result.err;
      EXPECT_EQ(result.out, first.out);
    }
  }
  // "--" lets a pattern start with '-'.
  EXPECT_EQ(Ostrin({"find", "S:", "--", "-*"}).exitCode, 1);
  // find -type: the files alone, or the directories alone, and together every entry once.
  const std::string all = Ostrin({"find", "S:\\"}).out;
  const std::string files = Ostrin({"find", "-type", "f", "S:\\"}).out;
  const std::string directories = Ostrin({"find", "S:\\", "*", "-type", "d"}).out;
  const auto lines = [](const std::string& text) {
    std::vector<std::string> list;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) list.push_back(line);
    return list;
  };
  EXPECT_EQ(lines(files).size(), 9u) << files;
  EXPECT_EQ(lines(directories).size(), 7u) << directories;
  for (const std::string& line : lines(files)) EXPECT_NE(line.back(), '\\') << line;
  for (const std::string& line : lines(directories)) EXPECT_EQ(line.back(), '\\') << line;
  std::vector<std::string> both = lines(files);
  const std::vector<std::string> onlyDirectories = lines(directories);
  both.insert(both.end(), onlyDirectories.begin(), onlyDirectories.end());
  std::vector<std::string> every = lines(all);
  std::sort(both.begin(), both.end());
  std::sort(every.begin(), every.end());
  EXPECT_EQ(both, every);
}

TEST_F(OstrinCommandTest, EachSortOrderWithinEachDirectory) {
  ExpectOutputs({
      {{"ls", "--sort=name", "S:"}, ROOT_BY_NAME},
      {{"ls", "-r", "S:"}, "Unicode\\\nTemp\\\nPictures\\\nempty.txt\nDocuments\\\nArchive\\\n"},
      {{"ls", "--sort=time", "S:"}, "Temp\\\nempty.txt\nUnicode\\\nArchive\\\nPictures\\\nDocuments\\\n"},
      {{"ls", "--sort", "time", "-r", "S:"}, "Documents\\\nPictures\\\nArchive\\\nUnicode\\\nempty.txt\nTemp\\\n"},
      {{"ls", "--sort=none", "S:"}, "Documents\\\nPictures\\\nArchive\\\nUnicode\\\nTemp\\\nempty.txt\n"},
      {{"ls", "--sort=none", "-r", "S:"}, "empty.txt\nTemp\\\nUnicode\\\nArchive\\\nPictures\\\nDocuments\\\n"},
      {{"ls", "--sort=size", "S:\\Pictures\\2024"}, "LongPictureName.jpeg\nbeach.jpg\n"},
      {{"tree", "--sort=size", "S:\\Pictures"},
       "S:\\Pictures\\\n"
       "+-- report-link.txt\n"
       "\\-- 2024\\\n"
       "    +-- LongPictureName.jpeg\n"
       "    \\-- beach.jpg\n"
       "\n"
       "1 directory, 3 files\n"},
      {{"find", "-r", "S:", "*.txt"},
       "S:\\empty.txt\n"
       "S:\\Unicode\\Ünïcödé\\日本語.txt\n"
       "S:\\Pictures\\report-link.txt\n"
       "S:\\Documents\\report.txt\n"
       "S:\\Documents\\notes.txt\n"},
      // du orders a directory's subdirectories by what is below them.
      {{"du", "--sort=size", "S:"},
       "        9437184          139264  S:\\Archive\\\n"
       "          61440           61440  S:\\Pictures\\2024\\\n"
       "          73728           73728  S:\\Pictures\\\n"
       "          12588           12588  S:\\Documents\\\n"
       "             10              10  S:\\Unicode\\Ünïcödé\\\n"
       "             10              10  S:\\Unicode\\\n"
       "              0               0  S:\\Temp\\\n"
       "        9523510          225590  S:\\\n" +
           std::string(SUMMARY_OF_THE_DRIVE)},
  });
}

TEST_F(OstrinCommandTest, HumanReadableSizes) {
  ExpectOutputs({
      {{"ls", "-l", "-h", "S:\\Documents"},
       "-R--A---             300             300  2021-06-02 12:00:02  notes.txt\n"
       "----A--L             12K             12K  2026-11-02 09:30:00  report.txt\n"
       "       2 file(s)  13K, 13K allocated\n"
       "       0 dir(s)\n"},
      {{"ls", "-lh", "S:\\Archive"},
       "----AC--            1.0M            128K  2021-06-02 12:00:08  big.log\n"
       "----A-P-            8.0M            8.0K  2021-06-02 12:00:09  sparse.bin\n"
       "       2 file(s)  9.0M, 136K allocated\n"
       "       0 dir(s)\n"},
      {{"du", "-h", "S:\\Pictures"},
       "            60K             60K  S:\\Pictures\\2024\\\n"
       "            72K             72K  S:\\Pictures\\\n"
       "       3 file(s)  72K, 72K allocated\n"
       "       1 dir(s)\n"},
  });
  const SProgramResult info = Ostrin({"info", "-h", "S:"});
  EXPECT_EQ(info.exitCode, 0);
  EXPECT_NE(info.out.find("\nSize         9.1M\nAllocated    221K\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("\nImage        " + FormatHumanSize(ostrin::test::ExpectedImageSize(s_volume->image)) + "\n"),
            std::string::npos)
      << info.out;
}

// The service's text for a letter that names no volume: the system's own "not found".
const std::string UNMAPPED_LETTER_TEXT =
    "Open volume error. " + WideToUtf8(ostrin::platform::SystemErrorText(ostrin::platform::ErrorNotFound()));

TEST_F(OstrinCommandTest, PathsThatNameNothingOrGoThroughAFile) {
  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
    std::string err;
  };
  const Case cases[] = {
      {{"ls", "S:\\Documents\\notes.txt\\*"}, 2, "ostrin: S:\\Documents\\notes.txt is a file: a path cannot go on below it\n"},
      {{"du", "S:\\empty.txt\\sub"}, 2, "ostrin: S:\\empty.txt is a file: a path cannot go on below it\n"},
      {{"ls", "S:\\empty.txt\\"}, 2, "ostrin: S:\\empty.txt is a file, not a directory\n"},
      {{"tree", "S:\\EMPTY.txt"}, 2, "ostrin: S:\\empty.txt is a file, not a directory\n"},
      {{"find", "S:\\Documents\\report.txt", "*"}, 2, "ostrin: S:\\Documents\\report.txt is a file, not a directory\n"},
      {{"ls", "S:\\missing\\*"}, 1, "ostrin: S:\\missing: no such directory\n"},
      {{"ls", "S:\\Documents\\missing"}, 1, "ostrin: S:\\Documents\\missing: no such file or directory\n"},
      {{"ls", "s:\\documents\\missing\\deeper"}, 1, "ostrin: S:\\Documents\\missing: no such directory\n"},
      {{"tree", "S:\\Pictures\\missing\\deeper"}, 1, "ostrin: S:\\Pictures\\missing: no such directory\n"},
      {{"ls", "S:\\Temp\\*.txt"}, 1, "ostrin: S:\\Temp\\*.txt: no entry matches\n"},
      {{"find", "S:", "*.none"}, 1, ""},
      // On Linux a letter is a volume only where OstrinNT.ini maps it; on Windows the letter names no drive.
      {{"ls", "q:"}, 5,
       "ostrin: q: error 3: " + UNMAPPED_LETTER_TEXT + "\n" +
           (ostrin::platform::DriveLettersNeedMapping()
                ? "ostrin: the service has no volume for q:. On Linux a drive letter is a line 'volume.Q = <block "
                  "device or image file>' in OstrinNT.ini, in the service's folder (and that file must exist)\n"
                : "")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments));
    const SProgramResult result = Ostrin(c.arguments);
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_EQ(result.err, c.err);
  }
  const SProgramResult unmapped = Ostrin({"--json", "info", "Q:"});
  EXPECT_EQ(unmapped.exitCode, 5);
  const SJson volumeError = ParseJson(unmapped.out)["error"];
  EXPECT_EQ(volumeError["drive"].text, "Q:");
  EXPECT_EQ(volumeError["code"].number, OSTRIN_ERROR_OPEN_VOLUME);
  EXPECT_EQ(volumeError["text"].text, UNMAPPED_LETTER_TEXT);
  const SProgramResult throughFile = Ostrin({"--json", "ls", "S:\\Documents\\notes.txt\\*"});
  EXPECT_EQ(throughFile.exitCode, 2);
  const SJson pathError = ParseJson(throughFile.out)["error"];
  EXPECT_EQ(pathError["code"].type, SJson::EType::Null);
  EXPECT_EQ(pathError["text"].text, "S:\\Documents\\notes.txt is a file: a path cannot go on below it");
}

// The fields of an entry in every --json listing.
const std::set<std::string> ENTRY_FIELDS = {"path", "name", "directory", "attributes", "attributeNames", "size",
                                            "allocated", "lastWrite", "created", "lastAccess"};

void ExpectEntryFields(const SJson& entry) {
  EXPECT_EQ(entry.Keys(), ENTRY_FIELDS) << entry["path"].text;
  for (const char* time : {"lastWrite", "created", "lastAccess"}) {
    EXPECT_TRUE(UtcSecondsOfIsoTime(entry[time].text)) << entry[time].text;
  }
  // One path form: a directory's path ends with a backslash, a file's does not.
  EXPECT_EQ(entry["path"].text.back() == '\\', entry["directory"].boolean) << entry["path"].text;
}

TEST_F(OstrinCommandTest, JsonDocumentsForScripts) {
  // Every document is an object: the list of entries (ls, find, du) or the tree, then the totals.
  const SJson lsDocument = ParseJson(Ostrin({"--json", "ls", "-l", "-R", "S:"}).out);
  EXPECT_EQ(lsDocument.Keys(), (std::set<std::string>{"entries", "totals"}));
  EXPECT_EQ(lsDocument["totals"]["files"].number, 9);
  EXPECT_EQ(lsDocument["totals"]["size"].number, 9523510);
  const SJson& listing = lsDocument["entries"];
  ASSERT_EQ(listing.type, SJson::EType::Array);
  ASSERT_EQ(listing.items.size(), 16u);
  for (const SJson& entry : listing.items) ExpectEntryFields(entry);
  EXPECT_EQ(listing.items[0]["path"].text, "S:\\Archive\\");
  EXPECT_EQ(listing.items[0]["name"].text, "Archive");
  const SJson& notes = listing.items[8];
  EXPECT_EQ(notes["path"].text, "S:\\Documents\\notes.txt");
  EXPECT_FALSE(notes["directory"].boolean);
  EXPECT_EQ(notes["attributes"].number, 0x21);
  ASSERT_EQ(notes["attributeNames"].items.size(), 2u);
  EXPECT_EQ(notes["attributeNames"].items[0].text, "readonly");
  EXPECT_EQ(notes["attributeNames"].items[1].text, "archive");
  EXPECT_EQ(listing.items[0]["attributeNames"].items[0].text, "directory");
  EXPECT_EQ(notes["size"].number, 300);
  EXPECT_EQ(notes["lastWrite"].text, "2021-06-02T12:00:02+00:00");
  EXPECT_EQ(UtcSecondsOfIsoTime(notes["lastWrite"].text),
            ostrin::test::FileTimeToUnixSeconds(ostrin::test::FindExpected(s_volume->expected, "/Documents/notes.txt")->written));
  EXPECT_EQ(listing.items[15]["name"].text, "日本語.txt");

  // tree --json: the fields of ls -l --json on every node, and children on directories.
  std::set<std::string> directoryFields = ENTRY_FIELDS;
  directoryFields.insert("children");
  const SJson treeDocument = ParseJson(Ostrin({"--json", "tree", "S:\\Unicode"}).out);
  EXPECT_EQ(treeDocument.Keys(), (std::set<std::string>{"tree", "totals"}));
  EXPECT_EQ(treeDocument["totals"]["directories"].number, 1);
  EXPECT_EQ(treeDocument["totals"]["files"].number, 1);
  const SJson& tree = treeDocument["tree"];
  EXPECT_EQ(tree.Keys(), directoryFields);
  EXPECT_EQ(tree["path"].text, "S:\\Unicode\\");
  EXPECT_EQ(tree["lastWrite"].text, "2021-06-02T12:00:10+00:00");
  ASSERT_EQ(tree["children"].items.size(), 1u);
  const SJson& subdirectory = tree["children"].items[0];
  EXPECT_EQ(subdirectory.Keys(), directoryFields);
  EXPECT_EQ(subdirectory["path"].text, "S:\\Unicode\\Ünïcödé\\");
  ASSERT_EQ(subdirectory["children"].items.size(), 1u);
  const SJson& file = subdirectory["children"].items[0];
  ExpectEntryFields(file);
  EXPECT_EQ(file["path"].text, "S:\\Unicode\\Ünïcödé\\日本語.txt");
  EXPECT_EQ(file["size"].number, 10);
  // The root has no entry of its own: no times.
  const SJson root = ParseJson(Ostrin({"--json", "tree", "S:"}).out)["tree"];
  EXPECT_EQ(root.Keys(), directoryFields);
  EXPECT_EQ(root["path"].text, "S:\\");
  EXPECT_EQ(root["lastWrite"].type, SJson::EType::Null);
  EXPECT_EQ(root["children"].items.size(), 6u);

  const SJson usage = ParseJson(Ostrin({"--json", "du", "S:"}).out)["entries"];
  ASSERT_EQ(usage.items.size(), 8u);
  EXPECT_EQ(usage.items.back()["path"].text, "S:\\");
  EXPECT_EQ(usage.items.back()["size"].number, 9523510);
  EXPECT_EQ(usage.items.back()["files"].number, 9);
  EXPECT_EQ(usage.items.back()["directories"].number, 7);

  const SJson found = ParseJson(Ostrin({"--json", "find", "S:", "b*"}).out)["entries"];
  ASSERT_EQ(found.items.size(), 2u);
  EXPECT_EQ(found.items[0]["path"].text, "S:\\Archive\\big.log");
  EXPECT_EQ(found.items[1]["path"].text, "S:\\Pictures\\2024\\beach.jpg");
  for (const SJson& entry : found.items) ExpectEntryFields(entry);

  const SJson info = ParseJson(Ostrin({"--json", "info", "S:"}).out);
  EXPECT_EQ(info["files"].number, 9);
  EXPECT_EQ(info["directories"].number, 7);
  EXPECT_GE(info["generation"].number, 1);
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  const std::optional<int64_t> built = UtcSecondsOfIsoTime(info["built"].text);
  ASSERT_TRUE(built) << info["built"].text;
  EXPECT_NEAR(static_cast<double>(*built), static_cast<double>(now), 600.0) << info["built"].text;

  // A command that fails after it has listed something ends what it began and adds the error.
  const SProgramResult partial = Ostrin({"--json", "ls", "S:\\Documents", "S:\\missing"});
  EXPECT_EQ(partial.exitCode, 1);
  const SJson partialDocument = ParseJson(partial.out);
  EXPECT_EQ(partialDocument.Keys(), (std::set<std::string>{"entries", "error"}));
  EXPECT_EQ(partialDocument["entries"].items.size(), 2u);
  EXPECT_EQ(partialDocument["error"]["text"].text, "S:\\missing: no such file or directory");
}

// info sums the drive up and says which generation of its image it read, and when that was built.
TEST_F(OstrinCommandTest, InfoSaysWhatTheDriveHoldsAndWhenItsImageWasBuilt) {
  const SProgramResult result = Ostrin({"info", "S:"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  const std::string summary = "Drive        S:\nImage        " + std::to_string(ostrin::test::ExpectedImageSize(s_volume->image)) +
                              " bytes\nDirectories  7\nFiles        9\nSize         9523510 bytes\nAllocated    225590 bytes\n";
  EXPECT_EQ(result.out.substr(0, summary.size()), summary);
  unsigned long long generation = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  char end = 0;
  const std::string rest = result.out.substr(std::min(summary.size(), result.out.size()));
  EXPECT_EQ(std::sscanf(rest.c_str(), "Generation   %llu\nBuilt        %4d-%2d-%2d %2d:%2d:%2d%c", &generation, &year,
                        &month, &day, &hour, &minute, &second, &end),
            8)
      << result.out;
  EXPECT_GE(generation, 1u);
  EXPECT_GE(year, 2026);
  EXPECT_EQ(end, '\n');
}

#ifndef _WIN32
TEST_F(OstrinCommandTest, JsonTimesCarryTheServicesZoneOffset) {
  // Two hours east of UTC: the service scans the times into that zone's local time, and ostrin gives
  // them with the offset, so they still name the same instants.
  const std::string zone = "XYZ-2";
  StartServer(SServerOptions().Environment("TZ", zone));
  const SProgramResult result = OstrinInZone(zone, {"--json", "ls", "S:\\Documents\\notes.txt"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const SJson listing = ParseJson(result.out)["entries"];
  ASSERT_EQ(listing.items.size(), 1u);
  const SJson& notes = listing.items[0];
  EXPECT_EQ(notes["lastWrite"].text, "2021-06-02T14:00:02+02:00");
  const ostrin::test::SExpectedEntry* expected = ostrin::test::FindExpected(s_volume->expected, "/Documents/notes.txt");
  ASSERT_NE(expected, nullptr);
  EXPECT_EQ(UtcSecondsOfIsoTime(notes["lastWrite"].text), ostrin::test::FileTimeToUnixSeconds(expected->written));
  EXPECT_EQ(UtcSecondsOfIsoTime(notes["created"].text), ostrin::test::FileTimeToUnixSeconds(expected->created));
  EXPECT_EQ(UtcSecondsOfIsoTime(notes["lastAccess"].text), ostrin::test::FileTimeToUnixSeconds(expected->accessed));
}

// Output that cannot be written is no success: each command, in text and in JSON, to a full disk.
// (/dev/full is Linux's.)
TEST_F(OstrinCommandTest, OutputThatCannotBeWrittenIsAWriteError) {
  for (const std::string arguments : {"ls -l -R 'S:\\'", "--json ls -R 'S:\\'", "tree 'S:\\'", "--json tree 'S:\\'",
                                      "du 'S:\\'", "find 'S:\\' '*'", "--json info S:", "info S:", "--help"}) {
    SCOPED_TRACE(arguments);
    const SProgramResult result =
        ostrin::test::RunProgram({"sh", "-c", std::string("exec '") + OSTRIN_CLI_PATH + "' " + arguments + " >/dev/full"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "ostrin: write error: No space left on device\n");
  }
}
#endif

TEST(OstrinCommandReachTest, RecursiveCommandsNameTheDirectoriesNoPathCanEnter) {
  // A directory named "a\b" beside a decoy a\b, and a second directory "one" in /dup: each is
  // listed, never entered through a path that names another, and named on standard error (exit 7).
  // info sums the image at the service, which reaches every entry: it counts each file once.
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("unreachable-names");
  ostrin::test::CImageCopy copy(volume.image);
  const auto setUnits = [&](const std::string& path, const std::u16string& units) {
    const ostrin::test::SExpectedEntry* entry = ostrin::test::FindExpected(volume.expected, path);
    ASSERT_NE(entry, nullptr) << path;
    const std::vector<uint8_t> record = ostrin::test::ReadRecord(copy, entry->record);
    const auto name = ostrin::test::FindAttribute(record, 0x30);
    ASSERT_TRUE(name.has_value());
    std::vector<uint8_t> bytes;
    for (const char16_t unit : units) bytes.insert(bytes.end(), {static_cast<uint8_t>(unit), static_cast<uint8_t>(unit >> 8)});
    ostrin::test::PatchRecord(copy, entry->record, ostrin::test::ResidentValueOffset(record, *name) + 0x42, bytes);
  };
  setUnits("/q/aXb", u"a\\b");
  setUnits("/dup/two", u"one");
  CServerProcess server(SServerOptions().Port(CLIENT_PORT).Volume('S', copy.Path()));
  server.Start();
  const std::set<std::string> notEntered = {
      "ostrin: S:\\q\\a\\b\\: cannot be entered by path (its name holds a backslash)",
      "ostrin: S:\\dup\\one\\: cannot be entered by path (another directory of its name comes first)"};
  const auto linesOf = [](const std::string& text) {
    std::set<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.insert(line);
    return lines;
  };
  const auto count = [](const std::string& text, const std::string& part) {
    size_t found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
    return found;
  };
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"ls", "-R", "S:\\"}, {"tree", "S:\\"}, {"du", "S:\\"}, {"find", "S:\\", "*"}, {"info", "S:"}}) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const SProgramResult result = Ostrin(arguments);
    if (arguments[0] == "info") {
      EXPECT_EQ(result.exitCode, 0) << result.err;
      EXPECT_EQ(result.err, "");
      EXPECT_NE(result.out.find("Directories  7\nFiles        4\nSize         10 bytes\n"), std::string::npos) << result.out;
      continue;
    }
    EXPECT_EQ(result.exitCode, 7);
    EXPECT_EQ(linesOf(result.err), notEntered);
    if (arguments[0] == "du") {
      // Directories only: the decoy and the first "one" once each.
      EXPECT_EQ(count(result.out, "S:\\q\\a\\b\\\n"), 1u) << result.out;
      EXPECT_EQ(count(result.out, "S:\\dup\\one\\\n"), 1u) << result.out;
      EXPECT_NE(result.out.find("       2 file(s)  4 bytes"), std::string::npos) << result.out;
      continue;
    }
    EXPECT_EQ(count(result.out, "decoy.txt"), 1u) << result.out;
    EXPECT_EQ(count(result.out, "first.txt"), 1u) << result.out;
    EXPECT_EQ(count(result.out, "real.txt"), 0u) << result.out;
    EXPECT_EQ(count(result.out, "second.txt"), 0u) << result.out;
  }
}

TEST(OstrinCommandReachTest, ARecordWithANameThatBeginsWithNulCostsOnlyItself) {
  // Such a name once went into the image as an empty name, and every later walk of the drive failed
  // (3005): now the record is skipped, and the rest of the drive lists.
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("unreachable-names");
  ostrin::test::CImageCopy copy(volume.image);
  const ostrin::test::SExpectedEntry* entry = ostrin::test::FindExpected(volume.expected, "/q/a/b/decoy.txt");
  ASSERT_NE(entry, nullptr);
  const std::vector<uint8_t> record = ostrin::test::ReadRecord(copy, entry->record);
  const uint32_t value = ostrin::test::ResidentValueOffset(record, ostrin::test::FindAttribute(record, 0x30).value());
  ostrin::test::PatchRecord(copy, entry->record, value + 0x42, {0, 0});
  CServerProcess server(SServerOptions().Port(CLIENT_PORT).Volume('S', copy.Path()));
  server.Start();
  const SProgramResult result = Ostrin({"find", "S:\\", "*.txt"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, "S:\\dup\\one\\first.txt\nS:\\dup\\two\\second.txt\nS:\\q\\aXb\\real.txt\n");
}

TEST(OstrinCommandCaseTest, DirectoriesThatDifferOnlyInCaseAreListedApart) {
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("links-and-case");
  CServerProcess server(SServerOptions().Port(CLIENT_PORT).Volume('S', volume.image));
  server.Start();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"tree", "S:\\case"},
       "S:\\case\\\n+-- SUB\\\n|   \\-- caps.txt\n+-- Sub\\\n|   +-- deeper\\\n|   |   \\-- in-upper.txt\n"
       "|   \\-- upper.txt\n+-- sub\\\n|   +-- deeper\\\n|   |   \\-- in-lower.txt\n|   \\-- lower.txt\n\\-- sub.txt\n"
       "\n5 directories, 6 files\n"},
      {{"du", "S:\\case"},
       "              5               5  S:\\case\\SUB\\\n"
       "              2               2  S:\\case\\Sub\\deeper\\\n"
       "              3               3  S:\\case\\Sub\\\n"
       "              4               4  S:\\case\\sub\\deeper\\\n"
       "              7               7  S:\\case\\sub\\\n"
       "             21              21  S:\\case\\\n"
       "       6 file(s)  21 bytes, 21 allocated\n       5 dir(s)\n"},
  };
  for (const auto& [arguments, out] : cases) {
    const SProgramResult result = Ostrin(arguments);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, out) << arguments.front();
  }
  // A recursive listing reaches every file once, under its own directory.
  const std::string listing = Ostrin({"ls", "-R", "S:\\case"}).out;
  for (const char* part : {"Directory of S:\\case\\Sub\\deeper\\\nin-upper.txt\n",
                           "Directory of S:\\case\\sub\\deeper\\\nin-lower.txt\n",
                           "Directory of S:\\case\\SUB\\\ncaps.txt\n"}) {
    EXPECT_NE(listing.find(part), std::string::npos) << part << "\n" << listing;
  }
}

#ifndef _WIN32
TEST(OstrinCommandInterruptTest, CtrlCDuringTheScanAbortsIt) {
  const ostrin::test::STestVolume volume = ostrin::test::MadeVolume("many-records");
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

#endif

}  // namespace
