// ostrin-fuzz-seeds: makes the seed corpora of the fuzz targets, and the made volumes the
// record-level targets parse against, from what the project makes: test volumes made by
// ostrin-mkvol from their manifests (cached by the manifest's and the maker's bytes), the drive
// images the scan writes of them, and protocol conversations written by the protocol's own writers.
//
//   ostrin-fuzz-seeds WORK
//
// writes WORK/volumes/NN-name.img (the volumes for OSTRIN_FUZZ_VOLUMES), WORK/seeds/<target>/ (one
// folder per target, made afresh) and keeps its cache in WORK/cache. Exit status 0 on success.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "common/exceptions.h"
#include "common/protocol.h"
#include "common/sock_stream.h"
#include "common/text.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_volume.h"
#include "index/drive_index.h"
#include "index/image_format.h"
#include "ntfs/attributes.h"
#include "ntfs/file_record.h"
#include "ntfs/layout.h"
#include "ntfs/usn_journal.h"
#include "ntfs/ntfs_errors.h"

#ifndef OSTRIN_MKVOL_PATH
#error "OSTRIN_MKVOL_PATH and OSTRIN_SOURCE_DIR come from fuzz/CMakeLists.txt"
#endif

namespace {

namespace fs = std::filesystem;
using ostrin::fuzz::CFuzzVolumeWriter;

// What each made volume is used for.
struct SVolumeUse {
  const char* name;         // manifest name
  const char* folder;       // under the source tree
  int environmentIndex;     // position among the volumes of OSTRIN_FUZZ_VOLUMES, or -1
  bool scanSeed;            // a seed of the whole-volume target
};

// The first environment volume is the one record-level targets default to: 1024-byte records.
constexpr SVolumeUse VOLUMES[] = {
    {"scan-seed", "fuzz/volumes", 0, true},
    {"geometry-s512-c512", "tests/volumes", 1, false},
    {"geometry-s512-c64k", "tests/volumes", 2, false},
    {"geometry-s4096-c4k", "tests/volumes", 3, true},
    {"sparse-and-compressed", "tests/volumes", 4, false},
    {"attribute-lists", "tests/volumes", -1, false},
    {"links-and-names", "tests/volumes", -1, true},
    {"deleted", "tests/volumes", -1, false},
    {"fragmented-mft", "tests/volumes", -1, false},
    {"journal", "tests/volumes", -1, false},
};

// The open target's seed holds the first bytes of the volume (the boot sector's read).
constexpr uint32_t OPEN_BLOCK = 4096;
// The section the client target publishes (client_messages_fuzz.cpp).
constexpr WCHAR FUZZ_SECTION[] = WTEXT("Global\\OstrinNT_Fuzz_Image");

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

uint64_t Fnv1a(uint64_t hash, const std::string& bytes) {
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 0x100000001B3ull;
  }
  return hash;
}

void Run(const std::vector<std::string>& arguments) {
  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const int quiet = ::open("/dev/null", O_WRONLY);
    if (quiet >= 0) ::dup2(quiet, STDOUT_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(arguments[0] + " failed for " + arguments[1]);
  }
}

// The volume of a manifest, made on first use and kept in the cache under the manifest's and the
// maker's bytes.
fs::path MakeVolume(const SVolumeUse& use, const fs::path& cache) {
  const std::string manifest = std::string(OSTRIN_SOURCE_DIR) + "/" + use.folder + "/" + use.name + ".manifest";
  char key[17];
  std::snprintf(key, sizeof key, "%016llx",
                static_cast<unsigned long long>(Fnv1a(Fnv1a(0xCBF29CE484222325ull, ReadText(OSTRIN_MKVOL_PATH)), ReadText(manifest))));
  const fs::path image = cache / (std::string(use.name) + "-" + key + ".img");
  if (fs::exists(image)) return image;
  const std::string temp = (cache / (std::string(use.name) + ".tmp" + std::to_string(::getpid()))).string();
  Run({OSTRIN_MKVOL_PATH, manifest, temp + ".img", temp + ".expected"});
  fs::remove(temp + ".expected");
  fs::rename(temp + ".img", image);
  return image;
}

class CSeedFolder {
 public:
  CSeedFolder(const fs::path& seeds, const std::string& target) : m_folder(seeds / target) {
    fs::remove_all(m_folder);
    fs::create_directories(m_folder);
  }
  // Writes a seed; a seed with the same bytes as an earlier one is left out.
  void Add(const std::string& name, const std::vector<uint8_t>& bytes) {
    if (!m_seen.insert(bytes).second) return;
    WriteBytes(m_folder / name, bytes);
    ++m_count;
  }
  size_t Count() const { return m_count; }

 private:
  fs::path m_folder;
  std::set<std::vector<uint8_t>> m_seen;
  size_t m_count = 0;
};

// ---- Volumes

struct SMadeVolume {
  const SVolumeUse* use;
  fs::path image;
  std::vector<uint8_t> bytes;
};

// Adds the volume range [offset, offset + length) as an extent, as far as the image holds it.
void AddRange(CFuzzVolumeWriter& writer, const std::vector<uint8_t>& image, uint64_t offset, uint64_t length) {
  if (offset >= image.size()) return;
  length = std::min<uint64_t>(length, image.size() - offset);
  writer.AddExtent(offset, image.data() + offset, static_cast<uint32_t>(length));
}

// The seed of the open target: what opening the volume reads, and nothing else: the boot sector, the
// first sixteen records, record 0's attribute list and the records it names. (Larger inputs only slow
// the fuzzer down: every execution copies and mutates the whole input.)
std::vector<uint8_t> OpenSeed(const SMadeVolume& made) {
  CFuzzVolumeWriter writer(made.bytes.size());
  CNTFSVolume volume;
  volume.OpenPath(made.image.string());
  const uint32_t recordSize = volume.FileRecordSize();
  const uint64_t cluster = volume.ClusterSize();
  AddRange(writer, made.bytes, 0, OPEN_BLOCK);
  AddRange(writer, made.bytes, volume.MftOffset(), 16ull * recordSize);
  // Where record n lies, through the runs of the MFT's data.
  const auto recordOffset = [&](uint64_t number) -> std::optional<uint64_t> {
    const uint64_t offset = number * recordSize;
    for (const tagDataRun_Entry* run : volume.MftData()->Runs()) {
      const uint64_t vcn = offset / cluster;
      if (run->lcn >= 0 && vcn >= run->startVcn && vcn <= run->lastVcn) {
        return (static_cast<uint64_t>(run->lcn) + vcn - run->startVcn) * cluster + offset % cluster;
      }
    }
    return std::nullopt;
  };
  CFileRecord record(&volume);
  record.SetAttributeMask(AttributeMaskBit(ATTR_TYPE_ATTRIBUTE_LIST));
  if (!record.LoadRecord(MFT_RECORD) || !record.BuildAttributeLists()) return writer.Bytes();
  CAttrBase* list = record.FirstAttribute(ATTR_TYPE_ATTRIBUTE_LIST);
  if (list == nullptr) return writer.Bytes();
  if (const auto* stored = dynamic_cast<const CAttrNonResident*>(list)) {
    for (const tagDataRun_Entry* run : stored->Runs()) {
      if (run->lcn >= 0) AddRange(writer, made.bytes, static_cast<uint64_t>(run->lcn) * cluster, run->clusters * cluster);
    }
  }
  std::vector<uint8_t> entries(static_cast<size_t>(list->GetValueSize()));
  uint32_t got = 0;
  if (!list->ReadValue(0, entries.data(), static_cast<uint32_t>(entries.size()), &got)) return writer.Bytes();
  std::set<uint64_t> named;
  for (size_t offset = 0; offset + sizeof(ATTRIBUTE_LIST_ENTRY) <= got;) {
    const uint8_t* entry = entries.data() + offset;
    named.insert(READ_FIELD(ATTRIBUTE_LIST_ENTRY, recordNumberLow, entry));
    const uint16_t length = READ_FIELD(ATTRIBUTE_LIST_ENTRY, length, entry);
    if (length < sizeof(ATTRIBUTE_LIST_ENTRY)) break;
    offset += length;
  }
  for (const uint64_t number : named) {
    if (number < 16) continue;
    if (const auto at = recordOffset(number)) AddRange(writer, made.bytes, *at, recordSize);
  }
  return writer.Bytes();
}

// Every record of a volume, loaded with every attribute type, handed to visit.
void ForEachRecord(const SMadeVolume& made, const std::function<void(CNTFSVolume&, CFileRecord&, uint64_t)>& visit) {
  CNTFSVolume volume;
  volume.OpenPath(made.image.string());
  for (uint64_t number = 0; number < volume.MftRecordCount(); ++number) {
    CFileRecord record(&volume);
    record.SetAttributeMask(ATTRIBUTE_MASK_ALL);
    if (!record.LoadRecord(number) || !record.BuildAttributeLists()) continue;
    visit(volume, record, number);
  }
}

void AddRecordSeeds(const SMadeVolume& made, CSeedFolder& records, CSeedFolder& index) {
  ForEachRecord(made, [&](CNTFSVolume& volume, CFileRecord& record, uint64_t number) {
    if (!record.IsInUse() && number % 16 != 0) return;  // a few free records besides the used ones
    const uint8_t* bytes = record.Buffer();
    // record_fuzz takes a record as it lies on disk, update sequence in place.
    std::vector<uint8_t> raw(volume.FileRecordSize());
    size_t got = 0;
    volume.Device().ReadAt(volume.MftOffset() + number * volume.FileRecordSize(), raw.data(), raw.size(), &got);
    if (number < FIRST_USER_RECORD && got == raw.size()) records.Add("r" + std::to_string(number), raw);
    if (number >= FIRST_USER_RECORD) {
      uint32_t read = 0;
      if (volume.MftData()->ReadValue(number * volume.FileRecordSize(), raw.data(), static_cast<uint32_t>(raw.size()), &read) &&
          read == raw.size()) {
        records.Add("r" + std::to_string(number), raw);
      }
    }
    if (!record.IsDirectory()) return;
    // index_entries_fuzz takes the attribute area of a directory, fix-ups undone.
    const uint16_t first = READ_FIELD(FILE_RECORD_HEADER, firstAttributeOffset, bytes);
    const uint32_t used = std::min(READ_FIELD(FILE_RECORD_HEADER, bytesInUse, bytes), volume.FileRecordSize());
    if (first < used) index.Add("dir" + std::to_string(number), std::vector<uint8_t>(bytes + first, bytes + used));
  });
}

void AddRunListSeeds(const SMadeVolume& made, CSeedFolder& runLists) {
  const auto selector = static_cast<uint8_t>(made.use->environmentIndex);
  ForEachRecord(made, [&](CNTFSVolume&, CFileRecord& record, uint64_t number) {
    std::vector<const CAttrNonResident*> data;
    for (uint32_t type = 0x10; type <= 0x100; type += 0x10) {
      for (const CAttrBase* attribute : record.AttributesOf(type)) {
        const auto* body = dynamic_cast<const CAttrNonResident*>(attribute);
        if (body == nullptr) continue;
        if (type == ATTR_TYPE_DATA) data.push_back(body);
        std::vector<uint8_t> seed{selector, 2};
        const uint64_t size = attribute->GetValueSize();
        for (const uint64_t offset : {uint64_t{0}, size / 2}) {
          seed.resize(seed.size() + 12);
          WriteLE<uint64_t>(seed.data() + seed.size() - 12, offset);
          WriteLE<uint32_t>(seed.data() + seed.size() - 4, 8192);
        }
        seed.insert(seed.end(), attribute->Header(), attribute->Header() + attribute->Length());
        runLists.Add("v" + std::to_string(selector) + "-r" + std::to_string(number) + "-t" + std::to_string(type) + "-" +
                         std::to_string(runLists.Count()),
                     seed);
      }
    }
    // Two extents of one value, the second after the first, for AppendExtent.
    for (size_t i = 0; i + 1 < data.size(); ++i) {
      if (data[i + 1]->FirstVcn() != data[i]->FirstVcn() + data[i]->VcnCount()) continue;
      std::vector<uint8_t> seed{selector, 0};
      seed.insert(seed.end(), data[i]->Header(), data[i]->Header() + data[i]->Length());
      seed.insert(seed.end(), data[i + 1]->Header(), data[i + 1]->Header() + data[i + 1]->Length());
      runLists.Add("v" + std::to_string(selector) + "-r" + std::to_string(number) + "-extents" + std::to_string(i), seed);
    }
  });
}

std::vector<uint8_t> DriveImage(const SMadeVolume& made) {
  CDriveIndex drive;
  drive.Volume().OpenPath(made.image.string());
  if (!drive.ScanVolume([](int32_t) { return true; })) throw std::runtime_error("scan stopped");
  drive.LinkTree();
  drive.AttachFiles();
  std::vector<uint8_t> image(drive.Root()->ComputeImageSize());
  drive.Root()->WriteImage(image.data(), image.data(), 0);
  drive.DeleteTree();
  return image;
}

// ---- Hostile volumes

// The offset in the image of the value of the first attribute of a type of the record at record (the
// raw bytes, fix-ups not applied: the patches below avoid the protected words); 0 when there is none.
uint64_t RawAttribute(const std::vector<uint8_t>& image, uint64_t record, uint32_t recordSize, uint32_t type) {
  if (record + recordSize > image.size()) return 0;
  for (uint64_t at = record + ReadLE<uint16_t>(&image[record + 0x14]); at + 8 <= record + recordSize;) {
    const uint32_t found = ReadLE<uint32_t>(&image[at]);
    const uint32_t length = ReadLE<uint32_t>(&image[at + 4]);
    if (found == 0xFFFFFFFF || length == 0) return 0;
    if (found == type) return at;
    at += length;
  }
  return 0;
}

// Seeds of the scan target for the damage the scan must take in its stride, each a copy of the volume
// with one patch: a name that begins with NUL, a record whose only name is a DOS name, a parent
// reference of another sequence number, a name with a backslash, and an MFT whose size and initialized
// size run past the clusters its runs map (the one of a petabyte on a device of megabytes is refused
// when the volume opens, so it makes no seed of a whole volume).
void AddHostileScanSeeds(const SMadeVolume& made, const fs::path& cache, CSeedFolder& scan) {
  CNTFSVolume volume;
  volume.OpenPath(made.image.string());
  const uint32_t recordSize = volume.FileRecordSize();
  const uint64_t mft = volume.MftOffset();
  // The first user record with a file name (the MFT of a made volume lies in one run).
  uint64_t nameValue = 0;
  for (uint64_t number = FIRST_USER_RECORD; number < volume.MftRecordCount() && nameValue == 0; ++number) {
    const uint64_t record = mft + number * recordSize;
    if (record + recordSize > made.bytes.size() || (ReadLE<uint16_t>(&made.bytes[record + 0x16]) & 1) == 0) continue;
    if (const uint64_t name = RawAttribute(made.bytes, record, recordSize, ATTR_TYPE_FILE_NAME)) {
      nameValue = name + ReadLE<uint16_t>(&made.bytes[name + 0x14]);
    }
  }
  const uint64_t data = RawAttribute(made.bytes, mft, recordSize, ATTR_TYPE_DATA);
  if (nameValue == 0 || data == 0) throw std::runtime_error("no record to damage in " + made.image.string());
  const uint64_t pastTheRuns = made.bytes.size() / 2;
  const auto le = [](uint64_t value) {
    std::vector<uint8_t> bytes(8);
    WriteLE<uint64_t>(bytes.data(), value);
    return bytes;
  };
  const struct {
    const char* name;
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> patches;  // offset, bytes
  } cases[] = {
      {"nul-name", {{nameValue + 0x42, {0, 0}}}},
      {"dos-only-name", {{nameValue + 0x41, {2}}}},
      {"stale-parent", {{nameValue + 6, {static_cast<uint8_t>(made.bytes[nameValue + 6] + 1)}}}},
      {"backslash-name", {{nameValue + 0x44, {'\\', 0}}}},
      {"mft-past-its-runs", {{data + 0x28, le(pastTheRuns)}, {data + 0x30, le(pastTheRuns)}, {data + 0x38, le(pastTheRuns)}}},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> bytes = made.bytes;
    for (const auto& [offset, patch] : c.patches) {
      for (size_t i = 0; i < patch.size(); ++i) {
        if ((offset + i) % 512 >= 510) throw std::runtime_error(std::string(c.name) + ": the patch meets a protected word");
        bytes.at(offset + i) = patch[i];
      }
    }
    const fs::path image = cache / (std::string(made.use->name) + "-" + c.name + ".img");
    WriteBytes(image, bytes);
    scan.Add(std::string(made.use->name) + "-" + c.name, ostrin::fuzz::MakeVolumeSeed(image.string()));
    fs::remove(image);
  }
}

// The paths the find seeds walk: the root, directories of the made volumes, patterns, and the
// malformed forms the client must refuse.
const char16_t* const FIND_PATHS[] = {
    u"\\*",          u"\\*.*",           u"C:\\*",          u"\\a\\*",          u"\\A\\*.TXT",
    u"\\a\\?hared*", u"\\names\\many*",  u"\\bulk\\*",      u"\\bulk\\d0000\\*", u"\\docs\\deep\\a\\b\\*",
    u"\\missing\\*", u"\\a\\shared.txt\\*", u"\\\\",        u"\\",              u"\\case\\readme",
    u"\\runs\\*.bin", u"x:\\names\\",     u"\\a*?",
    // Names with wildcards before the pattern, and walks that go on from the last path.
    u"\\a**b\\*", u"\\c*?d\\x?y", u"\\deep\\l1\\l2\\*", u"\\deep\\l1\\*",
};

std::vector<uint8_t> FindSeed(const std::vector<uint8_t>& image, const char16_t* path, uint8_t cut) {
  std::vector<uint8_t> seed{cut, 0};
  size_t units = 0;
  for (; path[units] != 0; ++units) {
    seed.push_back(static_cast<uint8_t>(path[units] & 0xFF));
    seed.push_back(static_cast<uint8_t>(path[units] >> 8));
  }
  seed[1] = static_cast<uint8_t>(units);
  seed.insert(seed.end(), image.begin(), image.end());
  return seed;
}

// ---- Conversations

// Bytes written through a stream by the protocol's writers, as the peer receives them.
class CRecorder {
 public:
  explicit CRecorder(ESockSide side) : m_stream(side) {
    int ends[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) throw std::runtime_error("socketpair failed");
    m_stream.handle.Reset(static_cast<ostrin::platform::SocketHandle>(ends[0]));
    m_peer = ends[1];
  }
  ~CRecorder() { ::close(m_peer); }
  CSockStream& Stream() { return m_stream; }
  // Everything written so far.
  std::vector<uint8_t> Take() {
    std::vector<uint8_t> bytes;
    uint8_t buffer[4096];
    for (;;) {
      const ssize_t n = ::recv(m_peer, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n <= 0) break;
      bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
  }

 private:
  CSockStream m_stream;
  int m_peer = -1;
};

void AddCommandSeeds(CSeedFolder& folder) {
  const auto conversation = [&](const std::string& name, const std::function<void(CSockStream&)>& write) {
    CRecorder recorder(ESockSide::Client);
    write(recorder.Stream());
    folder.Add(name, recorder.Take());
  };
  conversation("open-read-close-quit", [](CSockStream& s) {
    WriteHello(s);
    WriteLetterCommand(s, ECommand::OstrinOpenDrive, 'C');
    WriteLetterCommand(s, ECommand::OstrinReadDir, 'C');
    WriteLetterCommand(s, ECommand::CloseDrive, 'C');
    WriteQuit(s);
  });
  conversation("open-abort-lower-case", [](CSockStream& s) {
    WriteHello(s);
    WriteLetterCommand(s, ECommand::OstrinOpenDrive, 'd');
    WriteLetterCommand(s, ECommand::AbortOpen, 'd');
    WriteLetterCommand(s, ECommand::CloseDrive, 'd');
    WriteQuit(s);
  });
  conversation("commands-before-hello", [](CSockStream& s) {
    WriteLetterCommand(s, ECommand::OstrinOpenDrive, 'C');
    WriteLetterCommand(s, ECommand::OstrinReadDir, 'C');
    WriteHello(s);
    WriteLetterCommand(s, ECommand::OstrinReadDir, 'Z');
  });
  conversation("letters-out-of-range", [](CSockStream& s) {
    WriteHello(s);
    WriteLetterCommand(s, ECommand::OstrinOpenDrive, '@');
    WriteLetterCommand(s, ECommand::CloseDrive, '[');
    WriteLetterCommand(s, ECommand::AbortOpen, 0x10043);
    WriteLetterCommand(s, ECommand::OstrinReadDir, 0xFFFFFFFF);
    WriteQuit(s);
  });
  conversation("unknown-command", [](CSockStream& s) {
    WriteHello(s);
    s.WriteU32(99);
    s.WriteU32(0);
    WriteQuit(s);
  });
  conversation("bad-magic", [](CSockStream& s) {
    s.WriteU32(WireCode(ECommand::Hello));
    s.WriteU32(PROTOCOL_MAGIC + 1);
    s.WriteU32(PROTOCOL_VERSION);
  });
  conversation("wrong-version", [](CSockStream& s) {
    s.WriteU32(WireCode(ECommand::Hello));
    s.WriteU32(PROTOCOL_MAGIC);
    s.WriteU32(PROTOCOL_VERSION + 1);
  });
  conversation("many-opens", [](CSockStream& s) {
    WriteHello(s);
    for (uint32_t i = 0; i < 40; ++i) WriteLetterCommand(s, ECommand::OstrinOpenDrive, 'A' + i % 26);
  });
  conversation("cut-short", [](CSockStream& s) {
    WriteHello(s);
    s.WriteU32(WireCode(ECommand::OstrinOpenDrive));
  });
}

void AddClientSeeds(CSeedFolder& folder) {
  // The first two bytes: the letter (C) and the percent from which the callback asks to abort.
  const auto conversation = [&](const std::string& name, uint8_t abortAt, const std::function<void(CSockStream&)>& write) {
    CRecorder recorder(ESockSide::Service);
    write(recorder.Stream());
    std::vector<uint8_t> seed{2, abortAt};
    const std::vector<uint8_t> bytes = recorder.Take();
    seed.insert(seed.end(), bytes.begin(), bytes.end());
    folder.Add(name, seed);
  };
  constexpr uint8_t NEVER = 101;
  const WString section = FUZZ_SECTION;
  conversation("open-done-close", NEVER, [&](CSockStream& s) {
    WriteAck(s);
    for (uint32_t percent : {0u, 25u, 50u, 99u}) WriteOpenProgress(s, 'C', percent);
    WriteOpenDone(s, 'C');
    WriteReadDirReply(s, section, sizeof(IMAGE_DIR_HEADER));
    WriteAck(s);
    WriteErrorReply(s, ERR_LETTER_OUT_OF_RANGE);
    WriteAck(s);
  });
  conversation("open-aborted", 30, [&](CSockStream& s) {
    WriteAck(s);
    WriteOpenProgress(s, 'C', 10);
    WriteOpenProgress(s, 'C', 30);
    WriteOpenProgress(s, 'C', 31);
    WriteOpenAborted(s, 'C');
    WriteAck(s);
    WriteOpenAborted(s, 'C');
    WriteAck(s);
  });
  conversation("open-refused", NEVER, [&](CSockStream& s) {
    WriteErrorReply(s, ERR_NOT_AUTHENTICATED);
    WriteErrorReply(s, ERR_OPEN_THREAD_FAILED);
    WriteAck(s);
  });
  conversation("open-fails", NEVER, [&](CSockStream& s) {
    WriteAck(s);
    WriteOpenProgress(s, 'C', 12);
    WriteErrorReply(s, ERROR_READ_DATA.code, ERROR_READ_DATA.Text());
    WriteAck(s);
    WriteOpenDone(s, 'C');
    WriteErrorReply(s, ERR_DRIVE_NOT_OPEN);
    WriteAck(s);
  });
  conversation("unknown-messages-and-other-section", NEVER, [&](CSockStream& s) {
    WriteAck(s);
    s.WriteU32(77);
    s.WriteU32(3);
    WriteOpenProgress(s, 'C', 150);
    WriteOpenDone(s, 'C');
    WriteReadDirReply(s, WTEXT("Global\\OstrinNT_Drive_Q"), uint64_t{1} << 40);
    WriteAck(s);
  });
  conversation("image-size-beyond-section", NEVER, [&](CSockStream& s) {
    WriteAck(s);
    WriteOpenDone(s, 'C');
    WriteReadDirReply(s, section, 1 << 20);
    WriteAck(s);
    WriteAck(s);
  });
}

void AddWildcardSeeds(CSeedFolder& folder) {
  const std::pair<std::string, std::string> pairs[] = {
      {"*.txt", "readme.TXT"}, {"a*?b", "axb"},    {"*a*b*c*", "xaybzc"}, {"??", "ab"},     {"*", ""},
      {"Ab*", "aB"},           {"a*b*c", "abcbc"}, {"***", "x"},          {"*.*", "noext"}, {"?*?", "a"},
      {"*\x80*", "x\x81y"},    {"Z\x84", "z\x85"}, {"*ab", "aab"},        {"a?c*", "abcabc"},
  };
  for (size_t i = 0; i < std::size(pairs); ++i) {
    std::vector<uint8_t> seed(pairs[i].first.begin(), pairs[i].first.end());
    seed.push_back(0xFF);
    seed.insert(seed.end(), pairs[i].second.begin(), pairs[i].second.end());
    folder.Add("pair" + std::to_string(i), seed);
  }
}

// The journal target's seeds: a volume's $J from its lowest valid USN, whole and cut after its first
// block, each after the USN of its first byte.
void AddJournalSeeds(const SMadeVolume& made, CSeedFolder& folder) {
  CNTFSVolume volume;
  volume.OpenPath(made.image.string());
  CUsnJournal journal(volume);
  const SUsnJournalState state = journal.Locate();
  if (state.state != EUsnJournal::Present) return;
  std::vector<uint8_t> seed(sizeof(uint64_t) + (state.nextUsn - state.lowestValidUsn));
  WriteLE<uint64_t>(seed.data(), state.lowestValidUsn);
  if (!journal.ReadStreamBytes(state.lowestValidUsn, seed.data() + sizeof(uint64_t), seed.size() - sizeof(uint64_t))) {
    throw std::runtime_error("cannot read the journal of " + made.image.string());
  }
  folder.Add(std::string(made.use->name), seed);
  if (seed.size() > sizeof(uint64_t) + 200) {
    folder.Add(std::string(made.use->name) + "-short", std::vector<uint8_t>(seed.begin(), seed.begin() + sizeof(uint64_t) + 200));
  }
}

void MakeSeeds(const fs::path& work) {
  const fs::path cache = work / "cache";
  const fs::path volumes = work / "volumes";
  const fs::path seeds = work / "seeds";
  fs::create_directories(cache);
  fs::remove_all(volumes);
  fs::create_directories(volumes);

  std::vector<SMadeVolume> made;
  for (const SVolumeUse& use : VOLUMES) {
    SMadeVolume volume{&use, MakeVolume(use, cache), {}};
    volume.bytes = ostrin::fuzz::ReadWholeFile(volume.image.string());
    if (use.environmentIndex >= 0) {
      char prefix[8];
      std::snprintf(prefix, sizeof prefix, "%02d-", use.environmentIndex);
      const fs::path link = volumes / (prefix + std::string(use.name) + ".img");
      std::error_code ec;
      fs::create_hard_link(volume.image, link, ec);
      if (ec) fs::copy_file(volume.image, link);
    }
    made.push_back(std::move(volume));
  }

  CSeedFolder scan(seeds, "volume_scan_fuzz");
  CSeedFolder open(seeds, "volume_open_fuzz");
  CSeedFolder records(seeds, "record_fuzz");
  CSeedFolder index(seeds, "index_entries_fuzz");
  CSeedFolder runLists(seeds, "run_list_fuzz");
  CSeedFolder images(seeds, "image_walk_fuzz");
  CSeedFolder finds(seeds, "find_walk_fuzz");
  for (const SMadeVolume& volume : made) {
    const std::string name = volume.use->name;
    if (volume.use->scanSeed) scan.Add(name, ostrin::fuzz::MakeVolumeSeed(volume.image.string()));
    if (name == "links-and-names") AddHostileScanSeeds(volume, cache, scan);
    open.Add(name, OpenSeed(volume));
    if (volume.use->environmentIndex == 0) AddRecordSeeds(volume, records, index);
    if (volume.use->environmentIndex >= 0) AddRunListSeeds(volume, runLists);
    const std::vector<uint8_t> image = DriveImage(volume);
    images.Add(name, image);
    for (size_t i = 0; i < std::size(FIND_PATHS); ++i) {
      finds.Add(name + "-path" + std::to_string(i), FindSeed(image, FIND_PATHS[i], 0));
    }
    finds.Add(name + "-cut", FindSeed(image, FIND_PATHS[0], 56));
  }
  CSeedFolder journals(seeds, "usn_journal_fuzz");
  for (const SMadeVolume& volume : made) AddJournalSeeds(volume, journals);
  CSeedFolder commands(seeds, "command_reader_fuzz");
  AddCommandSeeds(commands);
  CSeedFolder client(seeds, "client_messages_fuzz");
  AddClientSeeds(client);
  CSeedFolder wildcard(seeds, "wildcard_fuzz");
  AddWildcardSeeds(wildcard);

  std::printf("seeds: volume_scan %zu, volume_open %zu, record %zu, index_entries %zu, run_list %zu, image_walk %zu, "
              "find_walk %zu, command_reader %zu, client_messages %zu, wildcard %zu, usn_journal %zu\n",
              scan.Count(), open.Count(), records.Count(), index.Count(), runLists.Count(), images.Count(), finds.Count(),
              commands.Count(), client.Count(), wildcard.Count(), journals.Count());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: ostrin-fuzz-seeds WORK\n", stderr);
    return 2;
  }
  try {
    MakeSeeds(argv[1]);
  } catch (const CException& e) {
    std::fprintf(stderr, "ostrin-fuzz-seeds: %s\n", WideToUtf8(e.Message()).c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ostrin-fuzz-seeds: %s\n", e.what());
    return 1;
  }
  return 0;
}
