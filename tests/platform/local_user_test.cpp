// Linux: the user behind a loopback connection as the kernel's socket table tells it, and the folder of
// the service's sections: what the service takes as its own and what a client agrees to map.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/sock_stream.h"
#include "common/text.h"
#include "platform/local_user.h"
#include "platform/shared_section.h"
#include "tests/support/as_user.h"

namespace {

namespace platform = ostrin::platform;
using ostrin::test::RunAsUser;
using ostrin::test::UidOf;

TEST(LocalUserTest, ThePeerIsTheUserWhoseProcessHoldsTheOtherEnd) {
  struct Case {
    const char* user;
    bool closesFirst;  // the peer's process closes its end and ends before the lookup
  };
  const std::vector<Case> cases = {{"root", false}, {"nobody", false}, {"daemon", false}, {"nobody", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.user) + (c.closesFirst ? ", closed first" : ""));
    CSockStream listener(ESockSide::Service);
    listener.Bind(0);
    listener.Listen();
    const uint16_t port = listener.LocalPort();
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(ready[0]);
      const int result = RunAsUser(c.user, [&] {
        CSockStream client(ESockSide::Client);
        client.Connect("127.0.0.1", port);
        if (c.closesFirst) return 0;
        // Connected: the test looks the peer up now, then closes its end.
        const char byte = 1;
        if (::write(ready[1], &byte, 1) != 1) return 2;
        unsigned char ignored = 0;
        try {
          client.Read(&ignored, 1);
        } catch (const CSockException&) {
        }
        return 0;
      });
      ::_exit(result == 0 ? 0 : 1);
    }
    ::close(ready[1]);
    if (c.closesFirst) {
      int status = 0;
      ASSERT_EQ(::waitpid(child, &status, 0), child);
    } else {
      char byte = 0;
      ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    }
    ::close(ready[0]);
    ASSERT_EQ(listener.WaitReadable(5000), platform::SocketWait::Ready);
    std::unique_ptr<CSockStream> accepted = listener.Accept();
    platform::CLocalUser peer;
    const bool found = peer.FindPeer(accepted->handle.Get());
    accepted->Close();
    if (c.closesFirst) {
      EXPECT_FALSE(found) << "a socket no process holds any more tells no user";
      EXPECT_FALSE(peer.IsKnown());
      continue;
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(peer.Id(), std::to_string(UidOf(c.user)));
    EXPECT_EQ(WideToUtf8(peer.Describe()), std::string(c.user) + " (uid " + std::to_string(UidOf(c.user)) + ")");
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
}

// Runs work in a forked child that has a /dev/shm of its own (a fresh tmpfs in a mount namespace of
// its own), so that the service's folder can be made wrong without touching anybody's sections.
int WithPrivateShm(const std::function<int()>& work) {
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/dev/shm", "tmpfs", 0, "mode=1777") != 0) {
      ::_exit(200);
    }
    ::_exit(work() & 0xFF);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

constexpr char FOLDER[] = "/dev/shm/OstrinNT";
const WString SECTION_NAME = WTEXT("Global\\OstrinTest_Folder");

TEST(SectionFolderTest, OnlyTheServicesOwnFolderIsUsed) {
  struct Case {
    const char* name;
    std::function<void()> prepare;  // what is at /dev/shm/OstrinNT before the start
    const char* problem;            // what the start says is wrong; null: the folder is used
  };
  const std::vector<Case> cases = {
      {"missing: it is made", [] {}, nullptr},
      {"the service's own", [] { ::mkdir(FOLDER, 0755); }, nullptr},
      {"made by another user",
       [] {
         ::mkdir(FOLDER, 0755);
         ::chown(FOLDER, 65534, 65534);
       },
       "owned by uid 65534, not by this service's user (uid 0)"},
      {"writable by others",
       [] {
         ::mkdir(FOLDER, 0755);
         ::chmod(FOLDER, 0777);
       },
       "mode 0777, not 0755"},
      {"a link to a folder of the service's kind",
       [] {
         ::mkdir("/dev/shm/elsewhere", 0755);
         ::symlink("/dev/shm/elsewhere", FOLDER);
       },
       "not a folder"},
      {"a file", [] { ::close(::open(FOLDER, O_CREAT | O_WRONLY, 0644)); }, "not a folder"},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    // 0: as expected; 1: the start's verdict differs; 2: its problem text differs; 3: a section was made
    // where none may be, or none where one may; 4: the folder is not what it must be.
    const int result = WithPrivateShm([&c] {
      c.prepare();
      std::string problem;
      const bool usable = platform::PrepareSectionFolder(&problem);
      if (usable != (c.problem == nullptr)) return 1;
      if (c.problem != nullptr && problem != std::string(FOLDER) + ": " + c.problem) return 2;
      platform::CSharedSection section;
      platform::SectionFailure failure = platform::SectionFailure::None;
      if (section.Create(SECTION_NAME, 4096, &failure) != usable) return 3;
      struct stat folder = {};
      if (usable && (::lstat(FOLDER, &folder) != 0 || !S_ISDIR(folder.st_mode) || (folder.st_mode & 07777) != 0755)) {
        return 4;
      }
      return 0;
    });
    EXPECT_EQ(result, 0) << (c.problem != nullptr ? c.problem : "usable");
  }
}

TEST(SectionFolderTest, AClientMapsOnlyAFileTheFoldersOwnerMadeAndAloneMayWrite) {
  struct Case {
    const char* name;
    // Puts something at the section's place in the service's folder (made by the service before).
    std::function<bool(const std::string& path)> plant;
    bool opens;
    bool maps;
  };
  const auto fileOf = [](uid_t owner, mode_t mode) {
    return [owner, mode](const std::string& path) {
      const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY, mode);
      if (fd < 0) return false;
      const bool made = ::ftruncate(fd, 4096) == 0 && ::fchown(fd, owner, 0) == 0 && ::fchmod(fd, mode) == 0;
      ::close(fd);
      return made;
    };
  };
  const std::vector<Case> cases = {
      {"the service's section", nullptr, true, true},
      {"a file of the folder's owner that only it may write", fileOf(0, 0644), true, true},
      {"a file of another user", fileOf(65534, 0644), true, false},
      {"a file its group may write", fileOf(0, 0664), true, false},
      {"a file everyone may write", fileOf(0, 0646), true, false},
      {"a pipe", [](const std::string& path) { return ::mkfifo(path.c_str(), 0644) == 0; }, true, false},
      {"a link to the service's section",
       [](const std::string& path) { return ::symlink((std::string(FOLDER) + "/OstrinTest_Real").c_str(), path.c_str()) == 0; },
       false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // 0: as expected; 1: set-up failed; 2: the open went otherwise; 3: the mapping went otherwise.
    const int result = WithPrivateShm([&c] {
      platform::CSharedSection real;
      platform::CSharedSection planted;
      platform::SectionFailure failure = platform::SectionFailure::None;
      if (!real.Create(WTEXT("Global\\OstrinTest_Real"), 4096, &failure)) return 1;
      if (c.plant == nullptr) {
        if (!planted.Create(SECTION_NAME, 4096, &failure)) return 1;
      } else if (!c.plant(platform::SectionPath(SECTION_NAME))) {
        return 1;
      }
      platform::CSectionView view;
      if (view.Open(SECTION_NAME) != c.opens) return 2;
      if (c.opens && view.Map() != c.maps) return 3;
      return 0;
    });
    EXPECT_EQ(result, 0);
  }
}

}  // namespace
