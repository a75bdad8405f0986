// The attribute family: resident and non-resident bodies, run lists, and the attribute type classes.
#include "ntfs/attributes.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "common/byte_order.h"
#include "common/text.h"
#include "ntfs/file_record.h"
#include "ntfs/ntfs_volume.h"
#include "platform/code_page.h"
#include "platform/local_time.h"
#include "platform/volume_device.h"

namespace {

// Header byte of a mapping pair: low nibble = bytes of the cluster count, high nibble = bytes of the
// LCN offset; 0 ends the run list.
constexpr unsigned MAX_RUN_FIELD_BYTES = 8;

// Multiplies two byte counts; false when the product does not fit 64 bits.
bool MultiplyFits(uint64_t a, uint64_t b, uint64_t* product) {
  if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a) return false;
  *product = a * b;
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// CAttrBase

CAttrBase::CAttrBase(const uint8_t* header, CFileRecord* owner)
    : m_header(header),
      m_bytesPerSector(owner->Volume()->BytesPerSector()),
      m_clusterSize(owner->Volume()->ClusterSize()),
      m_indexBlockSize(owner->Volume()->IndexBlockSize()),
      m_device(&owner->Volume()->Device()),
      m_owner(owner) {}

CAttrBase::~CAttrBase() = default;

uint32_t CAttrBase::Type() const { return READ_FIELD(ATTRIBUTE_HEADER, type, m_header); }

uint32_t CAttrBase::Length() const { return READ_FIELD(ATTRIBUTE_HEADER, length, m_header); }

bool CAttrBase::IsNonResident() const { return READ_FIELD(ATTRIBUTE_HEADER, nonResident, m_header) != 0; }

uint8_t CAttrBase::NameLength() const { return READ_FIELD(ATTRIBUTE_HEADER, nameLength, m_header); }

uint16_t CAttrBase::Flags() const { return READ_FIELD(ATTRIBUTE_HEADER, flags, m_header); }

bool CAttrBase::IsWellFormed(const uint8_t* header, uint32_t length) {
  if (length < sizeof(ATTRIBUTE_HEADER)) return false;
  const uint8_t nameLength = READ_FIELD(ATTRIBUTE_HEADER, nameLength, header);
  if (nameLength != 0) {
    const uint32_t nameOffset = READ_FIELD(ATTRIBUTE_HEADER, nameOffset, header);
    if (nameOffset + 2u * nameLength > length) return false;
  }
  if (READ_FIELD(ATTRIBUTE_HEADER, nonResident, header) == 0) {
    if (length < sizeof(RESIDENT_ATTRIBUTE_HEADER)) return false;
    const uint64_t valueOffset = READ_FIELD(RESIDENT_ATTRIBUTE_HEADER, valueOffset, header);
    const uint64_t valueLength = READ_FIELD(RESIDENT_ATTRIBUTE_HEADER, valueLength, header);
    return valueOffset + valueLength <= length;
  }
  if (length < sizeof(NONRESIDENT_ATTRIBUTE_HEADER)) return false;
  const uint32_t runsOffset = READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, mappingPairsOffset, header);
  return runsOffset < length;
}

// ---------------------------------------------------------------------------------------------------
// CAttrResident

CAttrResident::CAttrResident(const uint8_t* header, CFileRecord* owner)
    : CAttrBase(header, owner),
      m_value(header + READ_FIELD(RESIDENT_ATTRIBUTE_HEADER, valueOffset, header)),
      m_valueLength(READ_FIELD(RESIDENT_ATTRIBUTE_HEADER, valueLength, header)) {}

uint64_t CAttrResident::GetValueSize(uint64_t* allocatedSize) const {
  if (allocatedSize != nullptr) *allocatedSize = m_valueLength;
  return m_valueLength;
}

bool CAttrResident::ReadValue(uint64_t offset, void* destination, uint32_t length, uint32_t* bytesRead) {
  *bytesRead = 0;
  if (length == 0) return true;
  // The whole 64-bit offset counts: an offset of 4 GiB + 1 is past the end, not at byte 1.
  if (offset >= m_valueLength) return false;
  const uint32_t count = std::min<uint32_t>(length, m_valueLength - static_cast<uint32_t>(offset));
  std::memcpy(destination, m_value + offset, count);
  *bytesRead = count;
  return true;
}

// ---------------------------------------------------------------------------------------------------
// CAttrNonResident

CAttrNonResident::CAttrNonResident(const uint8_t* header, CFileRecord* owner) : CAttrBase(header, owner) {
  const auto firstVcn = static_cast<int64_t>(READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, firstVcn, header));
  const auto lastVcn = static_cast<int64_t>(READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, lastVcn, header));
  // An empty value has last VCN = first VCN - 1; a last VCN below that is damage: no clusters at all.
  if (firstVcn >= 0 && lastVcn >= firstVcn - 1 && lastVcn < std::numeric_limits<int64_t>::max()) {
    m_vcnCount = static_cast<uint64_t>(lastVcn - firstVcn + 1);
  }
  DecodeRuns();
}

uint64_t CAttrNonResident::FirstVcn() const { return READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, firstVcn, m_header); }

void CAttrNonResident::DecodeRuns() {
  const uint8_t* end = m_header + Length();
  const uint8_t* p = m_header + READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, mappingPairsOffset, m_header);
  int64_t lcn = 0;
  uint64_t vcn = 0;
  m_runsValid = false;
  while (true) {
    if (p >= end) return;  // a run list must end with its 0 byte inside the attribute
    const uint8_t b = *p;
    if (b == 0) break;
    const unsigned lengthBytes = b & 0x0F;
    const unsigned offsetBytes = b >> 4;
    if (lengthBytes > MAX_RUN_FIELD_BYTES || offsetBytes > MAX_RUN_FIELD_BYTES) break;
    if (static_cast<size_t>(end - p) < 1u + lengthBytes + offsetBytes) return;
    ++p;
    uint64_t count = 0;
    for (unsigned i = 0; i < lengthBytes; ++i) count |= static_cast<uint64_t>(p[i]) << (8 * i);
    p += lengthBytes;
    if (static_cast<int64_t>(count) < 0) break;
    if (count == 0) return;  // a run without clusters is damage
    uint64_t offsetBits = 0;
    for (unsigned i = 0; i < offsetBytes; ++i) offsetBits |= static_cast<uint64_t>(p[i]) << (8 * i);
    if (offsetBytes > 0 && offsetBytes < 8 && (p[offsetBytes - 1] & 0x80) != 0) {
      offsetBits |= ~uint64_t{0} << (8 * offsetBytes);  // sign extension
    }
    p += offsetBytes;
    const auto offset = static_cast<int64_t>(offsetBits);
    if ((offset > 0 && lcn > std::numeric_limits<int64_t>::max() - offset) ||
        (offset < 0 && lcn < std::numeric_limits<int64_t>::min() - offset)) {
      return;
    }
    lcn += offset;
    if (lcn < 0) return;
    if (vcn > std::numeric_limits<uint64_t>::max() - count) return;
    const uint64_t lastVcn = vcn + count - 1;
    if (lastVcn >= m_vcnCount) {
      // The runs claim more clusters than the attribute's VCN range: trust none of them.
      m_runs.Clear();
      return;
    }
    m_runs.Append(new tagDataRun_Entry{offsetBytes == 0 ? SPARSE_RUN_LCN : lcn, count, vcn, lastVcn});
    vcn += count;
  }
  m_runsValid = true;
}

uint64_t CAttrNonResident::GetValueSize(uint64_t* allocatedSize) const {
  if (allocatedSize != nullptr) *allocatedSize = READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, allocatedSize, m_header);
  return READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, dataSize, m_header);
}

bool CAttrNonResident::ReadRunClusters(uint64_t vcn, uint32_t count, void* destination, uint64_t destinationSize,
                                       uint64_t* bytesRead) {
  *bytesRead = 0;
  m_lastReadFault = EReadFault::Unmapped;
  if (vcn > m_vcnCount || count > m_vcnCount - vcn) return false;
  if (destinationSize < static_cast<uint64_t>(count) * m_clusterSize) return false;
  auto* out = static_cast<uint8_t*>(destination);
  uint64_t clustersRead = 0;
  for (const tagDataRun_Entry* run : m_runs) {
    if (count == 0) break;
    if (vcn < run->startVcn || vcn > run->lastVcn) continue;
    const uint64_t take = std::min<uint64_t>(count, run->lastVcn - vcn + 1);
    const uint64_t bytes = take * m_clusterSize;
    if (run->lcn == SPARSE_RUN_LCN) {
      std::memset(out, 0, bytes);
    } else {
      uint64_t position = 0;
      if (!MultiplyFits(static_cast<uint64_t>(run->lcn) + (vcn - run->startVcn), m_clusterSize, &position)) break;
      size_t got = 0;
      if (!m_device->ReadAt(position, out, bytes, &got)) {
        m_lastReadFault = EReadFault::DeviceError;
        break;
      }
      if (got != bytes) break;  // the volume ends here
    }
    clustersRead += take;
    out += bytes;
    vcn += take;
    count -= static_cast<uint32_t>(take);
  }
  if (count == 0) m_lastReadFault = EReadFault::None;
  *bytesRead = clustersRead * m_clusterSize;
  return true;
}

uint64_t CAttrNonResident::InitializedSize() const {
  return std::min(READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, initializedSize, m_header), GetValueSize());
}

bool CAttrNonResident::ReadValue(uint64_t offset, void* destination, uint32_t length, uint32_t* bytesRead) {
  *bytesRead = 0;
  m_lastReadFault = EReadFault::None;
  if (length == 0) return true;
  const uint64_t dataSize = GetValueSize();
  if (offset > dataSize) {
    m_lastReadFault = EReadFault::Unmapped;
    return false;
  }
  if (length > dataSize - offset) length = static_cast<uint32_t>(dataSize - offset);
  if (length == 0) return true;
  if (!ReadStored(offset, destination, length, &m_lastReadFault)) return false;
  *bytesRead = length;
  return true;
}

bool CAttrNonResident::ReadStored(uint64_t offset, void* destination, uint64_t length, EReadFault* fault) const {
  *fault = EReadFault::Unmapped;
  const uint64_t dataSize = GetValueSize();
  if (offset > dataSize || length > dataSize - offset) return false;
  // Only the part below the initialized size comes from the disk; the rest is zeros.
  auto* out = static_cast<uint8_t*>(destination);
  const uint64_t initialized = InitializedSize();
  const uint64_t stored = offset >= initialized ? 0 : std::min(length, initialized - offset);
  std::memset(out + stored, 0, length - stored);

  uint64_t position = offset;
  uint64_t left = stored;
  const tagDataRun_Entry* run = nullptr;
  for (auto next = m_runs.begin(); left != 0;) {
    const uint64_t vcn = position / m_clusterSize;
    if (run == nullptr || vcn > run->lastVcn) {
      run = FindRun(vcn, next);
      if (run == nullptr) return false;
    }
    const uint64_t inCluster = position % m_clusterSize;
    // A run can hold more bytes than 64 bits count; its byte length then saturates rather than
    // wrapping to nothing, which would never move the read on.
    uint64_t runBytes = 0;
    if (!MultiplyFits(run->lastVcn - vcn + 1, m_clusterSize, &runBytes)) runBytes = UINT64_MAX;
    const uint64_t take = std::min(left, runBytes - inCluster);
    if (run->lcn == SPARSE_RUN_LCN) {
      std::memset(out, 0, take);
    } else {
      uint64_t start = 0;
      if (!MultiplyFits(static_cast<uint64_t>(run->lcn) + (vcn - run->startVcn), m_clusterSize, &start)) return false;
      size_t got = 0;
      if (!m_device->ReadAt(start + inCluster, out, take, &got)) {
        *fault = EReadFault::DeviceError;
        return false;
      }
      if (got != take) return false;  // the volume ends here
    }
    out += take;
    position += take;
    left -= take;
  }
  *fault = EReadFault::None;
  return true;
}

const tagDataRun_Entry* CAttrNonResident::FindRun(uint64_t vcn, CSList<tagDataRun_Entry>::Iterator& next) const {
  if (!m_runIndex.empty()) {
    const auto after = std::upper_bound(m_runIndex.begin(), m_runIndex.end(), vcn,
                                        [](uint64_t wanted, const tagDataRun_Entry* run) { return wanted < run->startVcn; });
    if (after == m_runIndex.begin()) return nullptr;
    const tagDataRun_Entry* run = *(after - 1);
    return vcn <= run->lastVcn ? run : nullptr;
  }
  // Runs are in VCN order: the walk goes on from the run of the last piece.
  for (; next != m_runs.end(); ++next) {
    if (vcn >= (*next)->startVcn && vcn <= (*next)->lastVcn) {
      const tagDataRun_Entry* run = *next;
      ++next;
      return run;
    }
  }
  return nullptr;
}

void CAttrNonResident::IndexRuns() {
  m_runIndex.clear();
  m_runIndex.reserve(static_cast<size_t>(m_runs.Count()));
  for (const tagDataRun_Entry* run : m_runs) m_runIndex.push_back(run);
}

bool CAttrNonResident::AppendExtent(const CAttrNonResident& extent) {
  if (!m_runsValid || !extent.m_runsValid) return false;
  m_runIndex.clear();
  const uint64_t thisEnd = FirstVcn() + m_vcnCount;
  if (extent.FirstVcn() != thisEnd) return false;
  const uint64_t shift = thisEnd - FirstVcn();  // extent VCNs are relative to its own first VCN
  for (const tagDataRun_Entry* run : extent.m_runs) {
    m_runs.Append(new tagDataRun_Entry{run->lcn, run->clusters, run->startVcn + shift, run->lastVcn + shift});
  }
  m_vcnCount += extent.m_vcnCount;
  return true;
}

uint64_t CAttrNonResident::StoredBytes() const {
  uint64_t clusters = 0;
  for (const tagDataRun_Entry* run : m_runs) {
    if (run->lcn != SPARSE_RUN_LCN) clusters += run->clusters;
  }
  return clusters * m_clusterSize;
}

// ---------------------------------------------------------------------------------------------------
// Type classes

CAttrStdInfo::CAttrStdInfo(const uint8_t* header, CFileRecord* owner) : CAttrResident(header, owner) {}

void CAttrStdInfo::GetTimes(uint64_t* lastWriteTime, uint64_t* creationTime, uint64_t* lastAccessTime) const {
  GetTimes(ostrin::platform::CLocalTimeConverter(), lastWriteTime, creationTime, lastAccessTime);
}

void CAttrStdInfo::GetTimes(const ostrin::platform::CLocalTimeConverter& converter, uint64_t* lastWriteTime,
                            uint64_t* creationTime, uint64_t* lastAccessTime) const {
  const auto toLocal = [&converter](uint64_t utc) {
    uint64_t local = 0;
    return converter.ToLocal(utc, &local) ? local : utc;
  };
  *lastWriteTime = toLocal(READ_FIELD(STANDARD_INFORMATION, lastWriteTime, m_value));
  if (creationTime != nullptr) *creationTime = toLocal(READ_FIELD(STANDARD_INFORMATION, creationTime, m_value));
  if (lastAccessTime != nullptr) *lastAccessTime = toLocal(READ_FIELD(STANDARD_INFORMATION, lastAccessTime, m_value));
}

uint32_t CAttrStdInfo::FileAttributes() const { return READ_FIELD(STANDARD_INFORMATION, fileAttributes, m_value); }

CFileName::CFileName(const uint8_t* value) : m_fileNameValue(value) {}

CFileName::~CFileName() = default;

uint64_t CFileName::ParentRecord() const {
  return READ_FIELD(FILE_NAME_VALUE, parentReference, m_fileNameValue) & RECORD_NUMBER_MASK;
}

uint16_t CFileName::ParentSequence() const {
  return static_cast<uint16_t>(READ_FIELD(FILE_NAME_VALUE, parentReference, m_fileNameValue) >> 48);
}

uint8_t CFileName::NameSpace() const { return READ_FIELD(FILE_NAME_VALUE, nameSpace, m_fileNameValue); }

uint8_t CFileName::NameLengthInValue() const { return READ_FIELD(FILE_NAME_VALUE, nameLength, m_fileNameValue); }

uint32_t CFileName::CopyName(WCHAR* out) const {
  const uint8_t length = NameLengthInValue();
  const uint8_t* units = m_fileNameValue + offsetof(FILE_NAME_VALUE, name);
  uint32_t copied = 0;
  if constexpr (std::endian::native == std::endian::little) {
    // The units as they lie, then the name ends at its first NUL unit, if any.
    std::memcpy(out, units, 2u * length);
    while (copied < length && out[copied] != 0) ++copied;
  } else {
    for (; copied < length; ++copied) {
      const auto unit = static_cast<WCHAR>(ReadLE<uint16_t>(units + 2 * copied));
      if (unit == 0) break;
      out[copied] = unit;
    }
  }
  out[copied] = 0;
  return copied;
}

bool CFileName::HasNulUnit() const {
  const uint8_t* units = m_fileNameValue + offsetof(FILE_NAME_VALUE, name);
  for (uint32_t i = 0; i < NameLengthInValue(); ++i) {
    if (ReadLE<uint16_t>(units + 2 * i) == 0) return true;
  }
  return false;
}

bool CFileName::HasSameName(const CFileName& other) const {
  // In place: both names up to their length or first NUL unit, as CopyName gives them.
  const uint8_t* mine = m_fileNameValue + offsetof(FILE_NAME_VALUE, name);
  const uint8_t* theirs = other.m_fileNameValue + offsetof(FILE_NAME_VALUE, name);
  const uint32_t myLength = NameLengthInValue();
  const uint32_t theirLength = other.NameLengthInValue();
  for (uint32_t i = 0;; ++i) {
    const uint16_t a = i < myLength ? ReadLE<uint16_t>(mine + 2 * i) : 0;
    const uint16_t b = i < theirLength ? ReadLE<uint16_t>(theirs + 2 * i) : 0;
    if (a != b) return false;
    if (a == 0) return true;
  }
}

size_t CFileName::NameHash() const {
  // FNV-1a over the units, up to the length or the first NUL unit.
  const uint8_t* units = m_fileNameValue + offsetof(FILE_NAME_VALUE, name);
  uint64_t hash = 0xCBF29CE484222325ull;
  for (uint32_t i = 0; i < NameLengthInValue(); ++i) {
    const uint16_t unit = ReadLE<uint16_t>(units + 2 * i);
    if (unit == 0) break;
    hash = (hash ^ unit) * 0x100000001B3ull;
  }
  return static_cast<size_t>(hash);
}

void CFileName::TakeName() {
  m_upperNamePending = false;
  m_nameLength = 0;
  m_upperName[0] = 0;
  if (m_fileNameValue == nullptr) return;
  const uint8_t length = NameLengthInValue();
  if (length == 0) return;
  const uint32_t copied = CopyName(m_upperName);
  std::fill(m_upperName + copied, m_upperName + length + 1, WCHAR{0});  // units after a NUL stay NUL
  for (uint32_t i = 0; i < copied; ++i) m_upperName[i] = AsciiUpper(m_upperName[i]);
  m_nameLength = length;
}

CAttrFileName::CAttrFileName(const uint8_t* header, CFileRecord* owner)
    : CAttrResident(header, owner), CFileName(m_value) {
  TakeNameWhenAsked();
}

CAttrVolName::CAttrVolName(const uint8_t* header, CFileRecord* owner) : CAttrResident(header, owner) {
  const uint32_t count = m_valueLength / 2;
  m_name.resize(count);
  for (uint32_t i = 0; i < count; ++i) m_name[i] = static_cast<WCHAR>(ReadLE<uint16_t>(m_value + 2 * i));
  m_ansiName = ostrin::platform::WideToAnsiCodePage(m_name);
}

CAttrVolInfo::CAttrVolInfo(const uint8_t* header, CFileRecord* owner) : CAttrResident(header, owner) {}

uint8_t CAttrVolInfo::MajorVersion() const { return READ_FIELD(VOLUME_INFORMATION, majorVersion, m_value); }

uint8_t CAttrVolInfo::MinorVersion() const { return READ_FIELD(VOLUME_INFORMATION, minorVersion, m_value); }
