// Child processes on Linux: fork and exec, SIGTERM as the stop control, SIGKILL as a crash.
#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace ostrin::test {

namespace {

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// In the child: the stream goes to the file, appended.
void RedirectTo(const std::string& path, int stream) {
  if (path.empty()) return;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0 || ::dup2(fd, stream) < 0) ::_exit(126);
  ::close(fd);
}

}  // namespace

struct CChildProcess::State {
  pid_t pid = -1;
};

CChildProcess::CChildProcess() : m_state(std::make_unique<State>()) {}

CChildProcess::~CChildProcess() { Kill(); }

bool CChildProcess::Start(const SChildStart& start) {
  if (start.argv.empty() || m_state->pid > 0) return false;
  std::vector<char*> args;
  for (const std::string& a : start.argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  m_exitCode = -1;
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (!start.folder.empty() && ::chdir(start.folder.c_str()) != 0) ::_exit(126);
    for (const auto& [name, value] : start.environment) ::setenv(name.c_str(), value.c_str(), 1);
    const int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, 0);
    RedirectTo(start.outputPath, 1);
    RedirectTo(start.errorPath, 2);
    ::execvp(args[0], args.data());
    for (const char* dir : {"/usr/sbin/", "/sbin/"}) {
      const std::string path = dir + start.argv[0];
      ::execv(path.c_str(), args.data());
    }
    ::_exit(127);
  }
  m_state->pid = pid;
  return true;
}

bool CChildProcess::IsRunning() {
  if (m_state->pid <= 0) return false;
  int status = 0;
  const pid_t done = ::waitpid(m_state->pid, &status, WNOHANG);
  if (done == 0 || (done < 0 && errno == EINTR)) return true;
  m_exitCode = done == m_state->pid ? ExitCodeOf(status) : -1;
  m_state->pid = -1;
  return false;
}

int CChildProcess::WaitForExit(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (IsRunning()) {
    if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return m_exitCode;
}

void CChildProcess::RequestStop() {
  if (m_state->pid > 0) ::kill(m_state->pid, SIGTERM);
}

void CChildProcess::Kill() {
  if (m_state->pid <= 0) return;
  ::kill(m_state->pid, SIGKILL);
  int status = 0;
  while (::waitpid(m_state->pid, &status, 0) < 0 && errno == EINTR) {
  }
  m_exitCode = ExitCodeOf(status);
  m_state->pid = -1;
}

int64_t CChildProcess::Id() const { return m_state->pid; }

}  // namespace ostrin::test
