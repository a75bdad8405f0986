// Linux: OstOpenDrive as other local users (forked children of the test, which runs as root) under the
// service's default access rule: those who may read the volume list it, the others get 2009.
#include <gtest/gtest.h>

#include <OstrinAPI.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/protocol.h"
#include "common/text.h"
#include "tests/service/server_process.h"
#include "tests/support/as_user.h"
#include "tests/support/image_file.h"
#include "tests/support/made_volume.h"

namespace {

using ostrin::test::CServerProcess;
using ostrin::test::SServerOptions;

// How a child's OstOpenDrive ended (its exit code).
enum EOpen : int { LISTED = 10, ACCESS_DENIED = 20, OTHER = 30 };

int OpenAndList(WCHAR letter) {
  if (OstConnect() != 1) return OTHER;
  const int32_t drive = OstOpenDrive(letter, nullptr, 0);
  int result = OTHER;
  if (drive == letter - 'A') {
    WIN32_FIND_DATAW data{};
    OST_FIND_HANDLE find = OstFindFirstFile(static_cast<uint32_t>(drive), WTEXT("\\*"), &data);
    // The empty volume's root lists nothing but it is there: no find error.
    if (find != nullptr || OstGetLastError(letter) == OSTRIN_ERROR_NONE) result = LISTED;
    if (find != nullptr) OstFindClose(find);
    OstCloseDrive(static_cast<uint32_t>(drive));
  } else if (drive == -1 && OstGetLastError(letter) == OSTRIN_ERROR_ACCESS_DENIED) {
    std::vector<WCHAR> text(static_cast<size_t>(OstGetLastErrorString(letter, nullptr, 0)));
    OstGetLastErrorString(letter, text.data(), static_cast<uint32_t>(text.size()));
    if (WString(text.data()) == WString(ERR_ACCESS_DENIED.text)) result = ACCESS_DENIED;
  }
  OstDisconnect();
  return result;
}

TEST(ApiAccessTest, UsersWhoMayNotReadTheVolumeGetAccessDenied) {
  const auto empty = ostrin::test::MadeVolume("empty");
  ostrin::test::CImageCopy image(empty.image);
  ASSERT_EQ(::chown(image.Path().c_str(), 0, static_cast<gid_t>(ostrin::test::GidOfGroup("nogroup"))), 0);
  ASSERT_EQ(::chmod(image.Path().c_str(), 0640), 0);
  CServerProcess server(SServerOptions().Port(CLIENT_PORT).Volume('G', image.Path()));
  server.Start();
  struct Case {
    const char* user;
    int expected;
  };
  const std::vector<Case> cases = {{"daemon", ACCESS_DENIED}, {"nobody", LISTED}, {"root", LISTED}};
  for (const Case& c : cases) {
    EXPECT_EQ(ostrin::test::RunAsUser(c.user, [] { return OpenAndList('G'); }), c.expected) << c.user;
  }
}

}  // namespace
