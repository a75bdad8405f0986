// CDriveIndex: the state of one drive in the service: its volume, the tree while it is built, the
// published image of its newest generation (and the one before, still published), and the index of
// the image's entries kept for updating it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "index/file_tree.h"
#include "index/image_walk.h"
#include "index/kept_index.h"
#include "ntfs/change_stamp.h"
#include "ntfs/ntfs_volume.h"
#include "platform/local_time.h"
#include "platform/shared_section.h"
#include "platform/types.h"

// What an update from the change journal starts from: the newest image with its kept index, its
// stamp and the local time its times were made with, held so that a close of the drive meanwhile does
// not take them away.
struct CImageBase {
  std::shared_ptr<const ostrin::platform::CSharedSection> section;
  std::shared_ptr<const CKeptIndex> kept;
  uint64_t imageSize = 0;
  CChangeStamp stamp;
  ostrin::platform::CLocalTimeConverter localTime;
};

// How an update from the change journal ended.
enum class EJournalUpdate : uint8_t {
  Updated,   // the next generation is published
  FullScan,  // the journal cannot be trusted for it (the reason says why): the volume is to be scanned
  Aborted,   // the progress report or a stop request ended it
};

// Changed records up to this share of the image's entries are read again one by one; beyond it a
// scan costs less.
inline constexpr uint64_t JOURNAL_UPDATE_MAX_PERCENT = 10;

class CDriveIndex : public IScanSink {
 public:
  CDriveIndex();
  ~CDriveIndex();
  CDriveIndex(const CDriveIndex&) = delete;
  CDriveIndex& operator=(const CDriveIndex&) = delete;

  // --- The whole build ----------------------------------------------------------------------------
  // Scans the volume of the letter, links the tree, publishes its image under the letter as sent as
  // the letter's next generation, keeps the index of its entries and frees the tree; then reports
  // done (ScanProgress::ReportDone; the scan reports the percentages before it). Returns false when the progress report
  // stopped the scan. On every way out but success the drive is left not open with its volume closed;
  // every failure is thrown (also one of the final report, which comes after the image is published:
  // the drive is then open).
  bool Build(WCHAR letterAsSent, const ScanProgress& progress);

  // Takes over the generation that next built (its volume, image, kept index and stamp) as this
  // drive's newest; the image published before stays published until the following one replaces it,
  // older ones are let go. next is left not open.
  void TakeGeneration(CDriveIndex& next);

  // Updates the image of base from the records of the volume's change journal since base's stamp:
  // opens the volume of the letter again, reads the journal from the stamp's USN to the next, reads
  // every record it names (and their old and new directories) again and publishes the next generation
  // made of base's image with those records' entries replaced. FullScan (with *reason set, nothing
  // published, the volume closed) whenever the journal cannot be trusted for that: no journal, another
  // journal, records lost or damaged, a read failure, more changed records than the share above, a
  // damaged record among them, another local time, or a device that changed while its journal did not
  // move. Failures of the volume and of publishing are thrown as in Build.
  EJournalUpdate UpdateFromJournal(WCHAR letterAsSent, const CImageBase& base, const ScanProgress& progress,
                                   std::string* reason);
  // What an update of this drive starts from (empty when the drive is not open).
  CImageBase Base() const;

  // Whether the drive's volume is as its stamp found it: reads the stamp again (the letter's mapping
  // from the configuration, the device, the journal), never the MFT.
  bool IsCurrent(WCHAR letter);

  // --- The MFT scan -------------------------------------------------------------------------------
  // Opens the volume of a letter and hands every accepted name of its MFT to the tree. True when the
  // whole MFT was scanned, false when the progress report or a stop request ended it (the tree is then
  // discarded). Damaged records are skipped and reported to the progress; every failure is thrown,
  // after the tree is discarded. The drive's change stamp is taken before the MFT is read.
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
  // Creates the section of the letter's next generation (GenerationSectionName), writes the image of
  // the linked tree into it, with the kept index of its entries, and keeps the section open; the
  // section published before it stays open, the one before that is closed. Throws 12, 13 or 14 (the
  // volume is then closed and nothing of the new image is kept).
  void PublishImage(WCHAR letterAsSent);
  // Closes the volume and every section and forgets the image.
  void Close();

  CNTFSVolume& Volume() { return *m_volume; }
  CDirectory* Root() const { return m_root; }
  uint64_t ImageSize() const { return m_imageSize; }
  const WString& SectionName() const { return m_sectionName; }
  bool IsOpen() const { return m_imageSize != 0; }
  // The newest image's generation (counted per letter over the service's run), when it was published
  // (FILETIME, UTC), its entries, and the index kept beside it.
  uint64_t Generation() const { return m_generation; }
  uint64_t BuiltAt() const { return m_builtAt; }
  uint64_t EntryCount() const { return m_entryCount; }
  const CKeptIndex& Kept() const;
  // What the newest image holds, summed in one walk of it the first time a generation is asked for;
  // nothing when no image is published or it does not walk (it never should: the service wrote it).
  std::optional<CImageTotals> Totals();
  const CChangeStamp& Stamp() const { return m_stamp; }
  // The name of the previous generation's section, still published (empty when there is none).
  const WString& PreviousSectionName() const { return m_previousSectionName; }

  // Record number under which the root is entered.
  static constexpr uint64_t ROOT_RECORD = 5;

 private:
  std::unique_ptr<CNTFSVolume> m_volume;
  // Directory table: record number to directory (not owning), with the order in which the scan
  // entered them, so that subdirectories are linked in MFT record order.
  std::unordered_map<uint64_t, CDirectory*> m_directories;
  std::vector<CDirectory*> m_directoryOrder;
  std::vector<CFile*> m_files;         // owned until attached
  std::vector<CDirectory*> m_orphans;  // directories whose parent is not in the table
  CDirectory* m_root = nullptr;
  // The memory of every node and name of the build, released with the tree.
  CNodeArena m_nodes;
  // Creates the section of the letter's next generation; throws 12, 13 or 14 after closing the volume.
  std::shared_ptr<ostrin::platform::CSharedSection> CreateGenerationSection(WCHAR letterAsSent, uint64_t size,
                                                                            uint64_t* generation, WString* name);
  // Makes a section just written the newest generation; the one before stays published.
  void AdoptImage(std::shared_ptr<ostrin::platform::CSharedSection> section, WString name, uint64_t generation,
                  uint64_t size, uint64_t entries, std::shared_ptr<CKeptIndex> kept);
  // The device and the journal's part of the stamp, then the volume opened: the start of a build and
  // of an update.
  void OpenVolume(WCHAR letter, uint64_t journalHint);

  // The newest image's section stays mapped for the service's own reads: an update copies from it.
  std::shared_ptr<ostrin::platform::CSharedSection> m_section;
  std::shared_ptr<ostrin::platform::CSharedSection> m_previousSection;
  uint64_t m_imageSize = 0;
  WString m_sectionName;
  WString m_previousSectionName;
  uint64_t m_generation = 0;
  uint64_t m_builtAt = 0;
  uint64_t m_entryCount = 0;
  std::shared_ptr<CKeptIndex> m_kept;
  CImageTotals m_totals;
  uint64_t m_totalsGeneration = 0;  // the generation m_totals is of; 0: none summed yet
  CChangeStamp m_stamp;
  // The local time the newest image's times were made with.
  ostrin::platform::CLocalTimeConverter m_localTime;
};

// The section name of a letter's generation: "Global\OstrinNT_Drive_", the letter as sent, "-", the
// service run's mark (16 hexadecimal digits, drawn at start), "-" and the generation in decimal. No
// name comes twice in a run, nor (by the mark) in the next run while a client still holds an old one.
WString GenerationSectionName(WCHAR letterAsSent, uint64_t generation);
