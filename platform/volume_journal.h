// The change journal through the system's own controls on a live volume device (Windows:
// FSCTL_QUERY_USN_JOURNAL, FSCTL_READ_USN_JOURNAL, FSCTL_GET_NTFS_FILE_RECORD). Elsewhere, on an image
// file, and wherever the system does not support them (Wine), every call answers NotSupported and the
// caller reads the volume's own $Extend\$UsnJrnl instead (ntfs/usn_journal.h).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/volume_device.h"

namespace ostrin::platform {

// How a control ended.
enum class EJournalControl : uint8_t {
  Done,
  NotActive,         // ERROR_JOURNAL_NOT_ACTIVE: the volume keeps no journal
  DeleteInProgress,  // ERROR_JOURNAL_DELETE_IN_PROGRESS
  EntryDeleted,      // ERROR_JOURNAL_ENTRY_DELETED: the start USN is no longer in the journal
  NotSupported,      // ERROR_NOT_SUPPORTED, ERROR_INVALID_FUNCTION, no device of the system's own
  Failed,            // any other error; *systemError tells which
};

// FSCTL_QUERY_USN_JOURNAL's answer (USN_JOURNAL_DATA_V0 to V2; fields a version lacks are 0).
struct SJournalQuery {
  uint64_t journalId = 0;
  uint64_t firstUsn = 0;
  uint64_t nextUsn = 0;
  uint64_t lowestValidUsn = 0;
  uint64_t maxUsn = 0;
  uint64_t maximumSize = 0;
  uint64_t allocationDelta = 0;
  uint16_t minSupportedMajorVersion = 0;
  uint16_t maxSupportedMajorVersion = 0;
};

// The journal's state. systemError (may be null) receives the system's error code of a failure.
EJournalControl QueryUsnJournal(const CVolumeDevice& device, SJournalQuery* query, uint32_t* systemError);

// One FSCTL_READ_USN_JOURNAL call: the records of journal journalId from startUsn on (versions 2 to
// 4, every reason, without waiting), into *records (resized to what arrived, after the leading
// next-USN word), and the USN to ask for next in *nextUsn. A call that returns no records has reached
// the end.
EJournalControl ReadUsnJournal(const CVolumeDevice& device, uint64_t journalId, uint64_t startUsn,
                               std::vector<uint8_t>* records, uint64_t* nextUsn, uint32_t* systemError);

// FSCTL_GET_NTFS_FILE_RECORD: the record from NTFS's cache, fix-ups applied. The system answers with
// the nearest record in use at or below recordNumber: *returnedRecord is the number it gave, which the
// caller must compare with what it asked for.
EJournalControl GetNtfsFileRecord(const CVolumeDevice& device, uint64_t recordNumber, std::vector<uint8_t>* record,
                                  uint64_t* returnedRecord, uint32_t* systemError);

}  // namespace ostrin::platform
