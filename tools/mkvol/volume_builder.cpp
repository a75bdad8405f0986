// Making a test volume: mkntfs on a sparse image, then the ntfs-3g library carries out the manifest.
#include "tools/mkvol/volume_builder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <functional>
#include <utility>

#include "common/text.h"
#include "tools/mkvol/ntfs3g.h"

namespace ostrin::mkvol {
namespace {

// Data is written in pieces of this size.
constexpr size_t WRITE_CHUNK = 64 * 1024;
// Extra names made by links=N are this many UTF-16 units long, so that a few of them fill a record.
constexpr size_t LONG_LINK_NAME_LENGTH = 200;
// Holes made beyond the runs asked for, for the directory index, the MFT bitmap and the allocator's
// appetite.
constexpr uint64_t HOLE_SPARE = 64;
// Where the spacers and the filler of fragmented allocations live until they are removed.
constexpr char HOLES_DIRECTORY[] = "mkvol-holes";

[[noreturn]] void FailErrno(const std::string& what) {
  const int err = errno;
  throw CBuildError(what + ": " + std::strerror(err));
}

std::vector<ntfschar> ToNtfsName(const std::string& utf8) {
  const WString wide = Utf8ToWide(utf8);
  if (wide.empty() || wide.size() > 255) throw CBuildError("name \"" + utf8 + "\" must have 1 to 255 UTF-16 units");
  std::vector<ntfschar> name(wide.size());
  for (size_t i = 0; i < wide.size(); ++i) name[i] = cpu_to_le16(static_cast<uint16_t>(wide[i]));
  return name;
}

// An open ntfs-3g inode, closed by its owner unless a library call that closes it took it.
class CInode {
 public:
  CInode(ntfs_volume* volume, uint64_t record, const char* why) : m_ni(ntfs_inode_open(volume, record)) {
    if (!m_ni) FailErrno(std::string("cannot open record ") + std::to_string(record) + " (" + why + ")");
  }
  explicit CInode(ntfs_inode* ni) : m_ni(ni) {}
  // Unwinding past an open inode still writes it back, but a failure then cannot be reported.
  ~CInode() {
    if (m_ni) ntfs_inode_close(m_ni);
  }
  CInode(const CInode&) = delete;
  CInode& operator=(const CInode&) = delete;

  ntfs_inode* Get() const { return m_ni; }
  ntfs_inode* Release() { return std::exchange(m_ni, nullptr); }
  void Close() {
    if (m_ni && ntfs_inode_close(m_ni) != 0) {
      m_ni = nullptr;
      FailErrno("cannot write an inode back");
    }
    m_ni = nullptr;
  }

 private:
  ntfs_inode* m_ni;
};

// An open attribute of an inode.
class CAttr {
 public:
  CAttr(ntfs_inode* ni, ATTR_TYPES type, ntfschar* name, uint32_t nameLength)
      : m_na(ntfs_attr_open(ni, type, name, nameLength)) {
    if (!m_na) FailErrno("cannot open an attribute of record " + std::to_string(ni->mft_no));
  }
  ~CAttr() {
    if (m_na) ntfs_attr_close(m_na);
  }
  CAttr(const CAttr&) = delete;
  CAttr& operator=(const CAttr&) = delete;
  ntfs_attr* Get() const { return m_na; }

 private:
  ntfs_attr* m_na;
};

uint64_t SplitMix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Content bytes depend only on the fill, the seed and the position, so pieces can be made in any order.
void Fill(EFill fill, uint64_t seed, uint64_t offset, char* out, size_t count) {
  static constexpr char TEXT[] = "All work and no play makes a test volume. 0123456789 ABCDEFGHIJ\n";
  constexpr size_t TEXT_LENGTH = sizeof(TEXT) - 1;
  for (size_t i = 0; i < count; ++i) {
    const uint64_t pos = offset + i;
    switch (fill) {
      case EFill::Text: out[i] = TEXT[pos % TEXT_LENGTH]; break;
      case EFill::Zero: out[i] = 0; break;
      case EFill::Random: out[i] = static_cast<char>(SplitMix(seed ^ (pos / 8) * 0x100000001B3ull) >> (8 * (pos % 8))); break;
    }
  }
}

void WriteRange(ntfs_attr* na, EFill fill, uint64_t seed, uint64_t offset, uint64_t length) {
  std::vector<char> buffer(std::min<uint64_t>(WRITE_CHUNK, std::max<uint64_t>(length, 1)));
  while (length > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, buffer.size()));
    Fill(fill, seed, offset, buffer.data(), n);
    if (ntfs_attr_pwrite(na, static_cast<s64>(offset), static_cast<s64>(n), buffer.data()) != static_cast<s64>(n)) {
      FailErrno("cannot write data of record " + std::to_string(na->ni->mft_no) + " at " + std::to_string(offset));
    }
    offset += n;
    length -= n;
  }
}

uint64_t PathSeed(const std::string& path, uint64_t seed) { return SplitMix(std::hash<std::string>{}(path) ^ seed); }

std::string JoinPath(const std::string& parent, const std::string& name) {
  return parent == "/" ? "/" + name : parent + "/" + name;
}

std::string ParentPath(const std::vector<std::string>& parts) {
  std::string path;
  for (size_t i = 0; i + 1 < parts.size(); ++i) path += "/" + parts[i];
  return path.empty() ? "/" : path;
}

// The unnamed $DATA runs of the MFT and how many attribute extents hold them.
void MftRunStatistics(ntfs_volume* vol, uint64_t& runs, uint64_t& extents, bool& attributeList) {
  if (ntfs_attr_map_whole_runlist(vol->mft_na) != 0) FailErrno("cannot map the MFT's run list");
  runs = 0;
  for (runlist_element* rl = vol->mft_na->rl; rl->length; ++rl) {
    if (rl->lcn >= 0) ++runs;
  }
  extents = 0;
  ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(vol->mft_ni, nullptr);
  if (!ctx) FailErrno("cannot search record 0");
  while (ntfs_attr_lookup(AT_DATA, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx) == 0) ++extents;
  ntfs_attr_put_search_ctx(ctx);
  attributeList = NInoAttrList(vol->mft_ni);
}

// The names of a record outside the DOS namespace: how many links it has as Windows counts them.
uint32_t NamesOf(ntfs_volume* volume, uint64_t record) {
  CInode ni(volume, record, "names");
  ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni.Get(), nullptr);
  if (!ctx) FailErrno("cannot search record " + std::to_string(record));
  uint32_t names = 0;
  while (ntfs_attr_lookup(AT_FILE_NAME, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx) == 0) {
    const auto* fn = reinterpret_cast<const FILE_NAME_ATTR*>(reinterpret_cast<const u8*>(ctx->attr) +
                                                             le16_to_cpu(ctx->attr->value_offset));
    if (fn->file_name_type != FILE_NAME_DOS) ++names;
  }
  ntfs_attr_put_search_ctx(ctx);
  return names;
}

// The journal's file and its streams, by the names Windows gives them.
constexpr char JOURNAL_NAME[] = "$UsnJrnl";
constexpr char JOURNAL_DATA[] = "$J";
constexpr char JOURNAL_MAX[] = "$Max";

}  // namespace

CVolumeBuilder::CVolumeBuilder(SManifest manifest, std::string imagePath)
    : m_manifest(std::move(manifest)), m_image(std::move(imagePath)) {
  m_root.name = "";
  m_root.record = FILE_root;
  m_root.isDirectory = true;
}

CVolumeBuilder::~CVolumeBuilder() {
  if (m_volume) ntfs_umount(m_volume, TRUE);
}

SBuildReport CVolumeBuilder::Build() {
  // The changes a manifest journals happen after every default time of its entries.
  m_clock = *ParseTime("2022-01-01T00:00:00");
  Format();
  Mount();
  RunAll(m_manifest.commands);
  ApplyPending();
  SBuildReport report;
  report.entriesMade = m_entries;
  report.journalRecords = m_journalRecords;
  MftRunStatistics(m_volume, report.mftRuns, report.mftExtents, report.mftAttributeList);
  Unmount();
  return report;
}

SBuildReport CVolumeBuilder::Change(const std::vector<SCommand>& changes) {
  m_changing = true;
  m_root.childrenRead = false;
  // Changes of an existing volume happen now, as they would on a live system; entries made get
  // default times after every entry a manifest can have made.
  constexpr uint64_t FILETIME_UNIX_EPOCH = 116'444'736'000'000'000ull;
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  m_clock = FILETIME_UNIX_EPOCH + static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) * 10;
  m_entries = 10'000'000;
  Mount();
  OpenJournal();
  RunAll(changes);
  ApplyPending();
  SBuildReport report;
  report.entriesMade = m_entries - 10'000'000;
  report.journalRecords = m_journalRecords;
  MftRunStatistics(m_volume, report.mftRuns, report.mftExtents, report.mftAttributeList);
  Unmount();
  return report;
}

void CVolumeBuilder::RunAll(const std::vector<SCommand>& commands) {
  for (const SCommand& cmd : commands) {
    try {
      Run(cmd);
      WriteJournal();
    } catch (const std::exception& e) {
      throw CBuildError((m_changing ? "change line " : "manifest line ") + std::to_string(cmd.line) + ": " + e.what());
    }
  }
}

void CVolumeBuilder::Format() {
  {
    const int fd = ::open(m_image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) FailErrno("cannot create " + m_image);
    const bool sized = ::ftruncate(fd, static_cast<off_t>(m_manifest.volume.size)) == 0;
    ::close(fd);
    if (!sized) FailErrno("cannot size " + m_image);
  }
  const SVolumeOptions& v = m_manifest.volume;
  const std::string sector = std::to_string(v.sectorSize), cluster = std::to_string(v.clusterSize);
  // -Q quick, -F a file is fine, -T fixed times and serial, so that the same manifest gives the
  // same system files; geometry given so that mkntfs does not ask the "device".
  std::vector<std::string> args = {"mkntfs", "-Q", "-F", "-T", "-q", "-s", sector, "-c", cluster,
                                   "-p", "0", "-H", "0", "-S", "0"};
  if (!v.label.empty()) {
    args.push_back("-L");
    args.push_back(v.label);
  }
  args.push_back(m_image);

  char errorsPath[] = "/tmp/ostrin-mkvol-mkntfs-XXXXXX";
  const int errorsFd = ::mkstemp(errorsPath);
  if (errorsFd < 0) FailErrno("cannot make a temporary file");
  ::unlink(errorsPath);
  const pid_t pid = ::fork();
  if (pid < 0) FailErrno("cannot start mkntfs");
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(errorsFd, 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (const char* candidate : {"/usr/sbin/mkntfs", "/sbin/mkntfs"}) ::execv(candidate, argv.data());
    ::execvp("mkntfs", argv.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::string errors(4096, '\0');
    const ssize_t n = ::pread(errorsFd, errors.data(), errors.size(), 0);
    errors.resize(n > 0 ? static_cast<size_t>(n) : 0);
    ::close(errorsFd);
    throw CBuildError("mkntfs failed (status " + std::to_string(status) + "): " + errors);
  }
  ::close(errorsFd);
}

void CVolumeBuilder::Mount() {
  m_volume = ntfs_mount(m_image.c_str(), NTFS_MNT_NONE);
  if (!m_volume) FailErrno("ntfs-3g cannot mount " + m_image);
  NVolSetCompression(m_volume);
}

void CVolumeBuilder::Unmount() {
  ntfs_volume* vol = std::exchange(m_volume, nullptr);
  if (ntfs_umount(vol, FALSE) != 0) FailErrno("ntfs-3g cannot unmount " + m_image);
}

void CVolumeBuilder::Run(const SCommand& cmd) {
  switch (cmd.kind) {
    case EManifestCommand::Dir:
    case EManifestCommand::File: {
      const std::vector<std::string> parts = SplitPath(cmd.path);
      SNode* parent = MakeParents(parts);
      if (Child(parent, parts.back())) throw CBuildError(cmd.path + " exists already");
      SNode* node = MakeEntry(parent, parts.back(), cmd.kind == EManifestCommand::Dir, &cmd);
      ApplyNameOptions(node, cmd.name);
      for (uint32_t k = 0; k < cmd.content.extraLinks; ++k) {
        std::string name = parts.back() + ".link" + std::to_string(k) + ".";
        while (name.size() < LONG_LINK_NAME_LENGTH) name += static_cast<char>('a' + name.size() % 26);
        SCommand link;
        link.kind = EManifestCommand::Link;
        link.line = cmd.line;
        link.target = cmd.path;
        link.path = JoinPath(ParentPath(parts), name);
        MakeLink(link);
      }
      break;
    }
    case EManifestCommand::Link: MakeLink(cmd); break;
    case EManifestCommand::Delete: Delete(cmd); break;
    case EManifestCommand::MftFrag: FragmentMft(cmd); break;
    case EManifestCommand::Bulk: Bulk(cmd); break;
    case EManifestCommand::Rename: Rename(cmd); break;
    case EManifestCommand::Write:
    case EManifestCommand::Truncate: WriteData(cmd); break;
    case EManifestCommand::Touch:
    case EManifestCommand::Attrs: Touch(cmd); break;
    case EManifestCommand::Journal: MakeJournal(cmd); break;
  }
}

void CVolumeBuilder::ReadChildren(SNode* node) {
  if (node->childrenRead) return;
  node->childrenRead = true;
  if (!node->isDirectory) return;
  struct SFound {
    std::string name;
    uint64_t record;
    bool directory;
  };
  std::vector<SFound> found;
  CInode dir(m_volume, node->record, "directory");
  s64 position = 0;
  const auto fill = [](void* context, const ntfschar* name, const int length, const int type, const s64,
                       const MFT_REF reference, const unsigned kind) -> int {
    const uint64_t record = MREF(reference);
    // The names of system files (the root lists them) and the DOS twins of long names are not
    // the tree's; "." and ".." are the library's own.
    if (type == FILE_NAME_DOS || record < FILE_first_user) return 0;
    WString wide(static_cast<size_t>(length), 0);
    for (int i = 0; i < length; ++i) wide[static_cast<size_t>(i)] = static_cast<WCHAR>(le16_to_cpu(name[i]));
    if (wide == WTEXT(".") || wide == WTEXT("..")) return 0;
    static_cast<std::vector<SFound>*>(context)->push_back({WideToUtf8(wide), record, kind == NTFS_DT_DIR});
    return 0;
  };
  if (ntfs_readdir(dir.Get(), &position, &found, fill) != 0) FailErrno("cannot read the directory " + node->name);
  for (SFound& f : found) {
    auto child = std::make_unique<SNode>();
    child->name = f.name;
    child->parent = node;
    child->record = f.record;
    child->isDirectory = f.directory;
    child->childrenRead = !f.directory;
    node->children[f.name] = std::move(child);
  }
}

CVolumeBuilder::SNode* CVolumeBuilder::Child(SNode* parent, const std::string& name) {
  ReadChildren(parent);
  const auto it = parent->children.find(name);
  return it == parent->children.end() ? nullptr : it->second.get();
}

CVolumeBuilder::SNode* CVolumeBuilder::Find(const std::string& path) {
  SNode* node = &m_root;
  for (const std::string& part : SplitPath(path)) {
    node = Child(node, part);
    if (!node) return nullptr;
  }
  return node;
}

CVolumeBuilder::SNode* CVolumeBuilder::FindExisting(const std::string& path) {
  SNode* node = Find(path);
  if (!node) throw CBuildError(path + " does not exist");
  return node;
}

CVolumeBuilder::SNode* CVolumeBuilder::MakeParents(const std::vector<std::string>& parts) {
  SNode* node = &m_root;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    SNode* child = Child(node, parts[i]);
    if (!child) {
      node = MakeEntry(node, parts[i], true, nullptr);
    } else if (!child->isDirectory) {
      throw CBuildError(parts[i] + " is a file, not a directory");
    } else {
      node = child;
    }
  }
  return node;
}

void CVolumeBuilder::AddNode(SNode* parent, const std::string& name, uint64_t record, bool directory) {
  auto node = std::make_unique<SNode>();
  node->name = name;
  node->parent = parent;
  node->record = record;
  node->isDirectory = directory;
  parent->children[name] = std::move(node);
  ++m_pending[record].names;
}

CVolumeBuilder::SNode* CVolumeBuilder::MakeEntry(SNode* parent, const std::string& name, bool directory,
                                                 const SCommand* cmd) {
  std::vector<ntfschar> uname = ToNtfsName(name);
  CInode dir(m_volume, parent->record, "parent directory");
  CInode ni(ntfs_create(dir.Get(), 0, uname.data(), static_cast<u8>(uname.size()), directory ? S_IFDIR : S_IFREG));
  if (!ni.Get()) FailErrno("cannot create " + name);
  const uint64_t record = ni.Get()->mft_no;
  dir.Close();
  AddNode(parent, name, record, directory);
  SNode* node = parent->children[name].get();

  SPending& pending = m_pending[record];
  pending.times = DefaultTimes(m_entries++);
  if (cmd) pending.options = cmd->entry;
  if (cmd && !directory) WriteContent(ni.Get(), *cmd);
  ni.Close();
  if (m_journal) {
    uint32_t grown = 0;
    if (cmd && !directory && (cmd->content.size > 0 || cmd->content.fragments > 0)) grown |= USN_REASON_DATA_EXTEND;
    if (cmd && !directory && !cmd->content.streams.empty()) grown |= USN_REASON_STREAM_CHANGE | USN_REASON_NAMED_DATA_EXTEND;
    const SSubject subject = Subject(record);
    const uint64_t parentReference = Reference(parent->record);
    const uint32_t create = USN_REASON_FILE_CREATE;
    if (grown) {
      Journal(subject, parentReference, name, {create, create | grown, create | grown | USN_REASON_CLOSE});
    } else {
      Journal(subject, parentReference, name, {create, create | USN_REASON_CLOSE});
    }
  }
  return node;
}

void CVolumeBuilder::WriteContent(ntfs_inode* ni, const SCommand& cmd) {
  const SContent& c = cmd.content;
  const uint64_t seed = PathSeed(cmd.path, cmd.seed);
  if (c.compressed) {
    // The library compresses new non-resident data of an inode whose attribute word says so.
    ni->flags = static_cast<FILE_ATTR_FLAGS>(ni->flags | FILE_ATTR_COMPRESSED);
    ntfs_inode_mark_dirty(ni);
  }
  if (c.noData) {
    if (ntfs_attr_remove(ni, AT_DATA, AT_UNNAMED, 0) != 0) FailErrno("cannot remove the unnamed data of " + cmd.path);
  } else if (c.fragments) {
    WriteFragmented(ni, c.fragments);
  } else if (c.size > 0) {
    CAttr na(ni, AT_DATA, AT_UNNAMED, 0);
    if (c.sparse) {
      for (const auto& [offset, length] : c.sparseRanges) WriteRange(na.Get(), c.fill, seed, offset, length);
      if (na.Get()->data_size < static_cast<s64>(c.size) && ntfs_attr_truncate(na.Get(), static_cast<s64>(c.size))) {
        FailErrno("cannot extend " + cmd.path);
      }
    } else {
      WriteRange(na.Get(), c.fill, seed, 0, c.size);
    }
    if (c.compressed && ntfs_attr_pclose(na.Get()) != 0) FailErrno("cannot finish compressing " + cmd.path);
  }
  for (const SStream& stream : c.streams) {
    std::vector<ntfschar> sname = ToNtfsName(stream.name);
    if (ntfs_attr_add(ni, AT_DATA, sname.data(), static_cast<u8>(sname.size()), nullptr, 0) != 0) {
      FailErrno("cannot add stream " + stream.name + " to " + cmd.path);
    }
    if (stream.size > 0) {
      CAttr na(ni, AT_DATA, sname.data(), static_cast<uint32_t>(sname.size()));
      WriteRange(na.Get(), c.fill, seed ^ std::hash<std::string>{}(stream.name), 0, stream.size);
    }
  }
}

void CVolumeBuilder::WriteFragmented(ntfs_inode* ni, uint32_t fragments) {
  // The clusters are allocated one at a time while the only free space is one-cluster holes, so
  // each lands in a run of its own; the data is written into them afterwards.
  SNode* holes = MakeHoles(fragments + HOLE_SPARE, 1);
  const uint32_t cluster = m_volume->cluster_size;
  {
    CAttr data(ni, AT_DATA, AT_UNNAMED, 0);
    if (!NAttrNonResident(data.Get()) && ntfs_attr_force_non_resident(data.Get()) != 0) {
      FailErrno("cannot make the data of record " + std::to_string(ni->mft_no) + " non-resident");
    }
    for (uint32_t k = 1; k <= fragments; ++k) {
      if (ntfs_attr_truncate_solid(data.Get(), static_cast<s64>(k) * cluster) != 0) {
        FailErrno("cannot allocate fragment " + std::to_string(k));
      }
    }
    WriteRange(data.Get(), EFill::Text, 0, 0, static_cast<uint64_t>(fragments) * cluster);
  }
  RemoveTree(holes);
}

CVolumeBuilder::SNode* CVolumeBuilder::MakeHoles(uint64_t holes, uint32_t holeClusters) {
  // Spacer files of holeClusters clusters each, then a filler that takes all the rest of the free
  // space; removing every other spacer leaves holes that no allocation can merge with free space.
  // Nothing is written: allocating clusters costs no I/O, and unwritten clusters read as zeros.
  const uint32_t cluster = m_volume->cluster_size;
  SNode* dir = MakeEntry(&m_root, HOLES_DIRECTORY, true, nullptr);
  // Returns the cluster after the last one allocated, or -1 when the allocation failed.
  auto allocate = [&](SNode* file, uint64_t clusters) -> s64 {
    CInode ni(m_volume, file->record, "spacer");
    CAttr na(ni.Get(), AT_DATA, AT_UNNAMED, 0);
    if (!NAttrNonResident(na.Get()) && ntfs_attr_force_non_resident(na.Get()) != 0) {
      FailErrno("cannot make a spacer non-resident");
    }
    if (ntfs_attr_truncate_solid(na.Get(), na.Get()->allocated_size + static_cast<s64>(clusters * cluster)) != 0 ||
        ntfs_attr_map_whole_runlist(na.Get()) != 0) {
      return -1;
    }
    s64 end = 0;
    for (const runlist_element* rl = na.Get()->rl; rl->length; ++rl) {
      if (rl->lcn >= 0) end = rl->lcn + rl->length;
    }
    return end;
  };
  char name[32];
  for (uint64_t k = 0; k < 2 * holes; ++k) {
    std::snprintf(name, sizeof name, "s%06llu", static_cast<unsigned long long>(k));
    const s64 end = allocate(MakeEntry(dir, name, false, nullptr), holeClusters);
    if (end < 0) FailErrno("cannot allocate a spacer");
    // A new file's first clusters go where the allocator's data zone position points; left alone,
    // it would jump ahead and the spacers would not lie side by side.
    if (end > m_volume->mft_zone_end && end < m_volume->nr_clusters) m_volume->data1_zone_pos = end;
  }
  // One allocation takes only the first free range of each bitmap block it reads, so the filler
  // grows by the largest piece that still fits until nothing fits.
  SNode* filler = MakeEntry(dir, "filler", false, nullptr);
  if (ntfs_volume_get_free_space(m_volume) != 0) FailErrno("cannot count the free clusters");
  uint64_t piece = static_cast<uint64_t>(m_volume->free_clusters);
  while (piece > 0) {
    if (allocate(filler, piece) >= 0) continue;
    if (errno != ENOSPC) FailErrno("cannot allocate the filler");
    piece /= 2;
  }
  for (uint64_t k = 0; k < 2 * holes; k += 2) {
    std::snprintf(name, sizeof name, "s%06llu", static_cast<unsigned long long>(k));
    DeleteName(dir->children.at(name).get());
  }
  if (ntfs_volume_get_free_space(m_volume) != 0) FailErrno("cannot count the free clusters");
  return dir;
}

void CVolumeBuilder::ApplyNameOptions(SNode* node, const SNameOptions& options) {
  if (options.nameSpace && *options.nameSpace != ENameSpace::Posix) {
    std::vector<ntfschar> uname = ToNtfsName(node->name);
    CInode dir(m_volume, node->parent->record, "parent directory");
    CInode ni(m_volume, node->record, "entry");
    const size_t keyLength = offsetof(FILE_NAME_ATTR, file_name) + uname.size() * sizeof(ntfschar);
    std::vector<u8> key;
    ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni.Get(), nullptr);
    if (!ctx) FailErrno("cannot search record " + std::to_string(node->record));
    while (ntfs_attr_lookup(AT_FILE_NAME, nullptr, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx) == 0) {
      auto* fn = reinterpret_cast<FILE_NAME_ATTR*>(reinterpret_cast<u8*>(ctx->attr) +
                                                   le16_to_cpu(ctx->attr->value_offset));
      if (MREF_LE(fn->parent_directory) == node->parent->record && fn->file_name_length == uname.size() &&
          std::memcmp(reinterpret_cast<u8*>(fn) + offsetof(FILE_NAME_ATTR, file_name), uname.data(), uname.size() * sizeof(ntfschar)) == 0) {
        key.assign(reinterpret_cast<u8*>(fn), reinterpret_cast<u8*>(fn) + keyLength);
        fn->file_name_type = static_cast<FILE_NAME_TYPE_FLAGS>(*options.nameSpace);
        ntfs_inode_mark_dirty(ctx->ntfs_ino);
        break;
      }
    }
    ntfs_attr_put_search_ctx(ctx);
    if (key.empty()) throw CBuildError("the name " + node->name + " is not in its record");
    // The directory index keeps its own copy of the file name, namespace included.
    ntfs_index_context* ictx = ntfs_index_ctx_get(dir.Get(), NTFS_INDEX_I30, 4);
    if (!ictx) FailErrno("cannot search the index of " + node->parent->name);
    if (ntfs_index_lookup(key.data(), static_cast<int>(keyLength), ictx) != 0) {
      ntfs_index_ctx_put(ictx);
      FailErrno("the name " + node->name + " is not in its directory index");
    }
    ictx->entry->key.file_name.file_name_type = static_cast<FILE_NAME_TYPE_FLAGS>(*options.nameSpace);
    ntfs_index_entry_mark_dirty(ictx);
    ntfs_index_ctx_put(ictx);
  }
  if (!options.dosName.empty()) {
    CInode dir(m_volume, node->parent->record, "parent directory");
    CInode ni(m_volume, node->record, "entry");
    // The library closes both inodes, whatever the outcome.
    const int result = ntfs_set_ntfs_dos_name(ni.Release(), dir.Release(), options.dosName.data(),
                                              options.dosName.size(), 0);
    if (result != 0) FailErrno("cannot give " + node->name + " the DOS name " + options.dosName);
  }
}

void CVolumeBuilder::MakeLink(const SCommand& cmd) {
  SNode* target = Find(cmd.target);
  if (!target || target->isDirectory) throw CBuildError("link target " + cmd.target + " is not a file");
  const std::vector<std::string> parts = SplitPath(cmd.path);
  SNode* parent = MakeParents(parts);
  if (Child(parent, parts.back())) throw CBuildError(cmd.path + " exists already");
  std::vector<ntfschar> uname = ToNtfsName(parts.back());
  {
    CInode dir(m_volume, parent->record, "parent directory");
    CInode ni(m_volume, target->record, "link target");
    if (ntfs_link(ni.Get(), dir.Get(), uname.data(), static_cast<u8>(uname.size())) != 0) {
      FailErrno("cannot link " + cmd.path + " to " + cmd.target);
    }
  }
  const uint64_t record = target->record;
  AddNode(parent, parts.back(), record, false);
  ApplyNameOptions(parent->children[parts.back()].get(), cmd.name);
  if (m_journal) {
    const uint32_t link = USN_REASON_HARD_LINK_CHANGE;
    Journal(Subject(record), Reference(parent->record), parts.back(), {link, link | USN_REASON_CLOSE});
  }
}

void CVolumeBuilder::Delete(const SCommand& cmd) {
  SNode* node = Find(cmd.path);
  if (!node) throw CBuildError(cmd.path + " does not exist");
  RemoveTree(node);
}

void CVolumeBuilder::RemoveTree(SNode* node) {
  ReadChildren(node);
  while (!node->children.empty()) RemoveTree(node->children.begin()->second.get());
  DeleteName(node);
}

void CVolumeBuilder::DeleteName(SNode* node) {
  std::vector<ntfschar> uname = ToNtfsName(node->name);
  std::string path;
  for (const SNode* n = node; n != &m_root; n = n->parent) path = "/" + n->name + path;
  // What the journal says of a deleted file is what it was before: its record is gone after.
  SSubject subject;
  uint64_t parentReference = 0;
  bool lastName = true;
  if (m_journal) {
    subject = Subject(node->record);
    parentReference = Reference(node->parent->record);
    lastName = NamesOf(m_volume, node->record) <= 1;
  }
  CInode dir(m_volume, node->parent->record, "parent directory");
  CInode ni(m_volume, node->record, "entry");
  // ntfs_delete closes both inodes, whatever the outcome.
  if (ntfs_delete(m_volume, path.c_str(), ni.Release(), dir.Release(), uname.data(), static_cast<u8>(uname.size()))) {
    FailErrno("cannot delete " + path);
  }
  const uint64_t record = node->record;
  const std::string name = node->name;
  node->parent->children.erase(node->name);
  if (const auto pending = m_pending.find(record); pending != m_pending.end() && --pending->second.names == 0) {
    m_pending.erase(pending);
  }
  if (m_journal) {
    if (lastName) {
      Journal(subject, parentReference, name, {USN_REASON_FILE_DELETE | USN_REASON_CLOSE});
    } else {
      const uint32_t link = USN_REASON_HARD_LINK_CHANGE;
      Journal(subject, parentReference, name, {link, link | USN_REASON_CLOSE});
    }
  }
}

void CVolumeBuilder::FragmentMft(const SCommand& cmd) {
  const std::vector<std::string> parts = SplitPath(cmd.path);
  SNode* dir = Find(cmd.path);
  if (!dir) {
    SCommand mkdir;
    mkdir.kind = EManifestCommand::Dir;
    mkdir.path = cmd.path;
    dir = MakeEntry(MakeParents(parts), parts.back(), true, &mkdir);
  }
  if (!dir->isDirectory) throw CBuildError(cmd.path + " is not a directory");
  // The MFT grows by a few records at a time, each time into the next holes; the first new files
  // take the records the removed spacers left, the rest make it grow.
  // A hole must take a whole index block of the directory in one piece: with small clusters the
  // MFT then takes a hole in several steps, which still give one run. Index blocks use holes too.
  const uint32_t holeClusters = std::max<uint32_t>(1, m_volume->indx_record_size / m_volume->cluster_size);
  SNode* holes = MakeHoles(cmd.runs + cmd.runs / 2 + HOLE_SPARE, holeClusters);
  uint64_t runs = 0, extents = 0, made = 0;
  bool attributeList = false;
  MftRunStatistics(m_volume, runs, extents, attributeList);
  char name[32];
  while (runs < cmd.runs) {
    std::snprintf(name, sizeof name, "m%06llu", static_cast<unsigned long long>(made++));
    MakeEntry(dir, name, false, nullptr);
    if (made % 16 == 0) MftRunStatistics(m_volume, runs, extents, attributeList);
  }
  if (!cmd.keepFiller) RemoveTree(holes);
}

void CVolumeBuilder::Bulk(const SCommand& cmd) {
  const std::vector<std::string> parts = SplitPath(cmd.path);
  SNode* root = Find(cmd.path);
  if (!root) {
    SCommand mkdir;
    mkdir.kind = EManifestCommand::Dir;
    mkdir.path = cmd.path;
    root = MakeEntry(MakeParents(parts), parts.back(), true, &mkdir);
  }
  // Two levels: about the square root of the count on top, the rest below them in turns; or, flat,
  // every directory on top.
  const uint32_t top = cmd.bulkFlat ? cmd.bulkDirs
                                    : std::max<uint32_t>(1, static_cast<uint32_t>(std::ceil(std::sqrt(double(cmd.bulkDirs)))));
  std::vector<SNode*> dirs;
  char name[48];
  for (uint32_t i = 0; i < std::min(top, cmd.bulkDirs); ++i) {
    std::snprintf(name, sizeof name, "d%04u", i);
    dirs.push_back(MakeEntry(root, name, true, nullptr));
  }
  for (uint32_t i = 0; dirs.size() < cmd.bulkDirs; ++i) {
    SNode* parent = dirs[i % top];
    std::snprintf(name, sizeof name, "%s_%04u", parent->name.c_str(), i / top);
    dirs.push_back(MakeEntry(parent, name, true, nullptr));
  }
  uint64_t state = cmd.seed;
  const uint64_t span = cmd.bulkMaxSize - cmd.bulkMinSize + 1;
  uint32_t fileNumber = 0;
  for (size_t d = 0; d < dirs.size(); ++d) {
    const uint32_t count = cmd.bulkFiles / cmd.bulkDirs + (d < cmd.bulkFiles % cmd.bulkDirs ? 1 : 0);
    for (uint32_t k = 0; k < count; ++k) {
      std::snprintf(name, sizeof name, "f%06u.dat", fileNumber++);
      SCommand file;
      file.kind = EManifestCommand::File;
      state = SplitMix(state);
      file.content.size = cmd.bulkMinSize + state % span;
      file.path = name;  // only seeds the content
      MakeEntry(dirs[d], name, false, &file);
    }
  }
}

void CVolumeBuilder::ApplyPending() {
  for (const auto& [record, pending] : m_pending) {
    if (!pending.times) continue;  // another name of a record this run did not make
    CInode ni(m_volume, record, "times");
    ntfs_inode* n = ni.Get();
    const SEntryOptions& o = pending.options;
    n->creation_time = cpu_to_sle64(static_cast<s64>(o.created.value_or(pending.times->created)));
    n->last_data_change_time = cpu_to_sle64(static_cast<s64>(o.written.value_or(pending.times->written)));
    n->last_mft_change_time = n->last_data_change_time;
    n->last_access_time = cpu_to_sle64(static_cast<s64>(o.accessed.value_or(pending.times->accessed)));
    if (o.attributes) {
      n->flags = static_cast<FILE_ATTR_FLAGS>((n->flags & ~ATTR_SETTABLE) | *o.attributes);
    }
    ntfs_inode_mark_dirty(n);
    NInoFileNameSetDirty(n);
    ni.Close();
  }
}

void CVolumeBuilder::Rename(const SCommand& cmd) {
  SNode* node = FindExisting(cmd.path);
  const std::vector<std::string> parts = SplitPath(cmd.target);
  SNode* newParent = MakeParents(parts);
  if (Child(newParent, parts.back())) throw CBuildError(cmd.target + " exists already");
  for (const SNode* up = newParent; up; up = up->parent) {
    if (up == node) throw CBuildError("cannot move " + cmd.path + " into itself");
  }
  SNode* oldParent = node->parent;
  const std::string oldName = node->name, newName = parts.back();
  const uint64_t oldParentReference = m_journal ? Reference(oldParent->record) : 0;
  // NTFS renames by adding the new name and removing the old one, as the library's own driver does.
  std::vector<ntfschar> newUname = ToNtfsName(newName), oldUname = ToNtfsName(oldName);
  {
    CInode dir(m_volume, newParent->record, "new parent directory");
    CInode ni(m_volume, node->record, "renamed entry");
    if (ntfs_link(ni.Get(), dir.Get(), newUname.data(), static_cast<u8>(newUname.size())) != 0) {
      FailErrno("cannot give " + cmd.path + " the name " + cmd.target);
    }
  }
  {
    std::string oldPath;
    for (const SNode* n = node; n != &m_root; n = n->parent) oldPath = "/" + n->name + oldPath;
    CInode dir(m_volume, oldParent->record, "old parent directory");
    CInode ni(m_volume, node->record, "renamed entry");
    if (ntfs_delete(m_volume, oldPath.c_str(), ni.Release(), dir.Release(), oldUname.data(),
                    static_cast<u8>(oldUname.size())) != 0) {
      FailErrno("cannot remove the old name " + cmd.path);
    }
  }
  std::unique_ptr<SNode> moved = std::move(oldParent->children.at(oldName));
  oldParent->children.erase(oldName);
  moved->name = newName;
  moved->parent = newParent;
  newParent->children[newName] = std::move(moved);
  if (m_journal) {
    const SSubject subject = Subject(node->record);
    const uint64_t newParentReference = Reference(newParent->record);
    Journal(subject, oldParentReference, oldName, {USN_REASON_RENAME_OLD_NAME});
    Journal(subject, newParentReference, newName,
            {USN_REASON_RENAME_NEW_NAME, USN_REASON_RENAME_NEW_NAME | USN_REASON_CLOSE});
  }
}

void CVolumeBuilder::WriteData(const SCommand& cmd) {
  SNode* node = FindExisting(cmd.path);
  if (node->isDirectory) throw CBuildError(cmd.path + " is a directory");
  const uint64_t changeTime = NextChangeTime();
  uint32_t reasons = 0;
  {
    CInode ni(m_volume, node->record, "written file");
    {
      CAttr na(ni.Get(), AT_DATA, AT_UNNAMED, 0);
      const uint64_t oldSize = static_cast<uint64_t>(na.Get()->data_size);
      if (cmd.kind == EManifestCommand::Write) {
        WriteRange(na.Get(), cmd.content.fill, PathSeed(cmd.path, changeTime), cmd.offset, cmd.content.size);
        if (cmd.offset < oldSize) reasons |= USN_REASON_DATA_OVERWRITE;
        if (cmd.offset + cmd.content.size > oldSize) reasons |= USN_REASON_DATA_EXTEND;
      } else {
        if (ntfs_attr_truncate(na.Get(), static_cast<s64>(cmd.content.size)) != 0) FailErrno("cannot truncate " + cmd.path);
        reasons = cmd.content.size > oldSize ? USN_REASON_DATA_EXTEND : USN_REASON_DATA_TRUNCATION;
      }
    }
    if (const auto pending = m_pending.find(node->record); pending == m_pending.end() || !pending->second.times) {
      // A write is a write to the file's times too.
      ntfs_inode* n = ni.Get();
      n->last_data_change_time = cpu_to_sle64(static_cast<s64>(changeTime));
      n->last_mft_change_time = n->last_data_change_time;
      ntfs_inode_mark_dirty(n);
    }
    NInoFileNameSetDirty(ni.Get());
    ni.Close();
  }
  if (m_journal) Journal(Subject(node->record), Reference(node->parent->record), node->name, {reasons, reasons | USN_REASON_CLOSE});
}

void CVolumeBuilder::Touch(const SCommand& cmd) {
  SNode* node = FindExisting(cmd.path);
  SEntryOptions options = cmd.entry;
  if (cmd.kind == EManifestCommand::Touch && !options.created && !options.written && !options.accessed) {
    options.written = NextChangeTime();
  }
  const auto pending = m_pending.find(node->record);
  if (pending != m_pending.end() && pending->second.times) {
    SEntryOptions& o = pending->second.options;
    if (options.created) o.created = options.created;
    if (options.written) o.written = options.written;
    if (options.accessed) o.accessed = options.accessed;
    if (options.attributes) o.attributes = options.attributes;
  } else {
    SetTimes(node->record, options);
  }
  const uint32_t basic = USN_REASON_BASIC_INFO_CHANGE;
  if (m_journal) {
    SSubject subject = Subject(node->record);
    // The standard information is written at the end for records made in this run: say now what it
    // will be.
    if (options.attributes) subject.attributes = (subject.attributes & ~ATTR_SETTABLE) | *options.attributes;
    Journal(subject, Reference(node->parent->record), node->name, {basic | USN_REASON_CLOSE});
  }
}

void CVolumeBuilder::SetTimes(uint64_t record, const SEntryOptions& o) {
  CInode ni(m_volume, record, "times");
  ntfs_inode* n = ni.Get();
  if (o.created) n->creation_time = cpu_to_sle64(static_cast<s64>(*o.created));
  if (o.written) n->last_data_change_time = cpu_to_sle64(static_cast<s64>(*o.written));
  if (o.accessed) n->last_access_time = cpu_to_sle64(static_cast<s64>(*o.accessed));
  n->last_mft_change_time = cpu_to_sle64(static_cast<s64>(NextChangeTime()));
  if (o.attributes) n->flags = static_cast<FILE_ATTR_FLAGS>((n->flags & ~ATTR_SETTABLE) | *o.attributes);
  ntfs_inode_mark_dirty(n);
  NInoFileNameSetDirty(n);
  ni.Close();
}

void CVolumeBuilder::MakeJournal(const SCommand& cmd) {
  if (m_journal) throw CBuildError("the volume has a journal already");
  std::vector<ntfschar> name = ToNtfsName(JOURNAL_NAME), data = ToNtfsName(JOURNAL_DATA), max = ToNtfsName(JOURNAL_MAX);
  CInode extend(m_volume, FILE_Extend, "$Extend");
  CInode ni(ntfs_create(extend.Get(), 0, name.data(), static_cast<u8>(name.size()), S_IFREG));
  if (!ni.Get()) FailErrno("cannot create $Extend/$UsnJrnl");
  extend.Close();
  ntfs_inode* n = ni.Get();
  // Windows's journal file has only its two named streams.
  if (ntfs_attr_remove(n, AT_DATA, AT_UNNAMED, 0) != 0) FailErrno("cannot remove the unnamed data of $UsnJrnl");
  u8 value[32];
  const uint64_t fields[4] = {cmd.journalMaxSize, cmd.journalDelta, cmd.journalId, cmd.journalFirst};
  for (size_t i = 0; i < 4; ++i) {
    for (size_t b = 0; b < 8; ++b) value[8 * i + b] = static_cast<u8>(fields[i] >> (8 * b));
  }
  if (ntfs_attr_add(n, AT_DATA, max.data(), static_cast<u8>(max.size()), value, sizeof value) != 0) {
    FailErrno("cannot add $UsnJrnl:$Max");
  }
  if (ntfs_attr_add(n, AT_DATA, data.data(), static_cast<u8>(data.size()), nullptr, 0) != 0) {
    FailErrno("cannot add $UsnJrnl:$J");
  }
  {
    CAttr j(n, AT_DATA, data.data(), static_cast<uint32_t>(data.size()));
    if (ntfs_attr_force_non_resident(j.Get()) != 0) FailErrno("cannot make $UsnJrnl:$J non-resident");
    // Below the lowest valid USN the stream is a hole, as where Windows has let old records go.
    if (cmd.journalFirst > 0 && ntfs_attr_truncate(j.Get(), static_cast<s64>(cmd.journalFirst)) != 0) {
      FailErrno("cannot extend $UsnJrnl:$J");
    }
  }
  n->flags = static_cast<FILE_ATTR_FLAGS>((n->flags & ~ATTR_SETTABLE) | ATTR_HIDDEN | ATTR_SYSTEM);
  // Windows's journal ID is the time the journal was made.
  n->creation_time = n->last_data_change_time = n->last_mft_change_time = n->last_access_time =
      cpu_to_sle64(static_cast<s64>(cmd.journalId));
  ntfs_inode_mark_dirty(n);
  NInoFileNameSetDirty(n);
  m_journalRecord = n->mft_no;
  ni.Close();
  m_journal = std::make_unique<CJournalWriter>(cmd.journalFirst);
}

void CVolumeBuilder::OpenJournal() {
  ntfs_inode* found = ntfs_pathname_to_inode(m_volume, nullptr, "/$Extend/$UsnJrnl");
  if (!found) return;
  CInode ni(found);
  std::vector<ntfschar> data = ToNtfsName(JOURNAL_DATA);
  ntfs_attr* j = ntfs_attr_open(ni.Get(), AT_DATA, data.data(), static_cast<uint32_t>(data.size()));
  if (!j) FailErrno("the volume's $Extend/$UsnJrnl has no $J stream");
  m_journal = std::make_unique<CJournalWriter>(static_cast<uint64_t>(j->data_size));
  ntfs_attr_close(j);
  m_journalRecord = ni.Get()->mft_no;
}

uint64_t CVolumeBuilder::Reference(uint64_t record) {
  CInode ni(m_volume, record, "reference");
  return MK_MREF(record, le16_to_cpu(ni.Get()->mrec->sequence_number));
}

CVolumeBuilder::SSubject CVolumeBuilder::Subject(uint64_t record) {
  CInode ni(m_volume, record, "journal subject");
  ntfs_inode* n = ni.Get();
  SSubject subject;
  subject.reference = MK_MREF(record, le16_to_cpu(n->mrec->sequence_number));
  // The attribute word as Windows reports it: the directory bit set, the index bits of NTFS's own
  // word left out.
  subject.attributes = le32_to_cpu(n->flags) & ~(FILE_ATTR_I30_INDEX_PRESENT | FILE_ATTR_VIEW_INDEX_PRESENT);
  if (n->mrec->flags & MFT_RECORD_IS_DIRECTORY) subject.attributes |= FILE_ATTR_DIRECTORY;
  subject.securityId = le32_to_cpu(n->security_id);
  return subject;
}

void CVolumeBuilder::Journal(const SSubject& subject, uint64_t parentReference, const std::string& name,
                             std::initializer_list<uint32_t> reasons) {
  for (const uint32_t reason : reasons) {
    SUsnRecord record;
    record.file.low = subject.reference;
    record.parent.low = parentReference;
    record.timeStamp = static_cast<int64_t>(NextChangeTime());
    record.reason = reason;
    record.securityId = subject.securityId;
    record.fileAttributes = subject.attributes;
    record.name = Utf8ToWide(name);
    m_journal->Append(record);
    ++m_journalRecords;
    std::printf("%s\n", FormatUsnRecord(record).c_str());
  }
}

void CVolumeBuilder::WriteJournal() {
  if (!m_journal || m_journal->Pending().empty()) return;
  std::vector<ntfschar> data = ToNtfsName(JOURNAL_DATA);
  CInode ni(m_volume, m_journalRecord, "$UsnJrnl");
  {
    CAttr j(ni.Get(), AT_DATA, data.data(), static_cast<uint32_t>(data.size()));
    const std::vector<uint8_t>& bytes = m_journal->Pending();
    const s64 count = static_cast<s64>(bytes.size());
    if (ntfs_attr_pwrite(j.Get(), static_cast<s64>(m_journal->PendingUsn()), count, bytes.data()) != count) {
      FailErrno("cannot write $UsnJrnl:$J");
    }
  }
  ni.Close();
  m_journal->Written();
}

}  // namespace ostrin::mkvol
