// An update from the change journal over a volume changed elsewhere: the image of one made volume,
// then the bytes of the same volume made with journaled changes after, as if another system had
// written them. Runs wherever the made volumes are (under Wine too, where the journal's records come
// from the volume's own $UsnJrnl, as the controls are not supported there).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/text.h"
#include "index/drive_index.h"
#include "index/image_walk.h"
#include "platform/shared_section.h"
#include "tests/service/event_log_file.h"
#include "tests/support/image_file.h"
#include "tests/support/listing_compare.h"
#include "tests/support/made_volume.h"

namespace {

std::vector<uint8_t> ImageBytes(const CDriveIndex& drive) {
  ostrin::platform::CSectionView view;
  if (!view.Open(drive.SectionName()) || !view.Map()) return {};
  const auto* data = static_cast<const uint8_t*>(view.Data());
  return std::vector<uint8_t>(data, data + drive.ImageSize());
}

TEST(JournalReplayTest, AnUpdateOverAVolumeChangedElsewhereWritesTheImageAScanWrites) {
  const std::filesystem::path previous = std::filesystem::current_path();
  const std::string folder = MakeTestFolder();
  std::filesystem::current_path(folder);
  {
    const ScanProgress quiet([](int32_t) { return true; });
    ostrin::test::CImageCopy copy(ostrin::test::MadeVolumeImage("journal-updates"));
    std::ofstream("OstrinNT.ini") << "volume.J = " << copy.Path() << "\n";
    CDriveIndex current;
    ASSERT_TRUE(current.Build('J', quiet));
    current.Volume().Reset();  // the file is written next; the update opens it again
    const ostrin::test::STestVolume after = ostrin::test::MadeVolume("journal-updates-after");
    std::ifstream changed(after.image, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    for (uint64_t offset = 0; changed.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || changed.gcount() > 0;
         offset += static_cast<uint64_t>(changed.gcount())) {
      copy.Write(offset, chunk.data(), static_cast<size_t>(changed.gcount()));
    }
    ASSERT_EQ(copy.Size(), std::filesystem::file_size(after.image));

    CDriveIndex next;
    std::string reason;
    ASSERT_EQ(next.UpdateFromJournal('J', current.Base(), quiet, &reason), EJournalUpdate::Updated) << reason;
    CDriveIndex scanned;
    ASSERT_TRUE(scanned.Build('J', quiet));
    const std::vector<uint8_t> image = ImageBytes(next);
    EXPECT_TRUE(image == ImageBytes(scanned)) << "the update writes the image a scan writes";
    ostrin::test::CListedEntries listed;
    std::string error;
    EXPECT_TRUE(WalkImage(image.data(), image.size(), [&](const CImageEntry& entry) {
      std::string path;
      for (const WString& part : entry.path) path += "/" + WideToUtf8(part);
      listed.emplace(path, entry);
    }, &error)) << error;
    ostrin::test::CompareWithMaker(listed, after.expected);
  }
  std::filesystem::current_path(previous);
  std::filesystem::remove_all(folder);
}

}  // namespace
