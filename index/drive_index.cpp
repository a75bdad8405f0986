// CDriveIndex: the tree of a drive while it is built, and publishing its image in generations.
#include "index/drive_index.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <set>
#include <memory>
#include <random>
#include <utility>

#include "common/configuration.h"
#include "common/exceptions.h"
#include "common/text.h"
#include "index/image_format.h"
#include "index/image_writer.h"
#include "index/index_errors.h"
#include "ntfs/usn_journal.h"

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
  progress.ReportDone();
  return true;
}

void CDriveIndex::OpenVolume(WCHAR letter, uint64_t journalHint) {
  // The stamp comes first: whatever changes from here on shows at the next look.
  const std::string location = ReadConfigurationFile().VolumeOf(letter);
  m_stamp = TakeDeviceStamp(letter, location);
  m_volume->OpenLetter(letter, location);
  AddJournalStamp(*m_volume, journalHint, &m_stamp);
}

bool CDriveIndex::ScanMft(WCHAR letter, const ScanProgress& progress) {
  OpenVolume(letter, 0);
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
  m_kept = std::move(next.m_kept);
  m_stamp = std::move(next.m_stamp);
  m_localTime = next.m_localTime;
}

bool CDriveIndex::ScanVolume(const ScanProgress& progress) {
  try {
    m_localTime = ostrin::platform::CLocalTimeConverter();
    if (ScanMftRecords(*m_volume, *this, progress, m_localTime)) return true;
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

std::shared_ptr<ostrin::platform::CSharedSection> CDriveIndex::CreateGenerationSection(WCHAR letterAsSent,
                                                                                     uint64_t size,
                                                                                     uint64_t* generation,
                                                                                     WString* name) {
  *generation = NextGeneration(letterAsSent);
  *name = GenerationSectionName(letterAsSent, *generation);
  auto section = std::make_shared<ostrin::platform::CSharedSection>();
  ostrin::platform::SectionFailure failure = ostrin::platform::SectionFailure::None;
  // The section may be read by those whom the access rule lets read the drive, as they are now.
  const COstrinConfiguration configuration = ReadConfigurationFile();
  const ostrin::platform::CSectionReaders readers =
      ostrin::platform::SectionReadersOf(configuration.access, AsciiUpper(letterAsSent), configuration.VolumeOf(letterAsSent));
  if (!section->Create(*name, size, &failure, readers)) {
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
  return section;
}

void CDriveIndex::AdoptImage(std::shared_ptr<ostrin::platform::CSharedSection> section, WString name,
                             uint64_t generation, uint64_t size, uint64_t entries, std::shared_ptr<CKeptIndex> kept) {
  m_previousSection = std::move(m_section);
  m_previousSectionName = std::move(m_sectionName);
  m_section = std::move(section);
  m_sectionName = std::move(name);
  m_imageSize = size;
  m_generation = generation;
  m_builtAt = FileTimeNow();
  m_entryCount = entries;
  m_kept = std::move(kept);
}

void CDriveIndex::PublishImage(WCHAR letterAsSent) {
  uint64_t entries = 0;
  const uint64_t imageSize = m_root->ComputeImageSize(&entries);
  uint64_t generation = 0;
  WString sectionName;
  std::shared_ptr<ostrin::platform::CSharedSection> section =
      CreateGenerationSection(letterAsSent, imageSize, &generation, &sectionName);
  auto kept = std::make_shared<CKeptIndex>();
  kept->Reserve(entries);
  auto* start = static_cast<uint8_t*>(section->View());
  m_root->WriteImage(start, start, 0, kept.get());
  kept->Seal();
  AdoptImage(std::move(section), std::move(sectionName), generation, imageSize, entries, std::move(kept));
}

const CKeptIndex& CDriveIndex::Kept() const {
  static const CKeptIndex none;
  return m_kept ? *m_kept : none;
}

std::optional<CImageTotals> CDriveIndex::Totals() {
  if (!IsOpen()) return std::nullopt;
  if (m_totalsGeneration != m_generation) {
    if (!TotalImage(static_cast<const uint8_t*>(m_section->View()), m_imageSize, &m_totals)) return std::nullopt;
    m_totalsGeneration = m_generation;
  }
  return m_totals;
}

CImageBase CDriveIndex::Base() const {
  CImageBase base;
  if (!IsOpen()) return base;
  base.section = m_section;
  base.kept = m_kept;
  base.imageSize = m_imageSize;
  base.stamp = m_stamp;
  base.localTime = m_localTime;
  return base;
}

EJournalUpdate CDriveIndex::UpdateFromJournal(WCHAR letterAsSent, const CImageBase& base, const ScanProgress& progress,
                                              std::string* reason) {
  const auto fullScan = [&](std::string why) {
    *reason = std::move(why);
    m_volume->Reset();
    return EJournalUpdate::FullScan;
  };
  const auto journalText = [](EJournalStamp journal) {
    return journal == EJournalStamp::Absent ? "the volume keeps no journal" : "its journal cannot be read";
  };
  if (!base.section || !base.kept || base.section->View() == nullptr) return fullScan("no image to update");
  if (base.stamp.journal != EJournalStamp::Known) return fullScan(journalText(base.stamp.journal));
  OpenVolume(letterAsSent, base.stamp.journalRecord);
  if (m_stamp.location != base.stamp.location) return fullScan("the letter names another volume now");
  if (m_stamp.journal != EJournalStamp::Known) return fullScan(journalText(m_stamp.journal));
  if (m_stamp.journalId != base.stamp.journalId) return fullScan("the journal ID changed");
  if (m_stamp.nextUsn < base.stamp.nextUsn) return fullScan("the stored USN lies past the journal's next USN");
  if (m_stamp.nextUsn == base.stamp.nextUsn) return fullScan("the volume changed while its journal did not move");
  const ostrin::platform::CLocalTimeConverter localTime;
  if (!(localTime == base.localTime)) return fullScan("the local time's offset from UTC changed");

  // The records the journal names since the stamp, and the directories they were and are in.
  const uint64_t allowed = std::max<uint64_t>(1, base.kept->EntryCount() * JOURNAL_UPDATE_MAX_PERCENT / 100);
  std::set<uint64_t> records;
  const UsnRecordVisitor collect = [&](const SUsnRecord& record) {
    records.insert(record.file.RecordNumber());
    records.insert(record.parent.RecordNumber());
    return records.size() <= allowed + 1;  // the parent of the first change is counted free
  };
  SUsnReadResult read;
  read.result = EUsnRead::NotSupported;
  if (m_stamp.device.kind == ostrin::platform::EDeviceKind::VolumeDevice) {
    read = ReadUsnJournalByControl(m_volume->Device(), base.stamp.nextUsn, base.stamp.journalId, collect);
  }
  if (read.result == EUsnRead::NotSupported) {
    records.clear();
    CUsnJournal journal(*m_volume);
    journal.Locate(m_stamp.journalRecord);
    read = journal.Read(base.stamp.nextUsn, base.stamp.journalId, collect);
  }
  if (read.result == EUsnRead::Stopped) {
    return fullScan("more records changed than " + std::to_string(JOURNAL_UPDATE_MAX_PERCENT) +
                    " % of the image's entries");
  }
  if (read.result != EUsnRead::Complete) {
    return fullScan(std::string("the journal: ") + UsnReadText(read.result) +
                    (read.problem.empty() ? std::string() : " (" + read.problem + ")"));
  }
  if (progress.IsStopRequested()) {
    m_volume->Reset();
    return EJournalUpdate::Aborted;
  }

  // Each record as a scan makes it now.
  CRecordRescanner rescanner(*m_volume, localTime,
                             m_stamp.device.kind == ostrin::platform::EDeviceKind::VolumeDevice);
  CImageSplice::Changes changes;
  std::deque<WString> names;  // the names of the changed records' entries, in place while the splice runs
  std::vector<CRecordEntry> entries;
  rescanner.ReadAhead(std::vector<uint64_t>(records.begin(), records.end()));
  for (const uint64_t record : records) {
    ESkipReason skipped = ESkipReason::Unreadable;
    const ERecordRead result = rescanner.Read(record, &entries, &skipped);
    if (result == ERecordRead::TableEnds) return fullScan("record " + std::to_string(record) + " cannot be read");
    if (result == ERecordRead::Damaged) {
      return fullScan("record " + std::to_string(record) + " is damaged (" + WideToUtf8(SkipReasonText(skipped)) + ")");
    }
    for (CRecordEntry& entry : entries) {
      names.emplace_back(entry.values.name, entry.values.nameLength);
      entry.values.name = names.back().c_str();
    }
    changes.emplace(record, entries);
  }

  CImageSplice splice(static_cast<const uint8_t*>(base.section->View()), base.imageSize, *base.kept, changes);
  std::string problem;
  if (!splice.Plan(&problem)) return fullScan("the image before cannot be updated: " + problem);
  if (progress.IsStopRequested()) {
    m_volume->Reset();
    return EJournalUpdate::Aborted;
  }
  uint64_t generation = 0;
  WString sectionName;
  std::shared_ptr<ostrin::platform::CSharedSection> section =
      CreateGenerationSection(letterAsSent, splice.Size(), &generation, &sectionName);
  auto kept = std::make_shared<CKeptIndex>();
  splice.Write(static_cast<uint8_t*>(section->View()), kept.get());
  AdoptImage(std::move(section), std::move(sectionName), generation, splice.Size(), splice.EntryCount(), std::move(kept));
  m_localTime = localTime;
  progress.ReportDone();
  return EJournalUpdate::Updated;
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
  m_kept.reset();
  m_stamp = CChangeStamp();
  DiscardNodes();
}
