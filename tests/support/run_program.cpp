// Running helper programs through fork and exec, with both output streams captured through files.
#include "tests/support/run_program.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/unique_fd.h"

namespace ostrin::test {
namespace {

using ostrin::platform::UniqueFd;

// An unlinked temporary file: the child writes into it, the parent reads it back afterwards. Files
// rather than pipes, so that a program that writes much to both streams cannot block.
UniqueFd TemporaryFile() {
  char path[] = "/tmp/ostrin-test-output-XXXXXX";
  UniqueFd fd(::mkstemp(path));
  if (fd.IsValid()) ::unlink(path);
  return fd;
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[65536];
  off_t offset = 0;
  while (true) {
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
    offset += n;
  }
  return text;
}

}  // namespace

SProgramResult RunProgram(const std::vector<std::string>& argv) {
  SProgramResult result;
  if (argv.empty()) return result;
  UniqueFd out = TemporaryFile(), err = TemporaryFile();
  if (!out.IsValid() || !err.IsValid()) return result;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0) return result;
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, 0);
    ::dup2(out.Get(), 1);
    ::dup2(err.Get(), 2);
    ::setenv("TZ", "UTC", 1);
    ::execvp(args[0], args.data());
    for (const char* dir : {"/usr/sbin/", "/sbin/"}) {
      const std::string path = dir + argv[0];
      ::execv(path.c_str(), args.data());
    }
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = ReadAll(out.Get());
  result.err = ReadAll(err.Get());
  return result;
}

}  // namespace ostrin::test
