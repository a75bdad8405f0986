// A program a test runs as a process of its own, on Linux and under Wine alike: started in a folder
// with variables added to the test's environment and its output in files, asked to stop with the
// service's stop control, waited for or killed. The child is killed when its owner goes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ostrin::test {

struct SChildStart {
  std::vector<std::string> argv;  // argv[0] is the program: a path, or a name searched in PATH
  std::string folder;             // the working folder; empty: the test's own
  std::vector<std::pair<std::string, std::string>> environment;  // NAME=value added to the test's own
  // Files standard output and standard error are appended to (the same file for both is fine); empty:
  // the test's own streams. Standard input reads nothing.
  std::string outputPath;
  std::string errorPath;
};

class CChildProcess {
 public:
  CChildProcess();
  ~CChildProcess();
  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;

  // Starts the program; false when it could not be started (on Linux a program that cannot be run
  // starts and ends with 127).
  bool Start(const SChildStart& start);
  bool IsRunning();
  // Waits for the end; the exit code (on Linux 128 + the signal for a killed process), or -1 when the
  // program still runs after timeoutMs (negative: no limit).
  int WaitForExit(int timeoutMs);
  // The service's stop control, without waiting: SIGTERM on Linux; on Windows the event the service
  // dispatcher takes as the stop control outside the service manager (OSTRIN_STOP_EVENT).
  void RequestStop();
  // Ends the program at once, as a crash would, and waits for it.
  void Kill();
  // The exit code once the program has ended, else -1.
  int ExitCode() const { return m_exitCode; }
  // The process id while the program runs, else -1.
  int64_t Id() const;

 private:
  struct State;
  std::unique_ptr<State> m_state;
  int m_exitCode = -1;
};

}  // namespace ostrin::test
