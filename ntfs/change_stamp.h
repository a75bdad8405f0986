// The change stamp of a drive: what tells, without reading the MFT, whether its volume may have
// changed since the stamp was taken: the device (an image file's identity, size and times, or a block
// device's sectors written) and the change journal (its ID and next USN), where the volume keeps one.
#pragma once

#include <cstdint>
#include <string>

#include "platform/device_stamp.h"
#include "platform/types.h"

class CNTFSVolume;

enum class EJournalStamp : uint8_t {
  Absent,      // the volume keeps no journal: the device alone tells
  Known,       // journalId and nextUsn hold
  Unreadable,  // there is one, but it could not be read: counts as changed
};

struct CChangeStamp {
  std::string location;  // the letter's mapping when the stamp was taken (empty: its own device)
  ostrin::platform::CDeviceStamp device;
  EJournalStamp journal = EJournalStamp::Unreadable;
  uint64_t journalId = 0;
  uint64_t nextUsn = 0;
  uint64_t journalRecord = 0;  // where $UsnJrnl was found: the hint for the next look
};

// The device part of a letter's stamp, read before the volume is opened (a change between the two then
// shows at the next look).
CChangeStamp TakeDeviceStamp(WCHAR letter, const std::string& location);

// Adds the journal part from the open volume of that letter: on a volume device through the system's
// control, elsewhere (and where the control is not supported) from the volume's own $Extend\$UsnJrnl,
// which reads a few records, never the MFT. hintRecord is an earlier stamp's journalRecord (0: none).
void AddJournalStamp(CNTFSVolume& volume, uint64_t hintRecord, CChangeStamp* stamp);

// True when now shows the volume of before unchanged: the same mapping, the same device in the same
// settled state, and the same journal at the same next USN (or no journal, both times).
bool IsUnchanged(const CChangeStamp& before, const CChangeStamp& now);
