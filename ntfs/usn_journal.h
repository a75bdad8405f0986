// The change journal of a volume ($Extend\$UsnJrnl): finding it, its state from $Max and the size of
// $J, and reading its records from a USN on. One parser of record bytes serves the $J stream of a
// volume, a $J stream copied out of one, and the buffers FSCTL_READ_USN_JOURNAL returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ntfs/usn_layout.h"
#include "platform/types.h"

class CNTFSVolume;
namespace ostrin::platform {
class CVolumeDevice;
}

// A file ID as a journal record gives it: 128 bits in versions 3 and 4, the 64-bit reference (record
// number in the low 48 bits, sequence number above) zero-extended in version 2.
struct SUsnFileId {
  uint64_t low = 0;
  uint64_t high = 0;
  uint64_t RecordNumber() const;      // the low 48 bits
  uint16_t SequenceNumber() const;    // bits 48 to 63
  bool operator==(const SUsnFileId&) const = default;
};

struct SUsnExtent {
  int64_t offset = 0;
  int64_t length = 0;
  bool operator==(const SUsnExtent&) const = default;
};

// One record of the journal, parsed and checked.
struct SUsnRecord {
  uint64_t usn = 0;
  uint16_t majorVersion = 0;  // 2, 3 or 4
  uint16_t minorVersion = 0;
  SUsnFileId file;
  SUsnFileId parent;
  int64_t timeStamp = 0;      // UTC FILETIME; 0 in version 4
  uint32_t reason = 0;        // USN_REASON_* bits
  uint32_t sourceInfo = 0;
  uint32_t securityId = 0;    // 0 in version 4
  uint32_t fileAttributes = 0;  // 0 in version 4
  WString name;               // empty in version 4
  // Version 4 only: the extents of this record, and how many more follow in later records.
  uint32_t remainingExtents = 0;
  std::vector<SUsnExtent> extents;
  bool operator==(const SUsnRecord&) const = default;
};

// Parses the one record at the start of bytes (available bytes there). Returns its length, or 0 with
// *problem set when the bytes are not a whole, consistent record: its length (at least the fixed part
// of its version, a multiple of 8, within available), its version (2, 3 or 4), its name (offset and
// length inside the record, an even length) and, in version 4, its extents (inside the record).
size_t ParseUsnRecord(const uint8_t* bytes, size_t available, SUsnRecord* record, std::string* problem);

// One line of ostrin-volinfo --journal: USN, major version, file and parent reference (32 hex digits),
// reason, source info, attributes (0x%08x), time stamp (decimal FILETIME), name ('\', tab and line
// break written \\, \t, \n), extents; version 4: "-" for attributes, time and name and the extents as
// rem=N;OFFSET+LENGTH,...; the others end with "-". Tab-separated, without the line break.
std::string FormatUsnRecord(const SUsnRecord& record);

// Called for every record read, in USN order; returning false ends the read (EUsnRead::Stopped).
using UsnRecordVisitor = std::function<bool(const SUsnRecord&)>;

// How a read of records ended. Every result but Complete and Stopped means the records since the
// start cannot be trusted: the caller has to take the volume as it is instead (a full scan).
enum class EUsnRead : uint8_t {
  Complete,        // every record from the start up to the next USN was read
  Stopped,         // the visitor asked to stop
  NoJournal,       // the volume has no journal (or the control says none is active)
  JournalChanged,  // the journal's ID is not the one expected: it was deleted and made again
  Wrapped,         // the start lies below the lowest valid USN: records since were overwritten
  PastEnd,         // the start lies past the next USN
  BadBytes,        // the bytes at usn are not a record where one must be (or $Max is damaged)
  ReadFailure,     // the stream could not be read (a device error)
  NotSupported,    // the system's control is not supported (Wine, another file system)
  JournalDeleting, // the control says the journal is being deleted
};

// The text of a result, for logs and events ("bad bytes", "journal ID changed", ...).
const char* UsnReadText(EUsnRead result);

struct SUsnReadResult {
  EUsnRead result = EUsnRead::Complete;
  uint64_t usn = 0;       // Complete: the next USN; Stopped: the USN after the last record visited;
                          // BadBytes: the USN of the bad bytes; otherwise the start
  uint64_t records = 0;   // records handed to the visitor
  std::string problem;    // what was wrong, for the log ("bad bytes at USN 4096: ..."); empty on success
};

// Reads bytes of a $J stream: exactly length bytes at a USN (holes as zeros); false when they cannot
// be read.
using UsnStreamReader = std::function<bool(uint64_t usn, uint8_t* buffer, size_t length)>;

// Walks the records of a $J stream from fromUsn (8-byte aligned) up to endUsn. A record lies in one
// block of USN_BLOCK_SIZE bytes and carries its own USN; a zero length word ends a block, whose rest
// must be zeros (a whole block of zeros is a hole). Reads a bounded window at a time.
SUsnReadResult ReadUsnStream(const UsnStreamReader& reader, uint64_t fromUsn, uint64_t endUsn,
                             const UsnRecordVisitor& visitor);

// Walks the records of one FSCTL_READ_USN_JOURNAL output buffer (after its leading next-USN word):
// records back to back, each with a USN of at least fromUsn and above the one before. Returns Complete
// with usn set to the last record's USN + 1 (or fromUsn when empty), or BadBytes.
SUsnReadResult ReadUsnBuffer(const uint8_t* bytes, size_t size, uint64_t fromUsn, const UsnRecordVisitor& visitor);

// What a volume's journal is, as $Extend\$UsnJrnl tells.
enum class EUsnJournal : uint8_t {
  Absent,   // no $UsnJrnl in $Extend (or no $Extend)
  Present,
  Damaged,  // there is one, but its record, $Max or $J cannot be used (problem says why)
};

struct SUsnJournalState {
  EUsnJournal state = EUsnJournal::Absent;
  std::string problem;          // Damaged: why
  uint64_t journalId = 0;
  uint64_t lowestValidUsn = 0;  // from $Max
  uint64_t nextUsn = 0;         // the data size of $J
  uint64_t maximumSize = 0;
  uint64_t allocationDelta = 0;
  uint64_t record = 0;          // the record number of $UsnJrnl: the hint for the next look-up
  uint64_t reference = 0;       // its file reference (with the sequence number)
};

// The journal of an open volume. Finding it reads record 11 ($Extend) and its index, then the record
// of $UsnJrnl, or only that record when the hint still holds: a few small reads, never a scan.
class CUsnJournal {
 public:
  explicit CUsnJournal(CNTFSVolume& volume);
  ~CUsnJournal();
  CUsnJournal(const CUsnJournal&) = delete;
  CUsnJournal& operator=(const CUsnJournal&) = delete;

  // Looks the journal up. recordHint (0: none) is the record number a previous look-up found; it is
  // used when that record is still in use, is named $UsnJrnl and lies in $Extend, and otherwise the
  // name is looked up in $Extend's index again. Never throws.
  SUsnJournalState Locate(uint64_t recordHint = 0);

  // The state of the last Locate.
  const SUsnJournalState& State() const { return m_state; }

  // Reads the records from fromUsn to the next USN of the last Locate, which must have found the
  // journal with the ID expectedJournalId. Checks, in this order: a journal at all (NoJournal; a
  // damaged one: BadBytes), its ID (JournalChanged), fromUsn against the lowest valid USN (Wrapped)
  // and the next USN (PastEnd), then reads $J through the volume's attribute reads. Never throws.
  SUsnReadResult Read(uint64_t fromUsn, uint64_t expectedJournalId, const UsnRecordVisitor& visitor);

  // Reads exactly length bytes of $J at a USN (holes read as zeros), as the last Locate found it;
  // false when it found none or the read fails.
  bool ReadStreamBytes(uint64_t usn, uint8_t* buffer, size_t length);

 private:
  struct SStreams;
  SUsnJournalState Damaged(std::string problem);
  // Checks record n as the journal's record and reads its state; false when it is not $UsnJrnl.
  bool TryRecord(uint64_t record, SUsnJournalState* state);

  CNTFSVolume& m_volume;
  SUsnJournalState m_state;
  std::unique_ptr<SStreams> m_streams;  // the record and $J of the last Locate that found one
};

// The journal of a live volume device through the system's controls (platform/volume_journal.h), as
// Windows keeps it in its cache. QueryUsnJournalByControl fills *state (record and reference stay 0)
// and returns Complete, or why the control cannot say: NoJournal (not active), JournalDeleting,
// NotSupported (Wine, an image file, Linux), ReadFailure.
SUsnReadResult QueryUsnJournalByControl(const ostrin::platform::CVolumeDevice& device, SUsnJournalState* state);

// Reads the records from fromUsn of the journal expectedJournalId through FSCTL_READ_USN_JOURNAL until
// the returned next USN stops moving, each buffer through ReadUsnBuffer. The results are those of
// CUsnJournal::Read; ERROR_JOURNAL_ENTRY_DELETED is Wrapped.
SUsnReadResult ReadUsnJournalByControl(const ostrin::platform::CVolumeDevice& device, uint64_t fromUsn,
                                       uint64_t expectedJournalId, const UsnRecordVisitor& visitor);
