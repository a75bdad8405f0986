// The records the maker appends to a volume's change journal: encoded as Windows writes them to $J
// (USN_RECORD_V2, 8-byte aligned, never across a block of 4096 bytes, the rest of a block zeros).
// Apart from the ntfs-3g code, whose headers declare names that clash with the project's layouts.
#pragma once

#include <cstdint>
#include <vector>

#include "ntfs/usn_journal.h"

namespace ostrin::mkvol {

class CJournalWriter {
 public:
  // nextUsn: the data size of $J, where the next record goes (rounded up to 8 bytes).
  explicit CJournalWriter(uint64_t nextUsn);

  // Encodes record as version 2.0 at the next USN, which it sets in the record and returns.
  uint64_t Append(SUsnRecord& record);

  // The bytes not yet written to $J (the records and the zeros before them) and the USN they start at.
  const std::vector<uint8_t>& Pending() const { return m_pending; }
  uint64_t PendingUsn() const { return m_pendingUsn; }
  // The pending bytes are in $J now.
  void Written();

  uint64_t NextUsn() const { return m_pendingUsn + m_pending.size(); }

 private:
  uint64_t m_pendingUsn;
  std::vector<uint8_t> m_pending;
};

}  // namespace ostrin::mkvol
