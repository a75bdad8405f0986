// Updates of a drive's image from the change journal, against full scans of the same volume: random
// sequences of the maker's changes, each followed by an update that must write the very image a scan
// writes; and every reason the journal cannot be trusted, each leading to a scan.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/text.h"
#include "index/drive_index.h"
#include "index/image_walk.h"
#include "platform/shared_section.h"
#include "tests/service/event_log_file.h"
#include "tests/support/changed_volume.h"
#include "tests/support/listing_compare.h"
#include "tests/support/made_volume.h"
#include "tests/support/record_patch.h"

namespace {

constexpr WCHAR LETTER = 'J';

const ScanProgress& Quiet() {
  static const ScanProgress progress([](int32_t) { return true; });
  return progress;
}

std::vector<uint8_t> ImageBytes(const CDriveIndex& drive) {
  ostrin::platform::CSectionView view;
  if (!view.Open(drive.SectionName()) || !view.Map()) return {};
  const auto* data = static_cast<const uint8_t*>(view.Data());
  return std::vector<uint8_t>(data, data + drive.ImageSize());
}

ostrin::test::CListedEntries Listing(const std::vector<uint8_t>& image) {
  ostrin::test::CListedEntries entries;
  std::string error;
  EXPECT_TRUE(WalkImage(image.data(), image.size(), [&](const CImageEntry& entry) {
    std::string path;
    for (const WString& part : entry.path) path += "/" + WideToUtf8(part);
    entries.emplace(path, entry);
  }, &error)) << error;
  return entries;
}

// The first path whose entry differs between two listings, for a failure's message.
std::string FirstDifference(const ostrin::test::CListedEntries& updated, const ostrin::test::CListedEntries& scanned) {
  for (const auto& [path, entry] : scanned) {
    const auto found = updated.find(path);
    if (found == updated.end()) return "missing after the update: " + path;
    const CImageEntry& u = found->second;
    if (u.isDirectory != entry.isDirectory || u.fileSize != entry.fileSize || u.allocatedSize != entry.allocatedSize ||
        u.attributes != entry.attributes || u.lastWriteTime != entry.lastWriteTime ||
        u.creationTime != entry.creationTime || u.lastAccessTime != entry.lastAccessTime) {
      return "fields differ: " + path;
    }
  }
  for (const auto& [path, entry] : updated) {
    if (scanned.count(path) == 0) return "only after the update: " + path;
  }
  return "the same entries in another order";
}

// Random changes that the maker can carry out, drawn from a model of the volume's names.
class CChangeMaker {
 public:
  CChangeMaker(uint32_t seed, const std::vector<ostrin::test::SExpectedEntry>& listing) : m_random(seed) {
    m_directories.insert("");
    for (const auto& entry : listing) {
      if (entry.path.rfind("/$", 0) == 0) continue;
      (entry.isDirectory ? m_directories : m_files).insert(entry.path);
    }
  }

  std::string Sequence(int changes) {
    std::string lines;
    for (int i = 0; i < changes; ++i) lines += Next() + "\n";
    return lines;
  }

 private:
  std::string Next() {
    const std::string name = "n" + std::to_string(m_names++);
    switch (Draw(12)) {
      case 0:
        return Add(m_files, Pick(m_directories) + "/" + name + ".txt", "file ", " size=" + std::to_string(Draw(5000)));
      case 1:
        return Add(m_directories, Pick(m_directories) + "/" + name, "dir ", "");
      case 2:
        if (m_files.size() > 10) {
          const std::string file = Pick(m_files);
          m_files.erase(file);
          return "delete " + file;
        }
        break;
      case 3:
        if (const std::string tree = SmallTree(); !tree.empty()) {
          Remove(tree);
          return "delete " + tree;
        }
        break;
      case 4: {  // renamed in its directory, or moved to another
        const std::string file = Pick(m_files);
        const std::string target = (Draw(2) == 0 ? Parent(file) : Pick(m_directories)) + "/" + name + ".txt";
        m_files.erase(file);
        m_files.insert(target);
        return "rename " + file + " " + target;
      }
      case 5:
        if (const std::string tree = SmallTree(); !tree.empty()) {
          std::string target = Pick(m_directories);
          if (target == tree || target.rfind(tree + "/", 0) == 0) target = "";
          target += "/" + name;
          Move(tree, target);
          return "rename " + tree + " " + target;
        }
        break;
      case 6: {  // a hard link in the file's own directory, or in another
        const std::string file = Pick(m_files);
        return Add(m_files, (Draw(2) == 0 ? Parent(file) : Pick(m_directories)) + "/" + name + ".lnk", "link " + file + " ",
                   "");
      }
      case 7:
        return "write " + Pick(m_files) + " size=" + std::to_string(Draw(20000));
      case 8:
        return "truncate " + Pick(m_files) + " size=" + std::to_string(Draw(3000));
      case 9:
        return "touch " + Pick(m_files);
      case 10:
        return "attrs " + Pick(m_files) + (Draw(2) == 0 ? " hidden,readonly" : " none");
      default:  // a name deleted and another made at once: the record is used again
        if (m_files.size() > 10) {
          const std::string file = Pick(m_files);
          m_files.erase(file);
          const std::string made = Parent(file) + "/" + name + ".new";
          m_files.insert(made);
          return "delete " + file + "\nfile " + made + " size=1";
        }
        break;
    }
    return "touch " + Pick(m_files);
  }

  uint32_t Draw(uint32_t bound) { return std::uniform_int_distribution<uint32_t>(0, bound - 1)(m_random); }
  std::string Pick(const std::set<std::string>& names) {
    auto it = names.begin();
    std::advance(it, Draw(static_cast<uint32_t>(names.size())));
    return *it;
  }
  static std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/')); }
  std::string Add(std::set<std::string>& names, const std::string& path, const std::string& verb, const std::string& rest) {
    names.insert(path);
    return verb + path + rest;
  }
  // A directory with few names below it (not the bulk of the volume), or "".
  std::string SmallTree() {
    for (int tries = 0; tries < 8; ++tries) {
      const std::string tree = Pick(m_directories);
      if (tree.empty() || Below(tree).size() > 12) continue;
      return tree;
    }
    return "";
  }
  std::vector<std::string> Below(const std::string& tree) const {
    std::vector<std::string> below;
    for (const auto* names : {&m_files, &m_directories}) {
      for (auto it = names->lower_bound(tree + "/"); it != names->end() && it->rfind(tree + "/", 0) == 0; ++it) {
        below.push_back(*it);
      }
    }
    return below;
  }
  void Remove(const std::string& tree) {
    for (const std::string& path : Below(tree)) {
      m_files.erase(path);
      m_directories.erase(path);
    }
    m_directories.erase(tree);
  }
  void Move(const std::string& tree, const std::string& target) {
    std::vector<std::pair<std::string, bool>> moved;
    for (const std::string& path : Below(tree)) moved.emplace_back(target + path.substr(tree.size()), m_files.count(path) != 0);
    Remove(tree);
    m_directories.insert(target);
    for (const auto& [path, isFile] : moved) (isFile ? m_files : m_directories).insert(path);
  }

  std::mt19937 m_random;
  std::set<std::string> m_files;
  std::set<std::string> m_directories;  // "" is the root
  int m_names = 0;
};

class JournalUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_previous = std::filesystem::current_path();
    m_folder = MakeTestFolder();
    std::filesystem::current_path(m_folder);
  }
  void TearDown() override {
    std::filesystem::current_path(m_previous);
    std::filesystem::remove_all(m_folder);
  }
  static void MapVolume(const std::string& image) { std::ofstream("OstrinNT.ini") << "volume.J = " << image << "\n"; }

  std::filesystem::path m_previous;
  std::string m_folder;
};

// Random sequences of changes (files and directories made, deleted, renamed, moved and linked within
// a directory and across two, trees moved and deleted, data written and cut, times and attributes
// set, records used again): after each, the update from the journal writes exactly the image that a
// scan of the changed volume writes, and that image lists what the maker says the volume holds.
TEST_F(JournalUpdateTest, UpdatesWriteTheImageAScanWrites) {
  constexpr int SEQUENCES = 400;
  constexpr int MOST_CHANGES = 50;
  // Some long runs of changes make the ntfs-3g library leak a few hundred bytes inside the maker, which
  // a maker built with the leak checker would report as its failure; the maker is a test tool.
  setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  ostrin::test::CChangedVolume volume(ostrin::test::MadeVolume("journal-updates"));
  MapVolume(volume.Path());
  CDriveIndex current;
  ASSERT_TRUE(current.Build(LETTER, Quiet()));
  CChangeMaker changes(20261211, volume.Expected());
  std::mt19937 lengths(5);
  int updated = 0;
  for (int sequence = 0; sequence < SEQUENCES; ++sequence) {
    const int count = std::uniform_int_distribution<int>(1, MOST_CHANGES)(lengths);
    const std::string lines = changes.Sequence(count);
    SCOPED_TRACE("sequence " + std::to_string(sequence) + ":\n" + lines);
    const bool listed = sequence % 20 == 0;  // the maker's listing, now and then
    try {
      volume.Change(lines, listed);
    } catch (const std::exception& e) {
      FAIL() << e.what();
    }
    CDriveIndex next;
    std::string reason;
    const EJournalUpdate update = next.UpdateFromJournal(LETTER, current.Base(), Quiet(), &reason);
    ASSERT_EQ(update, EJournalUpdate::Updated) << reason;
    ++updated;
    CDriveIndex scanned;
    ASSERT_TRUE(scanned.Build(LETTER, Quiet()));
    const std::vector<uint8_t> image = ImageBytes(next);
    const std::vector<uint8_t> scannedImage = ImageBytes(scanned);
    EXPECT_EQ(next.EntryCount(), scanned.EntryCount());
    EXPECT_EQ(next.Kept().EntryCount(), next.EntryCount());
    if (image != scannedImage) {
      ADD_FAILURE() << FirstDifference(Listing(image), Listing(scannedImage));
      return;
    }
    if (listed) ostrin::test::CompareWithMaker(Listing(image), volume.Expected());
    current.TakeGeneration(next);
  }
  EXPECT_EQ(updated, SEQUENCES);
}

// Each reason not to trust the journal ends the update with that reason, publishing nothing; a scan
// then takes the volume as it is.
TEST_F(JournalUpdateTest, AJournalThatCannotBeTrustedMeansAScan) {
  struct Case {
    const char* what;
    const char* manifest;
    const char* change;  // made before the update ("" for none)
    void (*forge)(CImageBase& base);
    const char* reason;  // the start of the reason
  };
  const std::vector<Case> cases = {
      {"no journal", "links-and-names", "file /a/x.txt size=1", nullptr, "the volume keeps no journal"},
      {"another journal", "journal", "file /docs/x.txt size=1", [](CImageBase& b) { b.stamp.journalId ^= 1; },
       "the journal ID changed"},
      {"records overwritten since", "journal", "file /docs/x.txt size=1", [](CImageBase& b) { b.stamp.nextUsn = 0; },
       "the journal: start below the lowest valid USN"},
      {"a stored USN past the next", "journal", "file /docs/x.txt size=1",
       [](CImageBase& b) { b.stamp.nextUsn += 1 << 20; }, "the stored USN lies past"},
      {"bad bytes at the stored USN", "journal", "file /docs/x.txt size=1", [](CImageBase& b) { b.stamp.nextUsn += 8; },
       "the journal: bad bytes"},
      {"more records changed than a tenth", "journal", "file /docs/1 size=1\nfile /docs/2 size=1\nfile /docs/3 size=1",
       nullptr, "more records changed than 10 %"},
      {"a device changed while its journal did not move", "journal", "", nullptr, "the volume changed while"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ostrin::test::CChangedVolume volume(ostrin::test::MadeVolume(c.manifest));
    MapVolume(volume.Path());
    CDriveIndex current;
    ASSERT_TRUE(current.Build(LETTER, Quiet()));
    if (*c.change != '\0') volume.Change(c.change);
    CImageBase base = current.Base();
    if (c.forge != nullptr) c.forge(base);
    CDriveIndex next;
    std::string reason;
    EXPECT_EQ(next.UpdateFromJournal(LETTER, base, Quiet(), &reason), EJournalUpdate::FullScan);
    EXPECT_EQ(reason.rfind(c.reason, 0), 0u) << reason;
    EXPECT_FALSE(next.IsOpen());
    ASSERT_TRUE(next.Build(LETTER, Quiet()));
    ostrin::test::CompareWithMaker(Listing(ImageBytes(next)), volume.Expected());
  }

  // A record the journal names that is damaged now: the scan skips it and says so.
  {
    ostrin::test::CChangedVolume volume(ostrin::test::MadeVolume("journal"));
    MapVolume(volume.Path());
    CDriveIndex current;
    ASSERT_TRUE(current.Build(LETTER, Quiet()));
    volume.Change("file /docs/torn.txt size=1");
    uint64_t record = 0;
    for (const auto& entry : volume.Expected()) {
      if (entry.path == "/docs/torn.txt") record = entry.record;
    }
    ASSERT_NE(record, 0u);
    ostrin::test::PatchRecord(volume.Image(), record, 0, {'B', 'A', 'A', 'D'});
    CDriveIndex next;
    std::string reason;
    EXPECT_EQ(next.UpdateFromJournal(LETTER, current.Base(), Quiet(), &reason), EJournalUpdate::FullScan);
    EXPECT_EQ(reason, "record " + std::to_string(record) + " is damaged (not a file record)");
  }

  // A journal that can no longer be read where the update starts: the device now ends before the
  // journal's clusters (from 10 MiB on), though the table still lies on it.
  {
    ostrin::test::CChangedVolume volume(ostrin::test::MadeVolume("journal"));
    MapVolume(volume.Path());
    CDriveIndex current;
    ASSERT_TRUE(current.Build(LETTER, Quiet()));
    volume.Change("file /docs/x.txt size=1");
    std::filesystem::resize_file(volume.Path(), 10 << 20);
    CDriveIndex next;
    std::string reason;
    EXPECT_EQ(next.UpdateFromJournal(LETTER, current.Base(), Quiet(), &reason), EJournalUpdate::FullScan);
    EXPECT_EQ(reason.rfind("the journal: read failure", 0), 0u) << reason;
    EXPECT_FALSE(next.IsOpen());
  }

  // Times made with another offset from UTC: every entry's would differ.
  ostrin::test::CChangedVolume volume(ostrin::test::MadeVolume("journal"));
  MapVolume(volume.Path());
  CDriveIndex current;
  ASSERT_TRUE(current.Build(LETTER, Quiet()));
  volume.Change("file /docs/x.txt size=1");
  const char* zone = std::getenv("TZ");
  const std::string before = zone != nullptr ? zone : "";
  setenv("TZ", "UTC-2", 1);
  tzset();
  CDriveIndex next;
  std::string reason;
  EXPECT_EQ(next.UpdateFromJournal(LETTER, current.Base(), Quiet(), &reason), EJournalUpdate::FullScan);
  EXPECT_EQ(reason, "the local time's offset from UTC changed");
  if (zone != nullptr) {
    setenv("TZ", before.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace
