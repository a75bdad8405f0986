// Linux: who may list a drive of the real server. Clients are forked children that have become other
// local users (the test runs as root) and speak the wire protocol; the access rule of OstrinNT.ini
// decides, and the drive's section carries the same rule. A forged file where a section would be is
// never mapped.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/protocol.h"
#include "common/sock_stream.h"
#include "common/text.h"
#include "platform/shared_section.h"
#include "tests/service/server_process.h"
#include "tests/support/as_user.h"
#include "tests/support/image_file.h"
#include "tests/support/made_volume.h"

namespace {

using ostrin::test::CRawClient;
using ostrin::test::CServerProcess;
using ostrin::test::RunAsUser;
using ostrin::test::SServerOptions;

constexpr uint32_t OPEN = 3, CLOSE = 8, READ_DIR = 10, DRIVE_INFO = 11;
constexpr uint32_t OPEN_DONE = 4;
const std::u16string ACCESS_DENIED = u"access denied: this user may not read the drive";

// How a child's attempt to list a drive ended (its exit code).
enum EListing : int {
  LISTED = 10,      // opened, its image named and mapped
  DENIED = 20,      // the open, OstrinReadDir and DriveInfo each refused with 2009
  NOT_MAPPED = 30,  // named, but the section could not be mapped
  BROKEN = 40,      // anything else
};

// An error reply's code, its text read and checked to be the refusal's.
bool IsRefusal(CSockStream& stream) {
  if (stream.ReadU32() != WireCode(EReplyStatus::ErrorReply)) return false;
  const uint32_t code = stream.ReadU32();
  const WString text = stream.ReadString();
  return code == static_cast<uint32_t>(ERR_ACCESS_DENIED.code) && text == ostrin::test::NativeText(ACCESS_DENIED);
}

void SendCommand(CSockStream& stream, uint32_t command, uint32_t letter) {
  CWireBuffer message;
  message.PutU32(command);
  message.PutU32(letter);
  stream.Write(message);
}

// What a child does as its user: lists the drive over the wire. *sectionName (when given) receives
// the section that OstrinReadDir named.
int ListDrive(uint16_t port, char letter, std::u16string* sectionName = nullptr) {
  try {
    CSockStream stream(ESockSide::Client);
    stream.timeoutSeconds = 20;
    stream.Connect("127.0.0.1", port);
    CWireBuffer hello;
    hello.PutU32(WireCode(ECommand::Hello));
    hello.PutU32(PROTOCOL_MAGIC);
    hello.PutU32(PROTOCOL_VERSION);
    stream.Write(hello);
    if (stream.ReadU32() != WireCode(EReplyStatus::Ack)) return BROKEN;
    SendCommand(stream, OPEN, static_cast<uint32_t>(letter));
    const uint32_t reply = stream.ReadU32();
    if (reply == WireCode(EReplyStatus::ErrorReply)) {
      const uint32_t code = stream.ReadU32();
      if (code != static_cast<uint32_t>(ERR_ACCESS_DENIED.code) || stream.ReadString() != ostrin::test::NativeText(ACCESS_DENIED)) {
        return BROKEN;
      }
      // The other commands that read a drive are refused alike.
      SendCommand(stream, READ_DIR, static_cast<uint32_t>(letter));
      if (!IsRefusal(stream)) return BROKEN;
      SendCommand(stream, DRIVE_INFO, static_cast<uint32_t>(letter));
      return IsRefusal(stream) ? DENIED : BROKEN;
    }
    for (uint32_t message = 0; message != OPEN_DONE;) {
      message = stream.ReadU32();
      if (message == WireCode(EOpenMessage::OpenProgress)) {
        stream.ReadU32();
        stream.ReadU32();
      } else if (message == OPEN_DONE) {
        stream.ReadU32();
      } else {
        return BROKEN;
      }
    }
    SendCommand(stream, READ_DIR, static_cast<uint32_t>(letter));
    if (stream.ReadU32() != WireCode(EReplyStatus::Ack)) return BROKEN;
    const WString name = stream.ReadString();
    const uint64_t size = stream.ReadU64();
    if (sectionName != nullptr) *sectionName = std::u16string(name.begin(), name.end());
    ostrin::platform::CSectionView view;
    if (!view.Open(name) || !view.Map()) return NOT_MAPPED;
    return view.Size() >= size ? LISTED : BROKEN;
  } catch (const CException&) {
    return BROKEN;
  }
}

// Whether the user can open the section itself, without asking the service.
bool OpensSection(const std::string& user, const std::u16string& name) {
  return RunAsUser(user, [&name] {
           ostrin::platform::CSectionView view;
           return view.Open(ostrin::test::NativeText(name)) ? 1 : 0;
         }) == 1;
}

class ServerAccessTest : public CSocketLibraryTest {};

TEST_F(ServerAccessTest, TheRuleDecidesWhoListsADriveAndItsSectionCarriesIt) {
  struct Case {
    const char* name;
    const char* accessLine;  // null: none, the default
    const char* imageGroup;
    mode_t imageMode;
    std::vector<std::string> listers;  // users who may list the drive
    std::vector<std::string> refused;  // users who may not
    mode_t sectionMode;
    const char* sectionGroup;  // null: root's
  };
  const std::vector<Case> cases = {
      {"volume: its group may read it", nullptr, "nogroup", 0640, {"nobody"}, {"daemon"}, 0440, "nogroup"},
      {"volume: its owner alone may read it", "access = volume", "nogroup", 0600, {}, {"nobody", "daemon"}, 0400, nullptr},
      {"volume: everyone may read it", "access = Volume", "root", 0644, {"nobody", "daemon"}, {}, 0644, nullptr},
      {"group: its members", "access = group nogroup", "root", 0600, {"nobody"}, {"daemon"}, 0440, "nogroup"},
      {"everyone", "access = everyone", "root", 0600, {"nobody", "daemon"}, {}, 0644, nullptr},
  };
  const auto empty = ostrin::test::MadeVolume("empty");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ostrin::test::CImageCopy image(empty.image);
    ASSERT_EQ(::chown(image.Path().c_str(), 0, static_cast<gid_t>(ostrin::test::GidOfGroup(c.imageGroup))), 0);
    ASSERT_EQ(::chmod(image.Path().c_str(), c.imageMode), 0);
    SServerOptions options = SServerOptions().Volume('F', image.Path());
    if (c.accessLine != nullptr) options.Line(c.accessLine);
    CServerProcess server(options);
    server.Start();
    const uint16_t port = server.Port();

    // Refused before anything of the drive is looked at: nothing was built.
    for (const std::string& user : c.refused) {
      EXPECT_EQ(RunAsUser(user, [port] { return ListDrive(port, 'F'); }), DENIED) << user;
    }
    CRawClient root(port);
    root.Hello();
    root.SendCommand(DRIVE_INFO, 'F');
    EXPECT_TRUE(root.ExpectError(ERR_DRIVE_NOT_OPEN.code, u"OstrinReadDir: specified drive is not open"));

    // Root holds the drive open; its section carries the rule from its first byte on.
    ASSERT_EQ(root.Open('F').end, OPEN_DONE);
    std::u16string section;
    ASSERT_TRUE(root.ReadDir('F', &section, nullptr));
    struct stat status = {};
    ASSERT_EQ(::stat(ostrin::platform::SectionPath(ostrin::test::NativeText(section)).c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, c.sectionMode);
    EXPECT_EQ(status.st_uid, 0u);
    EXPECT_EQ(static_cast<long>(status.st_gid), c.sectionGroup != nullptr ? ostrin::test::GidOfGroup(c.sectionGroup) : 0);

    // An open of a file changed within the last second builds the drive anew: the section of the
    // drive's newest generation is the one to try.
    const auto newestSection = [&root] {
      std::u16string name;
      EXPECT_TRUE(root.ReadDir('F', &name, nullptr));
      return name;
    };
    for (const std::string& user : c.listers) {
      EXPECT_EQ(RunAsUser(user, [port] { return ListDrive(port, 'F'); }), LISTED) << user;
      EXPECT_TRUE(OpensSection(user, newestSection())) << user;
    }
    for (const std::string& user : c.refused) {
      EXPECT_EQ(RunAsUser(user, [port] { return ListDrive(port, 'F'); }), DENIED) << user;
      EXPECT_FALSE(OpensSection(user, newestSection())) << user << " opened the section itself";
      // One event per connection names the user and the letter; its three refusals write no other.
      const std::string event = "Access denied: " + user + " (uid " + std::to_string(ostrin::test::UidOf(user)) +
                                ") may not read drive F";
      EXPECT_EQ(server.CountTextEvents(event), 2u) << server.EventLogText();
    }
    EXPECT_EQ(server.CountTextEventsStartingWith("Error: access denied"), 0u) << server.EventLogText();
  }
}

TEST_F(ServerAccessTest, AForgedFileWhereASectionWouldBeIsNeverMapped) {
  constexpr int ROUNDS = 2000;
  const auto empty = ostrin::test::MadeVolume("empty");
  CServerProcess server(SServerOptions().Volume('F', empty.image).Line("access = everyone"));
  server.Start();
  CRawClient client(server.Port());
  client.Hello();
  ASSERT_EQ(client.Open('F').end, OPEN_DONE);
  std::u16string first;
  ASSERT_TRUE(client.ReadDir('F', &first, nullptr));
  std::vector<unsigned char> real;
  {
    ostrin::platform::CSectionView view;
    ASSERT_TRUE(view.Open(ostrin::test::NativeText(first)) && view.Map());
    real.assign(static_cast<const unsigned char*>(view.Data()), static_cast<const unsigned char*>(view.Data()) + view.Size());
  }

  // The forger, an unprivileged user, plants a file under the name of every generation to come, as
  // soon as it can see the one before; in the service's folder, and where sections used to be.
  int stop[2];
  ASSERT_EQ(::pipe(stop), 0);
  const pid_t forger = ::fork();
  ASSERT_GE(forger, 0);
  if (forger == 0) {
    ::close(stop[1]);
    const int planted = RunAsUser("nobody", [&] {
      const std::string folder = ostrin::platform::SectionPath(WTEXT("Global\\x"));
      const std::string folderPath = folder.substr(0, folder.rfind('/'));
      const std::vector<unsigned char> forgery(real.size(), 0x5A);
      int inFolder = 0;
      for (pollfd wait = {stop[0], POLLIN, 0}; ::poll(&wait, 1, 0) == 0;) {
        DIR* listing = ::opendir(folderPath.c_str());
        if (listing == nullptr) continue;
        std::vector<std::string> names;
        while (const dirent* entry = ::readdir(listing)) names.emplace_back(entry->d_name);
        ::closedir(listing);
        for (const std::string& name : names) {
          const size_t dash = name.rfind('-');
          if (name.rfind("OstrinNT_Drive_F-", 0) != 0 || dash == std::string::npos) continue;
          const unsigned long generation = std::strtoul(name.c_str() + dash + 1, nullptr, 10);
          for (unsigned long next = generation + 1; next <= generation + 2; ++next) {
            const std::string forged = name.substr(0, dash + 1) + std::to_string(next);
            for (const std::string& path : {folderPath + "/" + forged, "/dev/shm/" + forged}) {
              const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
              if (fd < 0) continue;
              if (path.rfind(folderPath + "/", 0) == 0) ++inFolder;
              if (::write(fd, forgery.data(), forgery.size()) < 0) ++inFolder;
              ::close(fd);
            }
          }
        }
      }
      return inFolder;
    });
    ::_exit(planted);
  }
  ::close(stop[0]);

  int forgeriesListed = 0;
  int failedOpens = 0;
  for (int round = 0; round < ROUNDS; ++round) {
    client.SendCommand(CLOSE, 'F');
    ASSERT_TRUE(client.ExpectAck());
    if (client.Open('F').end != OPEN_DONE) {
      ++failedOpens;
      continue;
    }
    std::u16string name;
    ASSERT_TRUE(client.ReadDir('F', &name, nullptr));
    ostrin::platform::CSectionView view;
    if (!view.Open(ostrin::test::NativeText(name)) || !view.Map()) {
      ++failedOpens;
      continue;
    }
    const auto* data = static_cast<const unsigned char*>(view.Data());
    if (std::vector<unsigned char>(data, data + view.Size()) != real) ++forgeriesListed;
  }
  ::close(stop[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(forger, &status, 0), forger);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "files the forger made in the service's folder";
  EXPECT_EQ(forgeriesListed, 0);
  EXPECT_EQ(failedOpens, 0) << "a squatted name failed an open";
  // What the forger left where sections used to be.
  if (DIR* shared = ::opendir("/dev/shm")) {
    while (const dirent* entry = ::readdir(shared)) {
      const std::string name = entry->d_name;
      if (name.rfind("OstrinNT_Drive_F-", 0) == 0) ::unlink(("/dev/shm/" + name).c_str());
    }
    ::closedir(shared);
  }
}

}  // namespace
