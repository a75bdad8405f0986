// CDriveIndex: the tree of a drive while it is built, and publishing its image in generations.
#include "index/drive_index.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <utility>

#include "common/configuration.h"
#include "common/exceptions.h"
#include "common/text.h"
#include "common/protocol.h"
#include "index/image_format.h"
#include "index/index_errors.h"

namespace {

// The mark of this run of the service in its section names, drawn once.
uint64_t RunMark() {
  static const uint64_t mark = [] {
    std::random_device random;
    const auto now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return (static_cast<uint64_t>(random()) << 32 ^ random()) ^ now * 0x9E3779B97F4A7C15ULL;
  }();
  return mark;
}

// The generations of each letter (either case counts as one), over the whole run; the last counter is
// for anything else a caller may publish under.
std::array<std::atomic<uint64_t>, 27> g_generations{};

uint64_t NextGeneration(WCHAR letter) {
  const WCHAR upper = AsciiUpper(letter);
  const size_t index = upper >= 'A' && upper <= 'Z' ? static_cast<size_t>(upper - 'A') : 26;
  return g_generations[index].fetch_add(1) + 1;
}

// Now as a FILETIME (100 ns units since 1601), UTC.
uint64_t FileTimeNow() {
  constexpr uint64_t UNIX_EPOCH_AS_FILETIME = 116444736000000000ULL;
  const auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return UNIX_EPOCH_AS_FILETIME + static_cast<uint64_t>(since1970.count() / 100);
}

}  // namespace

WString GenerationSectionName(WCHAR letterAsSent, uint64_t generation) {
  char mark[40];
  std::snprintf(mark, sizeof mark, "-%016llx-%llu", static_cast<unsigned long long>(RunMark()),
                static_cast<unsigned long long>(generation));
  return WString(IMAGE_SECTION_NAME_PREFIX) + letterAsSent + Utf8ToWide(mark);
}

CDriveIndex::CDriveIndex() : m_volume(std::make_unique<CNTFSVolume>()) {}

CDriveIndex::~CDriveIndex() { Close(); }

bool CDriveIndex::Build(WCHAR letterAsSent, const ScanProgress& progress) {
  try {
    if (!ScanMft(letterAsSent, progress)) {
      m_volume->Reset();
      return false;
    }
    LinkTree();
    AttachFiles();
    PublishImage(letterAsSent);
    DeleteTree();
  } catch (...) {
    // Whatever stopped the build (the volume, the scan, publishing, or memory running out in any of
    // them), the drive ends not open and its device is not held until the next build.
    Close();
    throw;
  }
  progress.ReportPercent(PROGRESS_DONE);
  return true;
}

bool CDriveIndex::ScanMft(WCHAR letter, const ScanProgress& progress) {
  // The stamp comes first: whatever changes from here on shows at the next look.
  const std::string location = ReadConfigurationFile().VolumeOf(letter);
  m_stamp = TakeDeviceStamp(letter, location);
  m_volume->OpenLetter(letter, location);
  AddJournalStamp(*m_volume, 0, &m_stamp);
  return ScanVolume(progress);
}

bool CDriveIndex::IsCurrent(WCHAR letter) {
  if (!m_volume->IsOpen()) return false;
  CChangeStamp now = TakeDeviceStamp(letter, ReadConfigurationFile().VolumeOf(letter));
  // The journal is looked at only when the device tells no change.
  if (now.location != m_stamp.location || !ostrin::platform::SameDeviceState(m_stamp.device, now.device)) return false;
  AddJournalStamp(*m_volume, m_stamp.journalRecord, &now);
  return IsUnchanged(m_stamp, now);
}

void CDriveIndex::TakeGeneration(CDriveIndex& next) {
  m_volume.swap(next.m_volume);
  next.m_volume->Reset();
  // This drive's newest image becomes the previous one; the one before it goes.
  m_previousSection = std::move(m_section);
  m_previousSectionName = std::move(m_sectionName);
  m_section = std::move(next.m_section);
  next.m_previousSection.reset();
  next.m_previousSectionName.clear();
  m_sectionName = std::move(next.m_sectionName);
  next.m_sectionName.clear();
  m_imageSize = std::exchange(next.m_imageSize, 0);
  m_generation = std::exchange(next.m_generation, 0);
  m_builtAt = std::exchange(next.m_builtAt, 0);
  m_entryCount = std::exchange(next.m_entryCount, 0);
  std::swap(m_kept, next.m_kept);
  next.m_kept.Clear();
  m_stamp = std::move(next.m_stamp);
}

bool CDriveIndex::ScanVolume(const ScanProgress& progress) {
  try {
    if (ScanMftRecords(*m_volume, *this, progress)) return true;
  } catch (...) {
    DiscardNodes();
    throw;
  }
  DiscardNodes();
  return false;
}

void CDriveIndex::AddDirectory(uint64_t recordNumber, const CNodeValues& values) {
  // The root owns its record number; a directory is entered once, with the first name handed over.
  if (recordNumber == ROOT_RECORD || m_directories.count(recordNumber) != 0) return;
  CNodeValues directoryValues = values;
  directoryValues.attributes |= IMAGE_ATTRIBUTE_DIRECTORY;
  // Once in the order list the directory is deleted with the others, also when the table cannot
  // take it; a node that not even the list took is only arena memory (it holds nothing yet).
  m_directoryOrder.push_back(new (m_nodes) CDirectory(directoryValues, m_nodes));
  m_directories.emplace(recordNumber, m_directoryOrder.back());
}

void CDriveIndex::AddFile(const CNodeValues& values, uint64_t fileSize, uint64_t allocatedSize) {
  m_files.push_back(new (m_nodes) CFile(values, m_nodes, fileSize, allocatedSize));
}

void CDriveIndex::DiscardNodes() {
  // Works at any stage of a build. While the table still lists the directories, each one is deleted
  // through it, once, after every directory (the root included) has given up the subdirectories that
  // linking hung under it; files still in the list are not attached anywhere.
  if (!m_directoryOrder.empty()) {
    if (m_root != nullptr) m_root->ReleaseSubdirectories();
    for (CDirectory* directory : m_directoryOrder) directory->ReleaseSubdirectories();
    for (CDirectory* directory : m_directoryOrder) delete directory;
  }
  for (CFile* file : m_files) delete file;
  m_directories.clear();
  m_directoryOrder.clear();
  m_files.clear();
  m_orphans.clear();
  DeleteTree();
}

void CDriveIndex::LinkTree() {
  m_root = new (m_nodes) CDirectory(CNodeValues{}, m_nodes);
  m_directories[ROOT_RECORD] = m_root;
  for (CDirectory* directory : m_directoryOrder) {
    const auto parent = m_directories.find(directory->ParentRecord());
    if (parent != m_directories.end()) {
      parent->second->AddChild(directory);
    } else {
      m_orphans.push_back(directory);
    }
  }
}

void CDriveIndex::AttachFiles() {
  // Files come in record order, and the files of one directory mostly follow each other: the last
  // parent found is tried before the table. A first pass counts each directory's files, so that its
  // children list is made once at its full size.
  uint64_t lastParent = ROOT_RECORD;
  CDirectory* lastDirectory = m_root;
  const auto parentOf = [&](const CFile* file) {
    if (file->ParentRecord() != lastParent) {
      const auto parent = m_directories.find(file->ParentRecord());
      lastParent = file->ParentRecord();
      lastDirectory = parent != m_directories.end() ? parent->second : nullptr;
    }
    return lastDirectory;
  };
  for (const CFile* file : m_files) {
    if (CDirectory* parent = parentOf(file)) parent->ExpectChild();
  }
  m_root->ReserveExpectedChildren();
  for (CDirectory* directory : m_directoryOrder) directory->ReserveExpectedChildren();
  for (CFile*& file : m_files) {
    if (CDirectory* parent = parentOf(file)) {
      parent->AddChild(file);
    } else {
      delete file;
    }
    file = nullptr;
  }
  // The lists of the scan are given back now: the image is written next, beside the tree.
  std::vector<CFile*>().swap(m_files);

  // Whatever does not reach the root goes: orphans with everything below them, and directories whose
  // parents form a loop (they point at each other, so no subtree deletion would ever reach them).
  std::vector<CDirectory*> pending{m_root};
  m_root->SetReached();
  while (!pending.empty()) {
    CDirectory* directory = pending.back();
    pending.pop_back();
    for (CFileBase* child : directory->Children()) {
      if (child->IsDirectory() && !static_cast<CDirectory*>(child)->IsReached()) {
        static_cast<CDirectory*>(child)->SetReached();
        pending.push_back(static_cast<CDirectory*>(child));
      }
    }
  }
  std::vector<CDirectory*> unreached;
  for (CDirectory* directory : m_directoryOrder) {
    if (!directory->IsReached()) unreached.push_back(directory);
  }
  // Unhook first, delete after: a directory's children may be unreached directories deleted before it.
  for (CDirectory* directory : unreached) directory->ReleaseSubdirectories();
  for (CDirectory* directory : unreached) delete directory;
  std::vector<CDirectory*>().swap(m_directoryOrder);
  std::vector<CDirectory*>().swap(m_orphans);
  std::unordered_map<uint64_t, CDirectory*>().swap(m_directories);
}

void CDriveIndex::DeleteTree() {
  delete m_root;
  m_root = nullptr;
  // The arena goes with the last node.
  if (m_directoryOrder.empty() && m_files.empty()) m_nodes.Release();
}

void CDriveIndex::PublishImage(WCHAR letterAsSent) {
  uint64_t entries = 0;
  const uint64_t imageSize = m_root->ComputeImageSize(&entries);
  const uint64_t generation = NextGeneration(letterAsSent);
  WString sectionName = GenerationSectionName(letterAsSent, generation);
  auto section = std::make_unique<ostrin::platform::CSharedSection>();
  ostrin::platform::SectionFailure failure = ostrin::platform::SectionFailure::None;
  // The section may be read by those whom the access rule lets read the drive, as they are now.
  const COstrinConfiguration configuration = ReadConfigurationFile();
  const ostrin::platform::CSectionReaders readers =
      ostrin::platform::SectionReadersOf(configuration.access, AsciiUpper(letterAsSent), configuration.VolumeOf(letterAsSent));
  if (!section->Create(sectionName, imageSize, &failure, readers)) {
    // The system's reason goes with the text: the client sees why the image could not be published.
    const CWinErrException error(
        failure == ostrin::platform::SectionFailure::Security ? ERROR_SECTION_SECURITY.code
        : failure == ostrin::platform::SectionFailure::Map    ? ERROR_SECTION_MAP.code
                                                              : ERROR_SECTION_CREATE.code,
        failure == ostrin::platform::SectionFailure::Security ? ERROR_SECTION_SECURITY.text
        : failure == ostrin::platform::SectionFailure::Map    ? ERROR_SECTION_MAP.text
                                                              : ERROR_SECTION_CREATE.text);
    m_volume->Reset();
    throw error;
  }
  CKeptIndex kept;
  kept.Reserve(entries);
  auto* start = static_cast<uint8_t*>(section->View());
  m_root->WriteImage(start, start, 0, &kept);
  kept.Seal();
  section->Unmap();
  m_previousSection = std::move(m_section);
  m_previousSectionName = std::move(m_sectionName);
  m_section = std::move(section);
  m_sectionName = std::move(sectionName);
  m_imageSize = imageSize;
  m_generation = generation;
  m_builtAt = FileTimeNow();
  m_entryCount = entries;
  m_kept = std::move(kept);
}

void CDriveIndex::Close() {
  m_volume->Reset();
  m_section.reset();
  m_previousSection.reset();
  m_imageSize = 0;
  m_sectionName.clear();
  m_previousSectionName.clear();
  m_generation = 0;
  m_builtAt = 0;
  m_entryCount = 0;
  m_kept.Clear();
  m_stamp = CChangeStamp();
  DiscardNodes();
}
