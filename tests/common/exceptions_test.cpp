// The exception family: codes, texts and the captured system error.
#include "common/exceptions.h"

#include <gtest/gtest.h>

#include "common/text.h"
#include "platform/system_error.h"

namespace {

TEST(ExceptionsTest, RootReportsGenericError) {
  const CException e;
  EXPECT_EQ(e.Code(), 1);
  EXPECT_EQ(e.Message(), WTEXT("generic error"));
}

TEST(ExceptionsTest, SocketExceptionCaughtAsRootKeepsItsOwnCodeAndText) {
  try {
    throw CSockException(1002, WTEXT("read socket: connection closed by peer"));
  } catch (const CException& e) {
    EXPECT_EQ(e.Code(), 1002);
    EXPECT_EQ(e.Message(), WTEXT("read socket: connection closed by peer"));
  }
}

TEST(ExceptionsTest, SystemErrorIsCapturedAtConstructionAndAppended) {
  const uint32_t notFound = ostrin::platform::ErrorNotFound();
  ostrin::platform::SetLastSystemError(notFound);
  const CWinErrException e(3, WTEXT("Open volume error."));
  ostrin::platform::SetLastSystemError(0);  // later errors do not change what was captured
  EXPECT_EQ(e.Code(), 3);
  EXPECT_EQ(e.SystemError(), notFound);
  const WString systemText = ostrin::platform::SystemErrorText(notFound);
  ASSERT_FALSE(systemText.empty());
  // The text ends with its words (Windows words end in a line break of their own, which goes).
  EXPECT_NE(systemText.find_last_of(WTEXT("\r\n ")), systemText.size() - 1) << WideToUtf8(systemText);
  EXPECT_EQ(e.Message(), WTEXT("Open volume error. ") + systemText);
}

}  // namespace
