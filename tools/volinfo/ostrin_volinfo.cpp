// ostrin-volinfo: opens a volume with the volume reader and prints its geometry, NTFS version and MFT,
// or the records of its change journal (or of a $J stream copied out of a volume).
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <string>

#include "common/configuration.h"
#include "common/exceptions.h"
#include "common/text.h"
#include "ntfs/attributes.h"
#include "ntfs/ntfs_volume.h"
#include "ntfs/usn_journal.h"
#include "tools/volume_argument.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: ostrin-volinfo VOLUME\n"
               "       ostrin-volinfo --journal VOLUME\n"
               "       ostrin-volinfo --journal-stream FILE\n"
               "  VOLUME is a drive letter (\"C\" or \"C:\", mapped by volume.C in OstrinNT.ini on Linux)\n"
               "  or the path of an NTFS device or image file; FILE is a $J stream copied out of a volume.\n"
               "  --journal and --journal-stream print every journal record, one line each, and a summary\n"
               "  on standard error.\n");
  return 2;
}

void PrintVolume(const std::string& name, const CNTFSVolume& volume) {
  const auto* mftData = dynamic_cast<const CAttrNonResident*>(volume.MftData());
  uint64_t runs = 0;
  int64_t firstLcn = -1;
  if (mftData != nullptr) {
    for (const tagDataRun_Entry* run : mftData->Runs()) {
      if (runs++ == 0) firstLcn = run->lcn;
    }
  }
  std::printf("Device: %s\n", name.c_str());
  std::printf("Volume Name: %s\n", WideToUtf8(volume.VolumeLabel()).c_str());
  std::printf("Volume Version: %u.%u\n", volume.NtfsVersion() >> 8, volume.NtfsVersion() & 0xFF);
  std::printf("Sector Size: %u\n", volume.BytesPerSector());
  std::printf("Cluster Size: %u\n", volume.ClusterSize());
  std::printf("Index Block Size: %u\n", volume.IndexBlockSize());
  std::printf("MFT Record Size: %u\n", volume.FileRecordSize());
  std::printf("MFT Offset: %llu\n", static_cast<unsigned long long>(volume.MftOffset()));
  std::printf("LCN of Data Attribute for FILE_MFT: %lld\n", static_cast<long long>(firstLcn));
  std::printf("MFT Size: %llu\n", static_cast<unsigned long long>(volume.MftSize()));
  std::printf("MFT Records: %llu\n", static_cast<unsigned long long>(volume.MftRecordCount()));
  std::printf("MFT Data Runs: %llu\n", static_cast<unsigned long long>(runs));
}

// Prints every record the read hands over; returns the exit status after the summary.
int PrintRecords(const std::string& name, const std::string& journalId, uint64_t lowestValidUsn,
                 const std::function<SUsnReadResult(const UsnRecordVisitor&)>& read) {
  bool first = true;
  uint64_t firstUsn = 0;
  const SUsnReadResult result = read([&](const SUsnRecord& record) {
    if (first) firstUsn = record.usn;
    first = false;
    std::printf("%s\n", FormatUsnRecord(record).c_str());
    return true;
  });
  if (first) firstUsn = result.usn;
  std::fflush(stdout);
  std::fprintf(stderr, "journal ID %s, first USN %" PRIu64 ", next USN %" PRIu64 ", lowest valid USN %" PRIu64
                       ", %" PRIu64 " records\n",
               journalId.c_str(), firstUsn, result.usn, lowestValidUsn, result.records);
  if (result.result != EUsnRead::Complete) {
    std::fprintf(stderr, "ostrin-volinfo: %s: %s: %s\n", name.c_str(), UsnReadText(result.result), result.problem.c_str());
    return 1;
  }
  return 0;
}

int PrintJournal(const std::string& name, CNTFSVolume& volume) {
  // A live volume device answers from the system's own journal; everything else (an image file, Wine,
  // Linux) is read from the volume's $Extend\$UsnJrnl.
  SUsnJournalState live;
  const SUsnReadResult query = QueryUsnJournalByControl(volume.Device(), &live);
  if (query.result == EUsnRead::Complete) {
    char id[24];
    std::snprintf(id, sizeof id, "0x%016" PRIx64, live.journalId);
    return PrintRecords(name, id, live.lowestValidUsn, [&](const UsnRecordVisitor& visitor) {
      return ReadUsnJournalByControl(volume.Device(), live.lowestValidUsn, live.journalId, visitor);
    });
  }
  if (query.result != EUsnRead::NotSupported) {
    std::fprintf(stderr, "ostrin-volinfo: %s: %s\n", name.c_str(), query.problem.c_str());
    return 1;
  }
  CUsnJournal journal(volume);
  const SUsnJournalState state = journal.Locate();
  if (state.state != EUsnJournal::Present) {
    std::fprintf(stderr, "ostrin-volinfo: %s: %s\n", name.c_str(),
                 state.state == EUsnJournal::Absent ? "no change journal" : ("damaged change journal: " + state.problem).c_str());
    return 1;
  }
  char id[24];
  std::snprintf(id, sizeof id, "0x%016" PRIx64, state.journalId);
  return PrintRecords(name, id, state.lowestValidUsn, [&](const UsnRecordVisitor& visitor) {
    return journal.Read(state.lowestValidUsn, state.journalId, visitor);
  });
}

int PrintJournalStream(const std::string& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) {
    std::fprintf(stderr, "ostrin-volinfo: %s: cannot open the file\n", path.c_str());
    return 1;
  }
  const auto size = static_cast<uint64_t>(file.tellg());
  const UsnStreamReader reader = [&file](uint64_t usn, uint8_t* buffer, size_t length) {
    file.clear();
    file.seekg(static_cast<std::streamoff>(usn));
    file.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(length));
    return static_cast<size_t>(file.gcount()) == length;
  };
  // A copied stream starts at USN 0; the part below the lowest valid USN is zeros (holes), passed over.
  return PrintRecords(path, "-", 0, [&](const UsnRecordVisitor& visitor) { return ReadUsnStream(reader, 0, size, visitor); });
}

}  // namespace

int main(int argc, char** argv) {
  const std::string option = argc == 3 ? argv[1] : "";
  if (argc == 3 && option == "--journal-stream") return PrintJournalStream(argv[2]);
  if (argc != 2 && !(argc == 3 && option == "--journal")) return Usage();
  const std::string argument = argv[argc - 1];
  CNTFSVolume volume;
  try {
    if (const auto letter = DriveLetterArgument(argument)) {
      volume.OpenLetter(*letter, ReadConfigurationFile().VolumeOf(*letter));
    } else {
      volume.OpenPath(argument);
    }
  } catch (const CException& e) {
    std::fprintf(stderr, "ostrin-volinfo: %s: error %d: %s\n", argument.c_str(), e.Code(), WideToUtf8(e.Message()).c_str());
    return 1;
  }
  if (option == "--journal") return PrintJournal(argument, volume);
  PrintVolume(argument, volume);
  return 0;
}
