// The journal controls on Linux: there are none; the volume's own journal is read instead.
#include "platform/volume_journal.h"

namespace ostrin::platform {
namespace {

EJournalControl NotSupported(uint32_t* systemError) {
  if (systemError != nullptr) *systemError = 0;
  return EJournalControl::NotSupported;
}

}  // namespace

EJournalControl QueryUsnJournal(const CVolumeDevice&, SJournalQuery*, uint32_t* systemError) { return NotSupported(systemError); }

EJournalControl ReadUsnJournal(const CVolumeDevice&, uint64_t, uint64_t, std::vector<uint8_t>*, uint64_t*, uint32_t* systemError) {
  return NotSupported(systemError);
}

EJournalControl GetNtfsFileRecord(const CVolumeDevice&, uint64_t, std::vector<uint8_t>*, uint64_t*, uint32_t* systemError) {
  return NotSupported(systemError);
}

}  // namespace ostrin::platform
