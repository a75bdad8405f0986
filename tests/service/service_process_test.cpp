// The service program as a real process: its options with their exact output and the systemd unit they
// write, and service mode under signals, with the events it writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "event_log_file.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

std::string HostPath() {
  char resolved[PATH_MAX] = {};
  EXPECT_NE(realpath(SERVICE_TEST_HOST, resolved), nullptr);
  return resolved;
}

bool FileExists(const std::string& path) {
  struct stat info = {};
  return stat(path.c_str(), &info) == 0;
}

// The test host, started with the given arguments and with the OSTRIN_ variables of the test only;
// its standard output and error go to files in the test's folder.
class CHostProcess {
 public:
  CHostProcess(const std::string& folder, const std::vector<std::string>& arguments,
               const std::vector<std::string>& variables, const std::string& program = SERVICE_TEST_HOST)
      : m_stdout(folder + "/stdout"), m_stderr(folder + "/stderr") {
    std::vector<std::string> environment;
    // Started by hand, as far as the program can tell: not by systemd either.
    for (char** v = environ; *v != nullptr; ++v) {
      const std::string variable(*v);
      if (variable.rfind("OSTRIN_", 0) != 0 && variable.rfind("INVOCATION_ID=", 0) != 0) environment.push_back(variable);
    }
    environment.insert(environment.end(), variables.begin(), variables.end());
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, m_stdout.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, m_stderr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int error = posix_spawn(&m_pid, program.c_str(), &actions, nullptr, Pointers(argv).data(),
                                  Pointers(environment).data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(error, 0);
  }

  ~CHostProcess() {
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      Wait();
    }
  }

  void Signal(int signal) const { ASSERT_EQ(kill(m_pid, signal), 0); }

  // Sends the signal every millisecond until the process has exited; its exit code, -1 when a signal
  // ended it, or -2 when it was still there after 20 seconds (the destructor then kills it).
  int SignalUntilExit(int signal) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int status = 0;
    for (;;) {
      kill(m_pid, signal);
      if (waitpid(m_pid, &status, WNOHANG) == m_pid) break;
      if (std::chrono::steady_clock::now() > deadline) return -2;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // The exit code, or -1 when the process did not exit by itself.
  int Wait() {
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string Output() const { return ReadWholeFile(m_stdout); }
  std::string Errors() const { return ReadWholeFile(m_stderr); }

 private:
  static std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
  }

  pid_t m_pid = -1;
  std::string m_stdout;
  std::string m_stderr;
};

bool WaitUntil(const std::function<bool()>& condition) {
  const auto limit = std::chrono::steady_clock::now() + 10s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// The lines of a text that start with a prefix.
std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
  }
  return lines;
}

TEST(ServiceProcessTest, InstallAndRemoveOptions) {
  const std::string folder = MakeTestFolder();
  const std::string units = folder + "/units";
  ASSERT_EQ(mkdir(units.c_str(), 0755), 0);
  const std::string unit = units + "/OstrinNT.service";
  const std::string log = folder + "/events.log";
  const std::string host = HostPath();
  const std::string version = std::string("OstrinNT Version 1.0\nRelease ") + OSTRIN_TEST_PROJECT_VERSION + "\n";
  const std::string installed = "OstrinNT installed\n";
  const std::string removed = "OstrinNT removed. (You must delete the file (" + host + ") yourself.)\n";
  const std::string installEvent = "information 100 The OstrinNT service was installed.";
  const std::string removeEvent = "information 101 The OstrinNT service was removed.";

  struct Step {
    std::vector<std::string> arguments;
    std::string output;
    bool unitAfter;
    std::vector<std::string> events;
  };
  const Step steps[] = {
      {{"-v"}, version + "The service is not installed\n", false, {}},
      {{"-u"}, "OstrinNT is not installed\n", false, {}},
      {{"-i"}, installed, true, {installEvent}},
      {{"-v"}, version + "The service is currently installed\n", true, {}},
      {{"-i"}, "OstrinNT is already installed\n", true, {}},
      {{"-I"}, "OstrinNT is already installed\n", true, {}},
      {{"-V"}, version + "The service is currently installed\n", true, {}},
      {{"-u"}, removed, false, {removeEvent}},
      {{"-u"}, "OstrinNT is not installed\n", false, {}},
      {{"-I"}, installed, true, {installEvent}},
      {{"-U"}, removed, false, {removeEvent}},
      {{"-i", "-u"}, installed, true, {installEvent}},  // only the first argument counts
      {{"-u", "-i"}, removed, false, {removeEvent}},
      {{"-i", "--verbose"}, "GetModuleFileName() " + host + "\n" + installed, true, {installEvent}},
      {{"-c", "elsewhere.ini", "-u"}, removed, false, {removeEvent}},  // the file comes first
  };
  size_t eventsBefore = 0;
  for (const Step& step : steps) {
    std::string command;
    for (const std::string& argument : step.arguments) command += argument + " ";
    SCOPED_TRACE(command);
    CHostProcess process(folder, step.arguments, {"OSTRIN_SYSTEMD_DIR=" + units, "OSTRIN_EVENT_LOG=" + log});
    EXPECT_EQ(process.Wait(), 0);
    EXPECT_EQ(process.Output(), step.output);
    EXPECT_EQ(FileExists(unit), step.unitAfter);
    const std::vector<std::string> events = EventRecords(log);
    ASSERT_GE(events.size(), eventsBefore);
    EXPECT_EQ(std::vector<std::string>(events.begin() + static_cast<ptrdiff_t>(eventsBefore), events.end()),
              step.events);
    eventsBefore = events.size();

    if (step.unitAfter && step.output == installed) {
      // Its settings, line for line; the comments between them are free.
      std::istringstream text(ReadWholeFile(unit));
      std::vector<std::string> settings;
      for (std::string line; std::getline(text, line);) {
        if (line.rfind('#', 0) != 0) settings.push_back(line);
      }
      EXPECT_EQ(settings, (std::vector<std::string>{
                              "[Unit]",
                              "Description=OstrinNT File Backup Service",
                              "Documentation=man:OstrinNT(8)",
                              "After=local-fs.target",
                              "",
                              "[Service]",
                              "Type=notify",
                              "ExecStart=" + host,
                              "WorkingDirectory=" + host.substr(0, host.rfind('/')),
                              "Restart=on-failure",
                              "NoNewPrivileges=yes",
                              "ProtectSystem=strict",
                              "ProtectHome=read-only",
                              "PrivateTmp=yes",
                              "PrivateMounts=yes",
                              "ProtectKernelTunables=yes",
                              "ProtectKernelModules=yes",
                              "ProtectKernelLogs=yes",
                              "ProtectControlGroups=yes",
                              "ProtectHostname=yes",
                              "ProtectProc=invisible",
                              "RestrictAddressFamilies=AF_INET AF_UNIX AF_NETLINK",
                              "IPAddressAllow=localhost",
                              "IPAddressDeny=any",
                              "RestrictNamespaces=yes",
                              "RestrictRealtime=yes",
                              "RestrictSUIDSGID=yes",
                              "LockPersonality=yes",
                              "MemoryDenyWriteExecute=yes",
                              "SystemCallArchitectures=native",
                              "SystemCallFilter=@system-service",
                              "SystemCallErrorNumber=EPERM",
                              "CapabilityBoundingSet=CAP_DAC_READ_SEARCH CAP_CHOWN",
                              "UMask=0077",
                              "",
                              "[Install]",
                              "WantedBy=multi-user.target",
                          }));
    }
  }
}

// systemd splits ExecStart= at blanks and expands %-specifiers in both paths, so such a path is quoted
// and its percent signs doubled.
TEST(ServiceProcessTest, UnitForAProgramPathWithBlanksAndPercent) {
  const std::string folder = MakeTestFolder();
  const std::string programFolder = folder + "/with blank 100%";
  ASSERT_EQ(mkdir(programFolder.c_str(), 0755), 0);
  const std::string program = programFolder + "/host";
  std::filesystem::copy_file(HostPath(), program);
  ASSERT_EQ(chmod(program.c_str(), 0755), 0);

  CHostProcess process(folder, {"-i"}, {"OSTRIN_SYSTEMD_DIR=" + folder}, program);
  EXPECT_EQ(process.Wait(), 0);
  EXPECT_EQ(process.Output(), "OstrinNT installed\n");
  const std::string unit = ReadWholeFile(folder + "/OstrinNT.service");
  EXPECT_NE(unit.find("\nExecStart=\"" + folder + "/with blank 100%%/host\"\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nWorkingDirectory=" + folder + "/with blank 100%%\n"), std::string::npos) << unit;

  // Installed with -c, the service reads that file wherever it starts: the unit passes it on.
  CHostProcess removal(folder, {"-u"}, {"OSTRIN_SYSTEMD_DIR=" + folder}, program);
  ASSERT_EQ(removal.Wait(), 0);
  CHostProcess named(folder, {"-c", programFolder + "/Ostrin NT.ini", "-i"}, {"OSTRIN_SYSTEMD_DIR=" + folder}, program);
  EXPECT_EQ(named.Wait(), 0);
  const std::string namedUnit = ReadWholeFile(folder + "/OstrinNT.service");
  EXPECT_NE(namedUnit.find("\nExecStart=\"" + folder + "/with blank 100%%/host\" -c \"" + folder +
                           "/with blank 100%%/Ostrin NT.ini\"\n"),
            std::string::npos)
      << namedUnit;
}

// A unit folder that cannot be opened plays the part of a service manager that refuses full access.
TEST(ServiceProcessTest, UnitFolderThatCannotBeOpened) {
  const std::string folder = MakeTestFolder();
  const std::string notAFolder = folder + "/file";
  ASSERT_TRUE(std::ofstream(notAFolder).good());
  struct Case {
    std::string units;
    std::vector<std::string> arguments;
    std::string output;
  };
  const Case cases[] = {
      {folder + "/missing", {"-v"},
       std::string("OstrinNT Version 1.0\nRelease ") + OSTRIN_TEST_PROJECT_VERSION + "\nThe service is not installed\n"},
      {folder + "/missing", {"-i"}, "OstrinNT failed to install. Error 2\n"},  // ENOENT
      {folder + "/missing", {"-u"}, "OstrinNT is not installed\n"},
      {notAFolder, {"-i"}, "OstrinNT failed to install. Error 20\n"},  // ENOTDIR
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.units + " " + c.arguments[0]);
    CHostProcess process(folder, c.arguments, {"OSTRIN_SYSTEMD_DIR=" + c.units});
    // A failure is no success: the install that could not write its unit exits 1.
    EXPECT_EQ(process.Wait(), c.output.find("failed") != std::string::npos ? 1 : 0);
    EXPECT_EQ(process.Output(), c.output);
  }
}

// -h and --help print the usage; any other option is a mistake, said on standard error with the
// usage (exit 2), and nothing runs.
TEST(ServiceProcessTest, HelpAndMistakenOptions) {
  const std::string folder = MakeTestFolder();
  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
    std::string firstErrorLine;  // empty: nothing on standard error, the usage on standard output
  };
  const Case cases[] = {
      {{"-h"}, 0, ""},
      {{"--HELP"}, 0, ""},
      {{"-c", "x.ini", "--help"}, 0, ""},
      {{"--version"}, 2, "OstrinNT: unknown option --version"},
      {{"-x", "-i"}, 2, "OstrinNT: unknown option -x"},
      {{"-c"}, 2, "OstrinNT: -c needs the configuration file's path"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments[0]);
    CHostProcess process(folder, c.arguments, {"OSTRIN_SYSTEMD_DIR=" + folder});
    EXPECT_EQ(process.Wait(), c.exitCode);
    const std::string usage = c.firstErrorLine.empty() ? process.Output() : process.Errors();
    EXPECT_EQ(usage.rfind(c.firstErrorLine.empty() ? "Usage: OstrinNT [-c FILE] [OPTION]\n"
                                                    : c.firstErrorLine + "\nUsage: OstrinNT [-c FILE] [OPTION]\n",
                          0),
              0u)
        << usage;
    EXPECT_NE(usage.find("  -t "), std::string::npos) << usage;
    EXPECT_EQ(c.firstErrorLine.empty() ? process.Errors() : process.Output(), "");
    EXPECT_FALSE(FileExists(folder + "/OstrinNT.service"));
  }
}

TEST(ServiceProcessTest, ServiceModeUntilStopped) {
  struct Case {
    std::vector<std::string> arguments;
    int stopSignal;
    bool bySystemd = false;  // events go to standard error too only when started by hand
  };
  const Case cases[] = {
      {{}, SIGTERM},
      {{"console"}, SIGINT},     // an argument that is no option runs the service
      {{"run", "-i"}, SIGTERM},  // "-i" only as the second argument runs the service
      {{}, SIGTERM, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE((c.arguments.empty() ? std::string("no arguments") : c.arguments[0]) + (c.bySystemd ? " by systemd" : ""));
    const std::string folder = MakeTestFolder();
    const std::string log = folder + "/events.log";
    std::vector<std::string> variables{"OSTRIN_SYSTEMD_DIR=" + folder, "OSTRIN_EVENT_LOG=" + log, "OSTRIN_TRACE=1"};
    if (c.bySystemd) variables.push_back("INVOCATION_ID=5f2b0c0e6d2a4f7c9a1e3b5d7f9a1c3e");
    CHostProcess process(folder, c.arguments, variables);
    const std::string started = "information 105 The service was started.";
    ASSERT_TRUE(WaitUntil([&] { return EventRecords(log) == std::vector<std::string>{started}; }));
    EXPECT_EQ(LinesStartingWith(process.Errors(), "OstrinNT: "),
              c.bySystemd ? std::vector<std::string>{} : std::vector<std::string>{"OstrinNT: " + started});

    // Interrogate reports the status again and writes no event.
    process.Signal(SIGHUP);
    ASSERT_TRUE(WaitUntil([&] { return !LinesStartingWith(process.Errors(), "Updating status").empty(); }));
    EXPECT_EQ(LinesStartingWith(process.Errors(), "Updating status"),
              std::vector<std::string>{"Updating status (1, 4)"});
    EXPECT_EQ(EventRecords(log), std::vector<std::string>{started});

    process.Signal(c.stopSignal);
    EXPECT_EQ(process.Wait(), 0);
    EXPECT_EQ(EventRecords(log), (std::vector<std::string>{started, "information 109 The service was stopped."}));
    EXPECT_EQ(process.Output(), "");
    EXPECT_FALSE(FileExists(folder + "/OstrinNT.service"));
    // start pending, running, stop pending, stopped
    EXPECT_EQ(LinesStartingWith(process.Errors(), "CNTService::SetStatus"),
              (std::vector<std::string>{"CNTService::SetStatus(1, 2)", "CNTService::SetStatus(1, 4)",
                                        "CNTService::SetStatus(1, 3)", "CNTService::SetStatus(1, 1)"}));
  }
}

// Stops keep coming until the process has gone (a manager that repeats its stop, a user who presses
// Ctrl+C twice): one that comes after the service has ended, while the process ends, must not end it
// by its signal instead of its clean exit.
TEST(ServiceProcessTest, StopsWhileTheProcessEndsAreDropped) {
  for (const int stopSignal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(stopSignal);
    const std::string folder = MakeTestFolder();
    const std::string log = folder + "/events.log";
    CHostProcess process(folder, {}, {"OSTRIN_SYSTEMD_DIR=" + folder, "OSTRIN_EVENT_LOG=" + log});
    ASSERT_TRUE(WaitUntil([&] { return !EventRecords(log).empty(); }));
    EXPECT_EQ(process.SignalUntilExit(stopSignal), 0);
    EXPECT_EQ(EventRecords(log).back(), "information 109 The service was stopped.");
  }
}

}  // namespace
