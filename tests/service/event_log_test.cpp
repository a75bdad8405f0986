// The event log: the record line written to the OSTRIN_EVENT_LOG file (on Linux and Windows alike), and
// the message table.
#include "platform/event_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "event_log_file.h"
#include "service/event_messages.h"

namespace {

using ostrin::platform::CEventSource;
using ostrin::platform::EventMessage;
using ostrin::platform::EventType;

TEST(EventLogTest, RecordLines) {
  const std::string log = MakeTestFolder() + "/events.log";
  SetTestVariable("OSTRIN_EVENT_LOG", log);
  const EventMessage messages[] = {{1, "The %1 service was installed."}, {2, "100%% done"}, {3, "Debug: %1"}};
  struct Case {
    EventType type;
    uint32_t id;
    const WCHAR* insertion;
    const char* record;
  };
  const Case cases[] = {
      {EventType::Information, 1, WTEXT("OstrinNT"), "information 1 The OstrinNT service was installed."},
      {EventType::Warning, 1, nullptr, "warning 1 The %1 service was installed."},  // no insertion string
      {EventType::Error, 2, nullptr, "error 2 100% done"},
      {EventType::Error, 3, WTEXT("%1 stays %1"), "error 3 Debug: %1 stays %1"},  // not expanded twice
      {EventType::Warning, 3, WTEXT("two\r\nlines\r\n"), "warning 3 Debug: two  lines"},  // one line per record
      {EventType::Warning, 77, WTEXT("not in the table"), "warning 77 not in the table"},
      {EventType::Information, 3, WTEXT("\x00e9t\x00e9"), "information 3 Debug: \xC3\xA9t\xC3\xA9"},
  };
  {
    CEventSource source;
    ASSERT_TRUE(source.Open(WTEXT("OstrinTest"), messages));
    for (const Case& c : cases) EXPECT_TRUE(source.Report(c.type, c.id, c.insertion)) << c.record;
  }
  UnsetTestVariable("OSTRIN_EVENT_LOG");
  std::vector<std::string> expected;
  for (const Case& c : cases) expected.push_back(c.record);
  EXPECT_EQ(EventRecords(log), expected);
}

TEST(EventLogTest, WithoutTheVariableOnlySyslogIsWritten) {
  UnsetTestVariable("OSTRIN_EVENT_LOG");
  CEventSource source;
  ASSERT_TRUE(source.Open(WTEXT("OstrinTest"), {}));
  EXPECT_TRUE(source.Report(EventType::Information, 1, WTEXT("text")));
}

// The ids and texts that the message file defines; Windows shows the same texts from the message table.
TEST(EventLogTest, MessageTable) {
  const EventMessage expected[] = {
      {EVMSG_INSTALLED, "The %1 service was installed."},
      {EVMSG_REMOVED, "The %1 service was removed."},
      {EVMSG_NOT_REMOVED, "The %1 service could not be removed."},
      {EVMSG_CTRL_HANDLER_NOT_INSTALLED, "The control handler could not be installed."},
      {EVMSG_FAILED_INIT, "The initialization process failed."},
      {EVMSG_STARTED, "The service was started."},
      {EVMSG_BAD_REQUEST, "The service received an unsupported request."},
      {EVMSG_DEBUG, "Debug: %1"},
      {EVMSG_TEXT, "%1"},
      {EVMSG_STOPPED, "The service was stopped."},
  };
  ASSERT_EQ(std::size(EVENT_MESSAGES), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(expected[i].id, 100 + i);
    EXPECT_EQ(EVENT_MESSAGES[i].id, expected[i].id);
    EXPECT_STREQ(EVENT_MESSAGES[i].text, expected[i].text);
  }
}

}  // namespace
