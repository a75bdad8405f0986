// Change stamps of drives.
#include "ntfs/change_stamp.h"

#include "ntfs/ntfs_volume.h"
#include "ntfs/usn_journal.h"

CChangeStamp TakeDeviceStamp(WCHAR letter, const std::string& location) {
  CChangeStamp stamp;
  stamp.location = location;
  stamp.device = ostrin::platform::ReadDeviceStamp(letter, location);
  return stamp;
}

void AddJournalStamp(CNTFSVolume& volume, uint64_t hintRecord, CChangeStamp* stamp) {
  stamp->journal = EJournalStamp::Unreadable;
  if (stamp->device.kind == ostrin::platform::EDeviceKind::VolumeDevice) {
    SUsnJournalState state;
    const SUsnReadResult query = QueryUsnJournalByControl(volume.Device(), &state);
    if (query.result == EUsnRead::Complete) {
      stamp->journal = EJournalStamp::Known;
      stamp->journalId = state.journalId;
      stamp->nextUsn = state.nextUsn;
      return;
    }
    if (query.result == EUsnRead::NoJournal) {
      stamp->journal = EJournalStamp::Absent;
      return;
    }
    if (query.result != EUsnRead::NotSupported) return;
  }
  CUsnJournal journal(volume);
  const SUsnJournalState state = journal.Locate(hintRecord);
  if (state.state == EUsnJournal::Absent) {
    stamp->journal = EJournalStamp::Absent;
  } else if (state.state == EUsnJournal::Present) {
    stamp->journal = EJournalStamp::Known;
    stamp->journalId = state.journalId;
    stamp->nextUsn = state.nextUsn;
    stamp->journalRecord = state.record;
  }
}

bool IsUnchanged(const CChangeStamp& before, const CChangeStamp& now) {
  if (before.location != now.location || !ostrin::platform::SameDeviceState(before.device, now.device)) return false;
  if (before.journal == EJournalStamp::Unreadable || now.journal != before.journal) return false;
  // A volume device tells nothing of its own: without a journal every look counts as a change.
  if (now.device.kind == ostrin::platform::EDeviceKind::VolumeDevice && now.journal != EJournalStamp::Known) {
    return false;
  }
  return now.journal == EJournalStamp::Absent ||
         (now.journalId == before.journalId && now.nextUsn == before.nextUsn);
}
