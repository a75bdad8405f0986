// ostrin: lists the files of a drive that the OstrinNT service indexes, through OstrinAPI only, as any
// program of its users would. `ostrin --help` says how to use it. Each command is a file of its own
// (tools/ostrin/*_command.cpp) and writes through the text or the JSON output.
#include <OstrinAPI.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/console.h"
#include "platform/interrupt.h"
#include "platform/local_time.h"
#include "platform/message_box.h"
#include "platform/program_entry.h"
#include "platform/socket.h"
#include "tools/ostrin/command.h"
#include "tools/ostrin/command_line.h"
#include "tools/ostrin/output.h"
#include "tools/tool_format.h"

namespace {

// A message box's text as one line: its line feeds become a blank.
std::string OneLine(const std::string& text) {
  std::string line;
  for (const char c : text) {
    if (c != '\n') {
      line.push_back(c);
    } else if (!line.empty() && line.back() != ' ') {
      line.push_back(' ');
    }
  }
  return line;
}

// What the platform's conversion to local time adds to a UTC time now: the offset the service also
// adds to the times of a drive it scans, when it runs in the same zone.
int64_t LocalUtcOffsetSeconds() {
  constexpr uint64_t TICKS_PER_SECOND = 10'000'000;
  constexpr uint64_t SOME_UTC_TIME = 133'500'000'000'000'000;  // 2024-01-22, far from either end of the range
  uint64_t local = 0;
  if (!ostrin::platform::FileTimeToLocalFileTime(SOME_UTC_TIME, &local)) return 0;
  return (static_cast<int64_t>(local) - static_cast<int64_t>(SOME_UTC_TIME)) / static_cast<int64_t>(TICKS_PER_SECOND);
}

// ---- The scan's progress.

int g_progressShown = -1;
bool g_drawProgress = false;
char g_progressLabel[32];

int32_t ShowProgress(int32_t percent, int32_t /*callerValue*/) {
  if (g_drawProgress && percent != g_progressShown) {
    DrawProgressBar(stderr, g_progressLabel, percent);
    g_progressShown = percent;
  }
  // Ctrl-C asks the service to abort the scan; the open then ends with OpenAborted.
  return ostrin::platform::InterruptRequested() ? 0 : 1;
}

void EndProgress() {
  if (g_progressShown >= 0) std::fputc('\n', stderr);
  g_progressShown = -1;
}

// ---- Failures of the command line.

// A mistaken command line: said plainly, with where to read more.
int UsageError(const SOptions& options, const std::string& message) {
  std::fprintf(stderr, "ostrin: %s\n", message.c_str());
  if (options.command != ESubcommand::None && options.command != ESubcommand::Help) {
    std::fprintf(stderr, "Try 'ostrin help %s'.\n", CommandName(options.command));
  } else {
    std::fputs("Try 'ostrin --help'.\n", stderr);
  }
  return EXIT_USAGE;
}

// ---- The service.

// Whether something accepts connections on the service's port, found by connecting and closing again
// at once (the service takes a connection that ends before its first command without a word).
bool ServiceListens() {
  namespace platform = ostrin::platform;
  if (!platform::StartSocketLibrary()) return false;
  bool listens = false;
  uint32_t address = 0;
  std::string dotted;
  if (platform::LookupHostIPv4(OSTRIN_API_SERVICE_HOST, &address, &dotted)) {
    platform::UniqueSocket socket(platform::CreateTcpSocket());
    listens = socket.IsValid() && platform::ConnectSocket(socket.Get(), address, OSTRIN_API_SERVICE_PORT);
  }
  platform::CleanupSocketLibrary();
  return listens;
}

// Where OstConnect would show a message box that nobody clicks away (a script on Windows), or when
// asked to, the command first finds out that the service listens.
bool ChecksServiceFirst(const SOptions& options) {
  return options.noDialog ||
         (ostrin::platform::ErrorMessagesWaitForUser() && !ostrin::platform::IsTerminal(stdin));
}

int NoService(const SOptions& options, COutput& output, WCHAR letter, bool connectFailed) {
  const std::string cannotConnect = OneLine(OSTRIN_MESSAGE_CANNOT_CONNECT);
  if (!connectFailed) {
    // What OstConnect would have said, without its message box.
    std::fprintf(stderr, "Error: %s\n", cannotConnect.c_str());
    output.Error(letter, std::nullopt, cannotConnect);
  } else if (options.json) {
    // OstConnect has told the user; the document says as much as can be known here.
    output.Error(letter, std::nullopt,
                 ServiceListens() ? "The service on port " + std::to_string(OSTRIN_API_SERVICE_PORT) +
                                        " did not accept the connection."
                                  : cannotConnect);
  }
  return EXIT_NO_SERVICE;
}

// ostrin --help, ostrin COMMAND --help, ostrin help [COMMAND].
int PrintHelp(const SOptions& options) {
  ESubcommand command = options.command;
  if (command == ESubcommand::Help) {
    command = options.operands.empty() ? ESubcommand::None
                                       : CommandOfName(WideToUtf8(options.operands[0])).value_or(ESubcommand::None);
  }
  std::fputs(HelpText(command).c_str(), stdout);
  return EXIT_OK;
}

// The command's exit code, once standard output holds all it was given: output that could not be
// written (a full disk, a closed pipe) is "write error" and exit 1, whatever the command found.
// A write that failed earlier (one too large for the stream's buffer) may have left the error to be
// told by the output (writeError: its errno).
int FinishOutput(int exitCode, int writeError = 0) {
  errno = 0;
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return exitCode;
  const int error = errno != 0 ? errno : writeError;
  std::fprintf(stderr, "ostrin: write error%s%s\n", error != 0 ? ": " : "", error != 0 ? std::strerror(error) : "");
  return EXIT_WRITE_ERROR;
}

// ---- The drives and the command's run.

// The drives the operands name, each opened once, when the first operand on it is listed, and
// closed at the end.
class COpenDrives {
 public:
  COpenDrives(const SOptions& options, COutput& output) : m_options(options), m_output(output) {}
  COpenDrives(const COpenDrives&) = delete;
  COpenDrives& operator=(const COpenDrives&) = delete;
  ~COpenDrives() {
    for (const auto& [letter, drive] : m_drives) OstCloseDrive(drive.index);
  }

  // The drive of a letter; nothing, with the exit code, when it cannot be opened.
  const SOpenDrive* Open(WCHAR letter, int* exitCode) {
    const WCHAR upper = AsciiUpper(letter);
    if (const auto found = m_drives.find(upper); found != m_drives.end()) return &found->second;
    ostrin::platform::CatchInterrupts();
    g_drawProgress = m_options.progress.value_or(ostrin::platform::IsTerminal(stderr));
    std::snprintf(g_progressLabel, sizeof g_progressLabel, "Scanning %s", DriveName(letter).c_str());
    const int32_t index = OstOpenDrive(letter, ShowProgress, 0);
    EndProgress();
    // Only the scan is aborted through the service; a Ctrl-C while the listing runs ends the program.
    ostrin::platform::ReleaseInterrupts();
    if (index >= 0 && ostrin::platform::InterruptRequested()) {
      // The scan had finished when Ctrl-C came: nothing is listed.
      OstCloseDrive(static_cast<uint32_t>(index));
      m_output.Error(letter, std::nullopt, "interrupted");
      *exitCode = EXIT_INTERRUPTED;
      return nullptr;
    }
    if (index < 0) {
      if (OstGetLastError(letter) != OSTRIN_ERROR_NONE) {
        *exitCode = ReportDriveError(m_options, m_output, letter);
        return nullptr;
      }
      // Aborted: by Ctrl-C here, or by the service (it aborts running scans when it stops).
      const bool interrupted = ostrin::platform::InterruptRequested();
      const std::string message =
          "the scan of " + DriveName(letter) + " was aborted" + (interrupted ? "" : " by the service");
      std::fprintf(stderr, "ostrin: %s\n", message.c_str());
      m_output.Error(letter, std::nullopt, message);
      *exitCode = interrupted ? EXIT_INTERRUPTED : EXIT_SERVICE_ERROR;
      return nullptr;
    }
    const auto [entry, added] =
        m_drives.emplace(upper, SOpenDrive{static_cast<uint32_t>(index), static_cast<WCHAR>('A' + index)});
    return &entry->second;
  }

 private:
  const SOptions& m_options;
  COutput& m_output;
  std::map<WCHAR, SOpenDrive> m_drives;
};

// Runs the command on each operand in turn, until one fails; then what they add up to.
int RunOperands(const SOptions& options, COutput& output, const std::vector<SDrivePath>& drivePaths) {
  COpenDrives drives(options, output);
  SRun run;
  CNotEntered notEntered;
  int exitCode = EXIT_OK;
  for (const SDrivePath& drivePath : drivePaths) {
    const SOpenDrive* drive = drives.Open(drivePath.letter, &exitCode);
    if (drive == nullptr) return exitCode;
    const SCommand command{options, *drive, output, run, notEntered};
    switch (options.command) {
      case ESubcommand::List: exitCode = ListCommand(command, drivePath.path); break;
      case ESubcommand::Tree: exitCode = TreeCommand(command, drivePath.path); break;
      case ESubcommand::Usage: exitCode = UsageCommand(command, drivePath.path); break;
      case ESubcommand::Find: exitCode = FindCommand(command, drivePath.path, options.operands[1]); break;
      default: exitCode = InfoCommand(command); break;
    }
    if (run.failed) return exitCode;
  }
  if (options.command == ESubcommand::List || options.command == ESubcommand::Tree ||
      options.command == ESubcommand::Usage) {
    output.Summary(run.totals);
  }
  // A directory that could not be entered may hold what was not found.
  const int entered = notEntered.Report(output);
  return entered != EXIT_OK && (exitCode == EXIT_OK || exitCode == EXIT_NOT_FOUND) ? entered : exitCode;
}

int RunOstrin(int argc, WCHAR** argv) {
  // Both streams alike: UTF-8 with the same line ends as on Linux (messages name paths too).
  ostrin::platform::UseUtf8Output(stdout);
  ostrin::platform::UseUtf8Output(stderr);
  SOptions options;
  std::string error;
  if (!ParseCommandLine(argc, argv, &options, &error)) return FinishOutput(UsageError(options, error));
  if (options.help || options.command == ESubcommand::Help) return FinishOutput(PrintHelp(options));
  if (options.version) {
    std::printf("ostrin %s\nOstrinAPI %s\n", OSTRIN_COMMAND_VERSION, OSTRIN_API_VERSION_STRING);
    return FinishOutput(EXIT_OK);
  }
  const std::unique_ptr<COutput> output =
      options.json ? MakeJsonOutput(options, LocalUtcOffsetSeconds()) : MakeTextOutput(options);
  std::vector<SDrivePath> drivePaths;
  const WString* failed = nullptr;
  int exitCode = EXIT_OK;
  if (!CheckOperands(options, &drivePaths, &error, &failed)) {
    // (find's pattern is of the drive of its one path.)
    const WString& operand =
        failed != nullptr && options.command != ESubcommand::Find ? *failed : options.operands[0];
    const bool knownDrive = operand.size() >= 2 && operand[1] == ':' && AsciiUpper(operand[0]) >= 'A' &&
                            AsciiUpper(operand[0]) <= 'Z';
    output->Error(knownDrive ? operand[0] : 0, std::nullopt, error);
    exitCode = UsageError(options, error);
  } else {
    const WCHAR letter = drivePaths.front().letter;
    if (ChecksServiceFirst(options) && !ServiceListens()) {
      exitCode = NoService(options, *output, letter, false);
    } else if (OstConnect() == 0) {
      exitCode = NoService(options, *output, letter, true);
    } else {
      exitCode = RunOperands(options, *output, drivePaths);
      OstDisconnect();
    }
  }
  output->End();
  return FinishOutput(exitCode, output->WriteError());
}

}  // namespace

int ProgramMain(int argc, WCHAR** argv) { return RunOstrin(argc, argv); }
