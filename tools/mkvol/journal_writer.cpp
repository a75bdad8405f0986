// Encoding journal records for the volume maker.
#include "tools/mkvol/journal_writer.h"

#include <stdexcept>

#include "common/byte_order.h"

namespace ostrin::mkvol {
namespace {

template <typename T>
void Put(std::vector<uint8_t>& bytes, size_t at, T value) {
  WriteLE<T>(bytes.data() + at, value);
}

}  // namespace

CJournalWriter::CJournalWriter(uint64_t nextUsn)
    : m_pendingUsn((nextUsn + USN_RECORD_ALIGNMENT - 1) / USN_RECORD_ALIGNMENT * USN_RECORD_ALIGNMENT) {}

uint64_t CJournalWriter::Append(SUsnRecord& record) {
  const size_t nameBytes = record.name.size() * sizeof(uint16_t);
  const size_t length =
      (offsetof(USN_RECORD_V2, fileName) + nameBytes + USN_RECORD_ALIGNMENT - 1) / USN_RECORD_ALIGNMENT * USN_RECORD_ALIGNMENT;
  if (length > USN_BLOCK_SIZE) throw std::runtime_error("a journal record longer than a block");
  uint64_t usn = NextUsn();
  const uint64_t room = USN_BLOCK_SIZE - usn % USN_BLOCK_SIZE;
  if (length > room) {
    m_pending.resize(m_pending.size() + room, 0);
    usn += room;
  }
  record.usn = usn;
  record.majorVersion = 2;
  record.minorVersion = 0;
  const size_t at = m_pending.size();
  m_pending.resize(at + length, 0);
  const auto field = [at](size_t offset) { return at + offset; };
  Put<uint32_t>(m_pending, field(offsetof(USN_RECORD_V2, header.recordLength)), static_cast<uint32_t>(length));
  Put<uint16_t>(m_pending, field(offsetof(USN_RECORD_V2, header.majorVersion)), 2);
  Put<uint16_t>(m_pending, field(offsetof(USN_RECORD_V2, header.minorVersion)), 0);
  Put<uint64_t>(m_pending, field(offsetof(USN_RECORD_V2, fileReference)), record.file.low);
  Put<uint64_t>(m_pending, field(offsetof(USN_RECORD_V2, parentReference)), record.parent.low);
  Put<int64_t>(m_pending, field(offsetof(USN_RECORD_V2, usn)), static_cast<int64_t>(usn));
  Put<int64_t>(m_pending, field(offsetof(USN_RECORD_V2, timeStamp)), record.timeStamp);
  Put<uint32_t>(m_pending, field(offsetof(USN_RECORD_V2, reason)), record.reason);
  Put<uint32_t>(m_pending, field(offsetof(USN_RECORD_V2, sourceInfo)), record.sourceInfo);
  Put<uint32_t>(m_pending, field(offsetof(USN_RECORD_V2, securityId)), record.securityId);
  Put<uint32_t>(m_pending, field(offsetof(USN_RECORD_V2, fileAttributes)), record.fileAttributes);
  Put<uint16_t>(m_pending, field(offsetof(USN_RECORD_V2, fileNameLength)), static_cast<uint16_t>(nameBytes));
  Put<uint16_t>(m_pending, field(offsetof(USN_RECORD_V2, fileNameOffset)), offsetof(USN_RECORD_V2, fileName));
  for (size_t i = 0; i < record.name.size(); ++i) {
    Put<uint16_t>(m_pending, field(offsetof(USN_RECORD_V2, fileName) + 2 * i), static_cast<uint16_t>(record.name[i]));
  }
  return usn;
}

void CJournalWriter::Written() {
  m_pendingUsn = NextUsn();
  m_pending.clear();
}

}  // namespace ostrin::mkvol
