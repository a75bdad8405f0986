// CDriveIndex: the state of one drive in the service: its volume, the tree while it is built, and the
// published image.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "index/file_tree.h"
#include "ntfs/ntfs_volume.h"
#include "platform/shared_section.h"
#include "platform/types.h"

class CDriveIndex : public IScanSink {
 public:
  CDriveIndex();
  ~CDriveIndex();
  CDriveIndex(const CDriveIndex&) = delete;
  CDriveIndex& operator=(const CDriveIndex&) = delete;

  // --- The whole build ----------------------------------------------------------------------------
  // Scans the volume of the letter, links the tree, publishes its image under the letter as sent and
  // frees the tree; then reports PROGRESS_DONE (the scan reports the percentages before it). Returns
  // false when the progress report stopped the scan. On every way out but success the drive is left
  // not open with its volume closed; every failure is thrown (also one of the final report, which
  // comes after the image is published: the drive is then open).
  bool Build(WCHAR letterAsSent, const ScanProgress& progress);

  // --- The MFT scan -------------------------------------------------------------------------------
  // Opens the volume of a letter and hands every accepted name of its MFT to the tree. True when the
  // whole MFT was scanned, false when the progress report or a stop request ended it (the tree is then
  // discarded). Damaged records are skipped and reported to the progress; every failure is thrown,
  // after the tree is discarded.
  bool ScanMft(WCHAR letter, const ScanProgress& progress);
  // The same for a volume already open (by letter or by path).
  bool ScanVolume(const ScanProgress& progress);

  // --- The tree -----------------------------------------------------------------------------------
  // Enters a directory under its record number, with the first of its names handed over.
  void AddDirectory(uint64_t recordNumber, const CNodeValues& values) override;
  // Adds one name of a file; a file with names in several directories is added once per directory.
  void AddFile(const CNodeValues& values, uint64_t fileSize, uint64_t allocatedSize) override;
  // Deletes every node handed over so far.
  void DiscardNodes();
  // Creates the root (record 5) and hangs every directory under its parent.
  void LinkTree();
  // Hangs every file under its parent and deletes whatever did not reach the root.
  void AttachFiles();
  // Deletes the tree under the root, and the root.
  void DeleteTree();

  // --- The image ----------------------------------------------------------------------------------
  // Creates the section of the drive ("Global\OstrinNT_Drive_" and the letter as sent), writes the
  // image of the linked tree into it and keeps the section open. Throws 12, 13 or 14 (the volume is
  // then closed and nothing of the image is kept).
  void PublishImage(WCHAR letterAsSent);
  // Closes the volume and the section and forgets the image.
  void Close();

  CNTFSVolume& Volume() { return m_volume; }
  CDirectory* Root() const { return m_root; }
  uint64_t ImageSize() const { return m_imageSize; }
  const WString& SectionName() const { return m_sectionName; }
  bool IsOpen() const { return m_imageSize != 0; }

  // Record number under which the root is entered.
  static constexpr uint64_t ROOT_RECORD = 5;

 private:
  CNTFSVolume m_volume;
  // Directory table: record number to directory (not owning), with the order in which the scan
  // entered them, so that subdirectories are linked in MFT record order.
  std::unordered_map<uint64_t, CDirectory*> m_directories;
  std::vector<CDirectory*> m_directoryOrder;
  std::vector<CFile*> m_files;         // owned until attached
  std::vector<CDirectory*> m_orphans;  // directories whose parent is not in the table
  CDirectory* m_root = nullptr;
  // The memory of every node and name of the build, released with the tree.
  CNodeArena m_nodes;
  ostrin::platform::CSharedSection m_section;
  uint64_t m_imageSize = 0;
  WString m_sectionName;
};
