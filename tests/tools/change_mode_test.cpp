// The maker's change mode (ostrin-mkvol --change) on copies of made volumes: every kind of change lands
// on the volume as the listing tells, and appends the journal records Windows writes for it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/changed_volume.h"
#include "tests/support/run_program.h"
#include "tests/support/test_volume.h"

namespace ostrin::test {
namespace {

// Fields of a journal line (ostrin-volinfo --journal's format): 0 USN, 2 file, 3 parent, 4 reason, 6
// attributes, 8 name.
std::vector<std::string> Reasons(const std::vector<std::string>& lines) {
  std::vector<std::string> reasons;
  for (const std::string& line : lines) reasons.push_back(SplitTabs(line).at(4) + " " + SplitTabs(line).at(8));
  return reasons;
}

uint64_t RecordOf(const std::string& reference) { return std::stoull(reference.substr(20), nullptr, 16); }

TEST(ChangeModeTest, EveryChangeLandsAndIsJournaled) {
  struct Case {
    const char* changes;
    std::vector<std::string> reasons;  // "reason name" of every record appended
    const char* path;                  // listed afterwards (or nullptr)
    const char* gone;                  // no longer listed (or nullptr)
  };
  const Case cases[] = {
      {"file /docs/c.txt size=3\n", {"0x00000100 c.txt", "0x00000102 c.txt", "0x80000102 c.txt"}, "/docs/c.txt", nullptr},
      {"dir /e\n", {"0x00000100 e", "0x80000100 e"}, "/e", nullptr},
      {"delete /docs/new.txt\n", {"0x80000200 new.txt"}, nullptr, "/docs/new.txt"},
      {"delete /moved\n",  // children first; a name of a file that keeps another is a link change
       {"0x80000200 b-renamed.txt", "0x00010000 second-name.txt", "0x80010000 second-name.txt", "0x80000200 moved"},
       "/docs/linked.txt", "/moved/b-renamed.txt"},
      {"rename /docs/a.txt /docs/a2.txt\n", {"0x00001000 a.txt", "0x00002000 a2.txt", "0x80002000 a2.txt"}, "/docs/a2.txt", "/docs/a.txt"},
      {"rename /docs /moved/docs\n", {"0x00001000 docs", "0x00002000 docs", "0x80002000 docs"}, "/moved/docs/a.txt", "/docs"},
      {"link /docs/a.txt /a-link\n", {"0x00010000 a-link", "0x80010000 a-link"}, "/a-link", nullptr},
      {"write /docs/a.txt size=10\n", {"0x00000001 a.txt", "0x80000001 a.txt"}, "/docs/a.txt", nullptr},
      {"write /docs/a.txt size=10 at=1M\n", {"0x00000002 a.txt", "0x80000002 a.txt"}, "/docs/a.txt", nullptr},
      {"truncate /docs/a.txt size=1\n", {"0x00000004 a.txt", "0x80000004 a.txt"}, "/docs/a.txt", nullptr},
      {"touch /docs/a.txt\n", {"0x80008000 a.txt"}, "/docs/a.txt", nullptr},
      {"attrs /docs/a.txt readonly\n", {"0x80008000 a.txt"}, "/docs/a.txt", nullptr},
  };
  const STestVolume volume = MakeTestVolume("journal");
  // The journal's file hangs below $Extend, which the listing leaves out.
  for (const SExpectedEntry& e : volume.expected) EXPECT_EQ(e.path.find("UsnJrnl"), std::string::npos) << e.path;
  const SExpectedEntry& before = *FindExpected(volume.expected, "/docs/a.txt");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.changes);
    CChangedVolume copy(volume);
    const SVolumeChange change = copy.Change(c.changes);
    EXPECT_EQ(Reasons(change.journalRecords), c.reasons);
    if (c.path) {
      const SExpectedEntry* entry = FindExpected(change.expected, c.path);
      ASSERT_NE(entry, nullptr);
      // The records name the file's record and its parent's, as the listing has them.
      const std::vector<std::string> last = SplitTabs(change.journalRecords.back());
      const std::string path = c.path;
      if (last.at(8) == path.substr(path.rfind('/') + 1)) {
        EXPECT_EQ(RecordOf(last.at(2)), entry->record);
        EXPECT_EQ(RecordOf(last.at(3)), entry->parent);
      }
    }
    if (c.gone) {
      EXPECT_EQ(FindExpected(change.expected, c.gone), nullptr);
    }
  }

  CChangedVolume copy(volume);
  const SExpectedEntry a = *FindExpected(copy.Change("write /docs/a.txt size=10 at=1000\n").expected, "/docs/a.txt");
  EXPECT_EQ(a.size, 1010u);
  EXPECT_GT(a.written, before.written);
  const SVolumeChange change = copy.Change("touch /docs/linked.txt\n");
  const SExpectedEntry t = *FindExpected(copy.Change("truncate /docs/a.txt size=7\ntouch /docs/a.txt created=5 accessed=6\n").expected, "/docs/a.txt");
  EXPECT_EQ(t.size, 7u);
  EXPECT_EQ(t.created, 5u);
  EXPECT_EQ(t.accessed, 6u);
  EXPECT_EQ(FindExpected(copy.Change("attrs /docs/a.txt hidden,system\n").expected, "/docs/a.txt")->attributes & 0x27u, 0x06u);
  // A record freed by a delete is taken by the next file, with the next sequence number; the journal
  // goes on where the last change ended.
  const SVolumeChange reused = copy.Change("delete /docs/a.txt\nfile /docs/reborn.txt\n");
  ASSERT_EQ(reused.journalRecords.size(), 3u);
  const std::vector<std::string> deleted = SplitTabs(reused.journalRecords[0]), made = SplitTabs(reused.journalRecords[1]);
  EXPECT_EQ(RecordOf(deleted.at(2)), a.record);
  EXPECT_EQ(RecordOf(made.at(2)), a.record);
  EXPECT_EQ(std::stoul(made.at(2).substr(16, 4), nullptr, 16), std::stoul(deleted.at(2).substr(16, 4), nullptr, 16) + 1);
  EXPECT_EQ(FindExpected(reused.expected, "/docs/reborn.txt")->record, a.record);
  EXPECT_GT(std::stoull(deleted.at(0)), std::stoull(SplitTabs(change.journalRecords.back()).at(0)));
}

}  // namespace
}  // namespace ostrin::test
