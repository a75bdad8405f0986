// CDriveIndex: the tree of a drive while it is built, and publishing its image.
#include "index/drive_index.h"

#include <memory>

#include "common/exceptions.h"
#include "common/protocol.h"
#include "index/image_format.h"
#include "index/index_errors.h"

CDriveIndex::CDriveIndex() = default;

CDriveIndex::~CDriveIndex() { Close(); }

bool CDriveIndex::Build(WCHAR letterAsSent, const ScanProgress& progress) {
  try {
    if (!ScanMft(letterAsSent, progress)) {
      m_volume.Reset();
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
  m_volume.OpenLetter(letter);
  return ScanVolume(progress);
}

bool CDriveIndex::ScanVolume(const ScanProgress& progress) {
  try {
    if (ScanMftRecords(m_volume, *this, progress)) return true;
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
  const uint64_t imageSize = m_root->ComputeImageSize();
  WString sectionName = WString(IMAGE_SECTION_NAME_PREFIX) + letterAsSent;
  ostrin::platform::SectionFailure failure = ostrin::platform::SectionFailure::None;
  if (!m_section.Create(sectionName, imageSize, &failure)) {
    // The system's reason goes with the text: the client sees why the image could not be published.
    const CWinErrException error(
        failure == ostrin::platform::SectionFailure::Security ? ERROR_SECTION_SECURITY.code
        : failure == ostrin::platform::SectionFailure::Map    ? ERROR_SECTION_MAP.code
                                                              : ERROR_SECTION_CREATE.code,
        failure == ostrin::platform::SectionFailure::Security ? ERROR_SECTION_SECURITY.text
        : failure == ostrin::platform::SectionFailure::Map    ? ERROR_SECTION_MAP.text
                                                              : ERROR_SECTION_CREATE.text);
    m_volume.Reset();
    m_imageSize = 0;
    m_sectionName.clear();
    throw error;
  }
  auto* start = static_cast<uint8_t*>(m_section.View());
  m_root->WriteImage(start, start, 0);
  m_section.Unmap();
  m_imageSize = imageSize;
  m_sectionName = std::move(sectionName);
}

void CDriveIndex::Close() {
  m_volume.Reset();
  m_section.Close();
  m_imageSize = 0;
  m_sectionName.clear();
  DiscardNodes();
}
