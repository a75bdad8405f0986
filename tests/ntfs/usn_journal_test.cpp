// The change journal reader on made volumes whose journals the maker wrote: the records come back
// exactly as written, a stale record hint is found again through $Extend's index, and damaged
// journals end each read with its reason.
#include "ntfs/usn_journal.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "ntfs/attributes.h"
#include "ntfs/file_record.h"
#include "ntfs/ntfs_volume.h"
#include "tests/support/changed_volume.h"
#include "tests/support/image_file.h"
#include "tests/support/run_program.h"
#include "tests/support/test_volume.h"

namespace ostrin::test {
namespace {

// Every kind of change the maker journals, on the journal volume.
constexpr char EVERY_CHANGE[] =
    "file /docs/fresh.txt size=10 stream=s:5\n"
    "dir /tree/a/b\n"
    "file /tree/a/b/leaf.txt\n"
    "rename /docs/a.txt /docs/a-renamed.txt\n"
    "rename /docs/linked.txt /tree/linked-moved.txt\n"
    "link /tree/linked-moved.txt /tree/a/third-name.txt\n"
    "write /docs/fresh.txt size=4K\n"
    "truncate /docs/fresh.txt size=1\n"
    "touch /docs/fresh.txt\n"
    "attrs /docs/fresh.txt readonly,archive\n"
    "delete /tree\n"
    "file /docs/back\\slash\n";

struct SRead {
  SUsnReadResult result;
  std::vector<std::string> lines;
};

SRead ReadJournal(CUsnJournal& journal, uint64_t from, uint64_t journalId) {
  SRead read;
  read.result = journal.Read(from, journalId, [&read](const SUsnRecord& record) {
    read.lines.push_back(FormatUsnRecord(record));
    return true;
  });
  return read;
}

TEST(UsnJournalTest, ReadsBackEveryRecordTheMakerWrote) {
  CChangedVolume copy(MakeTestVolume("journal"));
  uint64_t before = 0;
  {
    CNTFSVolume volume;
    volume.OpenPath(copy.Path());
    CUsnJournal journal(volume);
    const SUsnJournalState state = journal.Locate();
    ASSERT_EQ(state.state, EUsnJournal::Present) << state.problem;
    EXPECT_EQ(state.journalId, 132670000000000000u);
    EXPECT_EQ(state.lowestValidUsn, 8192u);
    EXPECT_EQ(state.maximumSize, 1u << 20);
    EXPECT_EQ(state.allocationDelta, 64u << 10);
    before = state.nextUsn;
  }
  const SVolumeChange change = copy.Change(EVERY_CHANGE);
  ASSERT_GT(change.journalRecords.size(), 30u);

  CNTFSVolume volume;
  volume.OpenPath(copy.Path());
  CUsnJournal journal(volume);
  const SUsnJournalState state = journal.Locate();
  ASSERT_EQ(state.state, EUsnJournal::Present) << state.problem;
  const SRead read = ReadJournal(journal, before, state.journalId);
  EXPECT_EQ(read.result.result, EUsnRead::Complete) << read.result.problem;
  EXPECT_EQ(read.result.usn, state.nextUsn);
  EXPECT_EQ(read.lines, change.journalRecords);
  EXPECT_EQ(read.lines.back().substr(read.lines.back().rfind("back")), "back\\\\slash\t-");

  // The tool prints the whole journal from the lowest valid USN, and a $J stream copied out of the
  // volume by ntfs-3g's ntfscat the same way.
  const SProgramResult all = RunProgram({OSTRIN_VOLINFO_PATH, "--journal", copy.Path()});
  ASSERT_EQ(all.exitCode, 0) << all.err;
  EXPECT_NE(all.out.find(read.lines.front() + "\n"), std::string::npos);
  EXPECT_EQ(all.out.substr(all.out.size() - read.lines.back().size() - 1), read.lines.back() + "\n");
  EXPECT_NE(all.err.find("next USN " + std::to_string(state.nextUsn)), std::string::npos) << all.err;
  const std::string stream = copy.Path() + ".J";
  const SProgramResult cat = RunProgram({"bash", "-c", "ntfscat -a 0x80 -n '$J' '" + copy.Path() + "' '/$Extend/$UsnJrnl' > '" + stream + "'"});
  ASSERT_EQ(cat.exitCode, 0) << cat.err;
  const SProgramResult copied = RunProgram({OSTRIN_VOLINFO_PATH, "--journal-stream", stream});
  EXPECT_EQ(copied.exitCode, 0) << copied.err;
  EXPECT_EQ(copied.out, all.out);
}

TEST(UsnJournalTest, FindsTheJournalThroughExtendsIndexWhenTheHintNoLongerHolds) {
  const STestVolume made = MakeTestVolume("journal");
  CNTFSVolume volume;
  volume.OpenPath(made.image);
  CUsnJournal journal(volume);
  const SUsnJournalState found = journal.Locate();
  ASSERT_EQ(found.state, EUsnJournal::Present) << found.problem;
  EXPECT_EQ(found.reference & RECORD_NUMBER_MASK, found.record);
  const uint64_t aFile = FindExpected(made.expected, "/docs/a.txt")->record;
  for (const uint64_t hint : {found.record, aFile, uint64_t{5}, uint64_t{11}, found.record + 1000000}) {
    const SUsnJournalState again = journal.Locate(hint);
    EXPECT_EQ(again.state, EUsnJournal::Present) << hint;
    EXPECT_EQ(again.record, found.record) << hint;
    EXPECT_EQ(again.nextUsn, found.nextUsn) << hint;
  }
  // A volume without one says so.
  CNTFSVolume plain;
  plain.OpenPath(MakeTestVolume("deleted").image);
  CUsnJournal none(plain);
  EXPECT_EQ(none.Locate().state, EUsnJournal::Absent);
  EXPECT_EQ(none.Read(0, 0, [](const SUsnRecord&) { return true; }).result, EUsnRead::NoJournal);
  const SProgramResult tool = RunProgram({OSTRIN_VOLINFO_PATH, "--journal", MakeTestVolume("deleted").image});
  EXPECT_EQ(tool.exitCode, 1);
  EXPECT_NE(tool.err.find("no change journal"), std::string::npos) << tool.err;
}

// Where things of the journal lie in the image: $J's bytes of a USN, and $Max's value length field.
struct SJournalPlaces {
  uint64_t journalId = 0, lowestValidUsn = 0, nextUsn = 0;
  std::vector<uint64_t> recordUsns;  // USNs of every record
  std::vector<uint64_t> recordEnds;  // and where each ends
  uint64_t maxValueLengthOffset = 0;
  std::vector<std::pair<uint64_t, uint64_t>> runs;  // $J: first VCN byte offset, image offset (or ~0 for holes)
  uint64_t runBytes = 0;

  uint64_t ImageOffset(uint64_t usn) const {
    for (const auto& [start, image] : runs) {
      if (usn >= start && usn < start + runBytes && image != ~uint64_t{0}) return image + (usn - start);
    }
    throw std::runtime_error("USN " + std::to_string(usn) + " is not stored");
  }
};

SJournalPlaces FindPlaces(const std::string& image) {
  SJournalPlaces places;
  CNTFSVolume volume;
  volume.OpenPath(image);
  CUsnJournal journal(volume);
  const SUsnJournalState state = journal.Locate();
  if (state.state != EUsnJournal::Present) throw std::runtime_error("no journal: " + state.problem);
  places.journalId = state.journalId;
  places.lowestValidUsn = state.lowestValidUsn;
  places.nextUsn = state.nextUsn;
  journal.Read(state.lowestValidUsn, state.journalId, [&](const SUsnRecord& r) {
    places.recordUsns.push_back(r.usn);
    places.recordEnds.push_back(r.usn + (0x3C + 2 * r.name.size() + 7) / 8 * 8);
    return true;
  });
  CFileRecord record(&volume);
  if (!record.LoadRecord(state.record) || !record.BuildAttributeLists()) throw std::runtime_error("record");
  const uint32_t cluster = volume.ClusterSize();
  places.runBytes = cluster;
  for (CAttrBase* attribute : record.AttributesOf(ATTR_TYPE_DATA)) {
    const uint64_t offset = attribute->Header() - record.Buffer();
    if (attribute->NameLength() == 4) places.maxValueLengthOffset = MftRecordOffset(image, state.record) + offset + 0x10;
    if (const auto* body = dynamic_cast<const CAttrNonResident*>(attribute)) {
      for (const tagDataRun_Entry* run : body->Runs()) {
        for (uint64_t c = 0; c < run->clusters; ++c) {
          places.runs.emplace_back((run->startVcn + c) * cluster,
                                   run->lcn == SPARSE_RUN_LCN ? ~uint64_t{0} : (run->lcn + c) * cluster);
        }
      }
    }
  }
  return places;
}

TEST(UsnJournalTest, DamagedJournalsEndTheReadWithTheirReason) {
  // Enough records to fill the first block and go on in the next: the last of the first block is
  // followed by the zeros that end it.
  CChangedVolume source(MakeTestVolume("journal"));
  std::string many;
  for (int i = 0; i < 30; ++i) many += "file /many/file" + std::to_string(i) + ".txt\n";
  source.Change(many);
  const SJournalPlaces places = FindPlaces(source.Path());
  ASSERT_GT(places.nextUsn, places.lowestValidUsn + 4096);
  const uint64_t secondBlock = places.lowestValidUsn + 4096;
  uint64_t lastInFirst = 0, lastEnd = 0;
  for (size_t i = 0; i < places.recordUsns.size(); ++i) {
    if (places.recordUsns[i] < secondBlock) {
      lastInFirst = places.recordUsns[i];
      lastEnd = places.recordEnds[i];
    }
  }
  ASSERT_LT(lastEnd + 16, secondBlock);  // room for zeros, then garbage
  const uint64_t first = places.recordUsns.front();

  struct Case {
    const char* what;
    uint64_t usn;        // where the bytes are patched
    uint64_t at;         // offset in the record
    size_t width;
    uint64_t value;
    EUsnRead result;
    uint64_t badUsn;     // the USN the result names
    const char* problem;
  };
  const Case cases[] = {
      {"a record length that crosses the block", lastInFirst, 0, 4, secondBlock - lastInFirst + 8, EUsnRead::BadBytes,
       lastInFirst, "beyond"},
      {"a name offset past the record", first, 0x3A, 2, 0x200, EUsnRead::BadBytes, first, "outside the record"},
      {"a wrong major version", first, 0x04, 2, 5, EUsnRead::BadBytes, first, "major version 5"},
      {"a record length of 0 before a record", first, 0, 4, 0, EUsnRead::BadBytes, first, "after the zeros"},
      {"garbage after the block's zeros", lastEnd, 8, 1, 0x41, EUsnRead::BadBytes, lastEnd, "after the zeros"},
      {"a record at the wrong USN", first, 0x18, 8, first + 8, EUsnRead::BadBytes, first, "says it is at USN"},
      {"an odd name length", first, 0x38, 2, 7, EUsnRead::BadBytes, first, "odd"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CImageCopy copy(source.Path());
    copy.WriteLE(places.ImageOffset(c.usn) + c.at, c.width, c.value);
    CNTFSVolume volume;
    volume.OpenPath(copy.Path());
    CUsnJournal journal(volume);
    ASSERT_EQ(journal.Locate().state, EUsnJournal::Present);
    const SRead read = ReadJournal(journal, places.lowestValidUsn, places.journalId);
    EXPECT_EQ(read.result.result, c.result);
    if (c.badUsn != 0) {
      EXPECT_EQ(read.result.usn, c.badUsn);
    }
    EXPECT_NE(read.result.problem.find(c.problem), std::string::npos) << read.result.problem;
    EXPECT_NE(read.result.problem.find("bad bytes at USN"), std::string::npos) << read.result.problem;
  }

  // Reads that cannot be trusted for what they ask.
  CNTFSVolume volume;
  volume.OpenPath(source.Path());
  CUsnJournal journal(volume);
  ASSERT_EQ(journal.Locate().state, EUsnJournal::Present);
  EXPECT_EQ(ReadJournal(journal, places.lowestValidUsn, places.journalId + 1).result.result, EUsnRead::JournalChanged);
  EXPECT_EQ(ReadJournal(journal, places.lowestValidUsn - 8, places.journalId).result.result, EUsnRead::Wrapped);
  EXPECT_EQ(ReadJournal(journal, places.nextUsn + 8, places.journalId).result.result, EUsnRead::PastEnd);
  const SRead atEnd = ReadJournal(journal, places.nextUsn, places.journalId);
  EXPECT_EQ(atEnd.result.result, EUsnRead::Complete);
  EXPECT_TRUE(atEnd.lines.empty());
  EXPECT_EQ(ReadJournal(journal, secondBlock, places.journalId).result.result, EUsnRead::Complete);

  // $Max of the wrong size: the journal is damaged, and a read says so.
  CImageCopy copy(source.Path());
  copy.WriteLE(places.maxValueLengthOffset, 4, 24);
  CNTFSVolume damaged;
  damaged.OpenPath(copy.Path());
  CUsnJournal damagedJournal(damaged);
  const SUsnJournalState state = damagedJournal.Locate();
  EXPECT_EQ(state.state, EUsnJournal::Damaged);
  EXPECT_NE(state.problem.find("$Max holds 24 bytes"), std::string::npos) << state.problem;
  EXPECT_EQ(ReadJournal(damagedJournal, places.lowestValidUsn, places.journalId).result.result, EUsnRead::BadBytes);
}

TEST(UsnJournalTest, ParsesVersionsThreeAndFourAndControlBuffers) {
  // A version 3 record and a version 4 record back to back, as FSCTL_READ_USN_JOURNAL returns them.
  std::vector<uint8_t> bytes(0x50 + 0x60, 0);
  uint8_t* v3 = bytes.data();
  WriteLE<uint32_t>(v3, 0x50);
  WriteLE<uint16_t>(v3 + 4, 3);
  WriteLE<uint64_t>(v3 + 0x08, 0x0002000000000041);
  WriteLE<uint64_t>(v3 + 0x10, 0x1234);  // the file ID's high half
  WriteLE<uint64_t>(v3 + 0x18, 5);       // the parent's low half
  WriteLE<int64_t>(v3 + 0x28, 4096);
  WriteLE<int64_t>(v3 + 0x30, 777);
  WriteLE<uint32_t>(v3 + 0x38, USN_REASON_FILE_CREATE);
  WriteLE<uint32_t>(v3 + 0x44, 0x20);
  WriteLE<uint16_t>(v3 + 0x48, 2);
  WriteLE<uint16_t>(v3 + 0x4A, 0x4C);
  WriteLE<uint16_t>(v3 + 0x4C, 'x');
  uint8_t* v4 = bytes.data() + 0x50;
  WriteLE<uint32_t>(v4, 0x60);
  WriteLE<uint16_t>(v4 + 4, 4);
  WriteLE<int64_t>(v4 + 0x28, 8192);
  WriteLE<uint32_t>(v4 + 0x30, USN_REASON_DATA_OVERWRITE);
  WriteLE<uint32_t>(v4 + 0x38, 3);
  WriteLE<uint16_t>(v4 + 0x3C, 2);
  WriteLE<uint16_t>(v4 + 0x3E, 16);
  WriteLE<int64_t>(v4 + 0x40, 0);
  WriteLE<int64_t>(v4 + 0x48, 4096);
  WriteLE<int64_t>(v4 + 0x50, 65536);
  WriteLE<int64_t>(v4 + 0x58, 512);
  std::vector<std::string> lines;
  const auto collect = [&lines](const SUsnRecord& r) {
    lines.push_back(FormatUsnRecord(r));
    return true;
  };
  const SUsnReadResult result = ReadUsnBuffer(bytes.data(), bytes.size(), 4096, collect);
  EXPECT_EQ(result.result, EUsnRead::Complete) << result.problem;
  EXPECT_EQ(result.usn, 8193u);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "4096\t3\t00000000000012340002000000000041\t00000000000000000000000000000005\t0x00000100\t"
                       "0x00000000\t0x00000020\t777\tx\t-",
                       "8192\t4\t00000000000000000000000000000000\t00000000000000000000000000000000\t0x00000001\t"
                       "0x00000000\t-\t-\t-\trem=3;0+4096,65536+512"}));
  // Records out of order, extents beyond the record, a buffer cut inside a record.
  lines.clear();
  EXPECT_EQ(ReadUsnBuffer(bytes.data(), bytes.size(), 8192, collect).result, EUsnRead::BadBytes);
  WriteLE<uint16_t>(v4 + 0x3C, 3);
  EXPECT_EQ(ReadUsnBuffer(bytes.data() + 0x50, 0x60, 0, collect).problem, "bad bytes at USN 0: 3 extents beyond the record");
  EXPECT_EQ(ReadUsnBuffer(bytes.data(), 0x48, 0, collect).result, EUsnRead::BadBytes);
}

}  // namespace
}  // namespace ostrin::test
