// The MFT scan: reads the whole master file table of an open volume in large chunks, parses every
// record in place and hands one entry per accepted name of every in-use base record to a sink (the
// drive index's file tree). Damaged records are skipped and reported, not fatal.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/local_time.h"
#include "platform/types.h"

class CNTFSVolume;

// What the scan hands over for one accepted name of a record.
struct CNodeValues {
  uint64_t record = 0;             // 48-bit record number of the name's own file record
  uint64_t parentRecord = 0;       // 48-bit record number of the parent directory
  const WCHAR* name = nullptr;     // at most 255 units
  uint16_t nameLength = 0;
  uint64_t lastWriteTime = 0;      // FILETIME, local time
  uint64_t creationTime = 0;
  uint64_t lastAccessTime = 0;
  uint32_t attributes = 0;
};

// Where the scan hands its entries, in MFT record order.
class IScanSink {
 public:
  // One accepted name of a directory record (the first one per directory is what the tree keeps).
  virtual void AddDirectory(uint64_t recordNumber, const CNodeValues& values) = 0;
  // One accepted name of a file record with its unnamed data stream's sizes.
  virtual void AddFile(const CNodeValues& values, uint64_t fileSize, uint64_t allocatedSize) = 0;

 protected:
  ~IScanSink() = default;
};

// Why the scan left an in-use record out.
enum class ESkipReason : uint8_t {
  Unreadable,           // the device could not read it (a bad sector)
  NotAFileRecord,       // its signature is not "FILE" ("BAAD": a torn multi-sector write)
  UpdateSequence,       // a sector's update sequence word does not match (a torn write)
  Attributes,           // its attributes cannot be parsed
  AttributeList,        // its attribute list cannot be read
  AttributeListBounds,  // its attribute list is larger, or names more records, than NTFS writes
  ExtensionRecord,      // an extension record it names is damaged
  NoFileName,           // it has no file name attribute
  NulInName,            // a name of it holds a NUL unit, which NTFS never writes
  NoUsableName,         // its only names are empty or in the DOS namespace
};

// How ESkipReason reads in a warning.
const WCHAR* SkipReasonText(ESkipReason reason);

// The damaged records a scan skipped, and the names it left out because their directory no longer
// exists: how many, and the first few of them.
struct CScanDamage {
  struct CSkipped {
    uint64_t record;
    ESkipReason reason;
  };
  static constexpr size_t LISTED_RECORDS = 8;

  uint64_t skippedRecords = 0;
  uint64_t inUseRecords = 0;        // in-use base records seen, the skipped ones included
  std::vector<CSkipped> first;      // at most LISTED_RECORDS
  // Names whose parent reference names a record that is not that directory (any more): not in use,
  // no directory, or used again since (its sequence number differs). They are orphans.
  uint64_t orphanedNames = 0;
  std::vector<uint64_t> firstOrphans;  // their records, at most LISTED_RECORDS
  // Names listed that no path can reach: they hold a backslash, the separator of paths, or they name
  // the second directory of one name in one directory (a path names the first).
  uint64_t unreachableNames = 0;
  std::vector<uint64_t> firstUnreachable;  // their records, at most LISTED_RECORDS

  bool IsEmpty() const { return skippedRecords == 0 && orphanedNames == 0 && unreachableNames == 0; }
  // "3 damaged file records skipped: 37 (update sequence mismatch), 52 (no file name attribute), ...",
  // then "; 1 name whose directory no longer exists left out: 40" when names were orphaned, and
  // "; 1 name listed that no path can reach (a backslash, or a second directory of its name): 41".
  WString Describe() const;
};

// Where a scan reports what it does, and learns whether to stop.
class ScanProgress {
 public:
  using Report = std::function<bool(int32_t percent)>;
  using StopRequested = std::function<bool()>;
  using DamageFound = std::function<void(const CScanDamage& damage)>;

  // The percentage of the one report after the whole build is done (ReportDone); the scan's own reports
  // stay below it.
  static constexpr int32_t PERCENT_DONE = 100;

  // report is called with each new whole percentage below PERCENT_DONE and returns false to stop the scan;
  // stopRequested (when given) is asked before every chunk; damageFound (when given) learns once, at
  // the end of a scan that skipped records or orphaned names, which they were (also when they fail the
  // scan).
  template <typename R>
    requires std::is_invocable_r_v<bool, R&, int32_t>
  ScanProgress(R report) : m_report(std::move(report)) {}  // NOLINT: a plain callable is a progress
  ScanProgress(Report report, StopRequested stopRequested, DamageFound damageFound = nullptr)
      : m_report(std::move(report)), m_stopRequested(std::move(stopRequested)), m_damageFound(std::move(damageFound)) {}

  bool ReportPercent(int32_t percent) const { return m_report(percent); }
  bool ReportDone() const { return m_report(PERCENT_DONE); }
  bool IsStopRequested() const { return m_stopRequested && m_stopRequested(); }
  void ReportDamage(const CScanDamage& damage) const {
    if (m_damageFound) m_damageFound(damage);
  }

 private:
  Report m_report;
  StopRequested m_stopRequested;
  DamageFound m_damageFound;
};

// A scan fails, rather than listing what is left, when more than this share of the in-use records
// and more than this many are damaged: that is no longer a volume but noise.
inline constexpr uint64_t DAMAGED_RECORDS_ALLOWED = 16;
inline constexpr uint64_t DAMAGED_PERCENT_ALLOWED = 1;

// Scans the MFT of an open volume into sink. True when the whole table was scanned, false when the
// progress report or a stop request ended it. Throws code 9 when the table cannot be read to its end
// and code 10 when too many records are damaged; what was handed to the sink is the caller's to
// discard then.
bool ScanMftRecords(CNTFSVolume& volume, IScanSink& sink, const ScanProgress& progress);
// The same with the local time of the caller's converter, for a caller that keeps the bias its image
// was made with.
bool ScanMftRecords(CNTFSVolume& volume, IScanSink& sink, const ScanProgress& progress,
                    const ostrin::platform::CLocalTimeConverter& localTime);

// One name of a record, as the scan hands it over.
struct CRecordEntry {
  CNodeValues values;  // values.name points into the reader's storage until its next Read
  bool isDirectory = false;
  uint64_t fileSize = 0;
  uint64_t allocatedSize = 0;
};

// How reading a record again ended.
enum class ERecordRead : uint8_t {
  Read,      // the record as it is now: its entries (none for a record not in use)
  Damaged,   // the scan would skip it; the reason says why
  TableEnds, // the table cannot be read there (code 9 in a scan)
};

// Reads single records of an open volume again and makes of each exactly what the scan makes of it,
// for updates of an image from the change journal: an updated image is then the one a scan would give.
class CRecordRescanner {
 public:
  // fromSystemCache: the volume is a live volume device, whose records are read through the system's
  // FSCTL_GET_NTFS_FILE_RECORD (NTFS's cache) where it is supported, from the device otherwise.
  CRecordRescanner(CNTFSVolume& volume, const ostrin::platform::CLocalTimeConverter& localTime,
                   bool fromSystemCache = false);
  ~CRecordRescanner();
  CRecordRescanner(const CRecordRescanner&) = delete;
  CRecordRescanner& operator=(const CRecordRescanner&) = delete;

  // The entries of record n as they are now, in the scan's order: none for a record not in use, an
  // extension record, a file without an unnamed data stream, or a record past the table; names whose
  // parent reference no longer names that directory are left out, as the scan leaves them out.
  ERecordRead Read(uint64_t record, std::vector<CRecordEntry>* entries, ESkipReason* reason);
  // Reads the records that Read will be asked for (in ascending order) ahead, neighbours in one read
  // each; a run that cannot be read is left to Read, record by record. Only records read from the
  // device are read ahead.
  void ReadAhead(const std::vector<uint64_t>& records);

 private:
  struct CState;
  std::unique_ptr<CState> m_state;
};
