// Test helper (Linux only; the tests run as root): work done as another local user, in a forked child
// that takes the user's groups from the user database, then its gid and its uid, before the work.
#pragma once

#include <grp.h>
#include <pwd.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>

namespace ostrin::test {

// What RunAsUser gives when the child could not become the user, or did not end by itself.
inline constexpr int AS_USER_FAILED = -1;

// The uid of a user of the user database; -1 when there is none.
inline long UidOf(const std::string& user) {
  const passwd* entry = ::getpwnam(user.c_str());
  return entry != nullptr ? static_cast<long>(entry->pw_uid) : -1;
}

inline long GidOfGroup(const std::string& group) {
  const struct group* entry = ::getgrnam(group.c_str());
  return entry != nullptr ? static_cast<long>(entry->gr_gid) : -1;
}

// Runs work as the user named and gives its result (0 to 255), or AS_USER_FAILED. The child ends with
// _exit: nothing of the test's own state is torn down twice.
inline int RunAsUser(const std::string& user, const std::function<int()>& work) {
  const passwd* entry = ::getpwnam(user.c_str());
  if (entry == nullptr) return AS_USER_FAILED;
  const uid_t uid = entry->pw_uid;
  const gid_t gid = entry->pw_gid;
  const pid_t child = ::fork();
  if (child < 0) return AS_USER_FAILED;
  if (child == 0) {
    if (::initgroups(user.c_str(), gid) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0 || ::getuid() != uid) {
      ::_exit(255);
    }
    int result = 255;
    try {
      result = work();
    } catch (...) {
    }
    ::_exit(result & 0xFF);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return AS_USER_FAILED;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 255) return AS_USER_FAILED;
  return WEXITSTATUS(status);
}

}  // namespace ostrin::test
