// CNTFSVolume: opening and checking a volume.
#include "ntfs/ntfs_volume.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "common/byte_order.h"
#include "ntfs/attributes.h"
#include "ntfs/file_record.h"
#include "ntfs/layout.h"
#include "ntfs/ntfs_errors.h"
#include "ntfs/volume_geometry.h"
#include "platform/system_error.h"

namespace {

bool IsAsciiLetter(WCHAR letter) { return (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z'); }

}  // namespace

CNTFSVolume::CNTFSVolume() = default;

CNTFSVolume::~CNTFSVolume() { Reset(); }

void CNTFSVolume::Reset() {
  m_device.Close();
  m_isOpen = false;
  m_mftData = nullptr;
  m_mftRecord.reset();
  m_ntfsVersion = 0;
  m_volumeLabel.clear();
}

void CNTFSVolume::OpenLetter(WCHAR letter, const std::string& mappedPath) {
  if (!IsAsciiLetter(letter)) ThrowError(ERROR_VOLUME_NAME);
  Reset();
  if (!m_device.OpenLetter(letter, mappedPath)) ThrowError<CWinErrException>(ERROR_OPEN_VOLUME);
  CheckVolume();
}

void CNTFSVolume::OpenPath(const std::string& path) {
  Reset();
  if (!m_device.OpenPath(path)) ThrowError<CWinErrException>(ERROR_OPEN_VOLUME);
  CheckVolume();
}

void CNTFSVolume::OpenSource(std::shared_ptr<const ostrin::platform::IVolumeSource> source) {
  Reset();
  m_device.OpenSource(std::move(source));
  CheckVolume();
}

void CNTFSVolume::CheckVolume() {
  uint8_t bootSector[BOOT_READ_SIZE];
  size_t got = 0;
  if (!m_device.ReadAt(0, bootSector, sizeof bootSector, &got)) ThrowError<CWinErrException>(ERROR_READ_BOOT_SECTOR);
  if (got != sizeof bootSector) {
    ostrin::platform::SetLastSystemError(ostrin::platform::ErrorEndOfData());
    ThrowError<CWinErrException>(ERROR_READ_BOOT_SECTOR);
  }
  if (std::memcmp(bootSector + offsetof(NTFS_BOOT_SECTOR, oemId), NTFS_OEM_ID, sizeof NTFS_OEM_ID) != 0) {
    ThrowError(ERROR_NOT_NTFS);
  }
  ReadGeometry(bootSector);
  CheckVersion();
  LoadMftRecord();
  m_isOpen = true;
}

void CNTFSVolume::ReadGeometry(const uint8_t* bootSector) {
  SVolumeGeometry geometry;
  if (!ReadVolumeGeometry(bootSector, &geometry)) ThrowError(ERROR_BAD_GEOMETRY);
  m_bytesPerSector = geometry.bytesPerSector;
  m_clusterSize = geometry.clusterSize;
  m_fileRecordSize = geometry.fileRecordSize;
  m_indexBlockSize = geometry.indexBlockSize;
  m_mftOffset = geometry.mftOffset;
  m_volumeSize = geometry.volumeSize;
}

void CNTFSVolume::CheckVersion() {
  CFileRecord volumeRecord(this);
  volumeRecord.SetAttributeMask(ATTRIBUTE_MASK_VOLUME_CHECK);
  if (!volumeRecord.LoadRecord(VOLUME_RECORD)) ThrowError(ERROR_LOAD_VOLUME_RECORD);
  volumeRecord.BuildAttributeLists();
  const auto* info = dynamic_cast<const CAttrVolInfo*>(volumeRecord.FirstAttribute(ATTR_TYPE_VOLUME_INFORMATION));
  if (info == nullptr) ThrowError(ERROR_NO_VOLUME_INFO);
  m_ntfsVersion = static_cast<uint16_t>(info->MajorVersion() * 256 + info->MinorVersion());
  if (m_ntfsVersion < 0x0300) ThrowError(ERROR_OLD_NTFS_VERSION);
  if (const auto* name = dynamic_cast<const CAttrVolName*>(volumeRecord.FirstAttribute(ATTR_TYPE_VOLUME_NAME))) {
    m_volumeLabel = name->Name();
  }
}

namespace {

// The MFT's first extent: the unnamed, non-resident data attribute that starts at VCN 0.
CAttrNonResident* FindFirstMftExtent(const CFileRecord& record) {
  for (CAttrBase* attribute : record.AttributesOf(ATTR_TYPE_DATA)) {
    auto* body = dynamic_cast<CAttrNonResident*>(attribute);
    if (body != nullptr && attribute->NameLength() == 0 && body->FirstVcn() == 0) return body;
  }
  return nullptr;
}

}  // namespace

void CNTFSVolume::LoadMftRecord() {
  // Record 0's own first extent is found first, so that extension records of the MFT that lie beyond
  // the first sixteen records are read through it rather than guessed at.
  CFileRecord firstExtentOnly(this);
  firstExtentOnly.SetAttributeMask(AttributeMaskBit(ATTR_TYPE_DATA));
  if (!firstExtentOnly.LoadRecord(MFT_RECORD)) ThrowError(ERROR_LOAD_MFT_RECORD);
  firstExtentOnly.BuildAttributeLists();
  m_mftData = FindFirstMftExtent(firstExtentOnly);

  m_mftRecord = std::make_unique<CFileRecord>(this);
  m_mftRecord->SetAttributeMask(ATTRIBUTE_MASK_MFT_RECORD);
  // Record 0 and its extension records must be whole: without them the table cannot be read.
  const bool loaded = m_mftRecord->LoadRecord(MFT_RECORD) && m_mftRecord->BuildAttributeLists();
  m_mftData = nullptr;
  if (!loaded) {
    m_mftRecord.reset();
    ThrowError(ERROR_LOAD_MFT_RECORD);
  }

  CAttrNonResident* first = FindFirstMftExtent(*m_mftRecord);
  if (first == nullptr) {
    m_mftRecord.reset();
    ThrowError(ERROR_NO_MFT_DATA);
  }
  // A fragmented MFT keeps further extents in extension records: chain them onto the first one, in VCN
  // order, as long as each continues where the previous one ends.
  std::vector<CAttrNonResident*> extents;
  for (CAttrBase* attribute : m_mftRecord->AttributesOf(ATTR_TYPE_DATA)) {
    auto* body = dynamic_cast<CAttrNonResident*>(attribute);
    if (body != nullptr && body != first && attribute->NameLength() == 0 && body->FirstVcn() != 0) {
      extents.push_back(body);
    }
  }
  std::sort(extents.begin(), extents.end(),
            [](const CAttrNonResident* a, const CAttrNonResident* b) { return a->FirstVcn() < b->FirstVcn(); });
  for (const CAttrNonResident* extent : extents) {
    if (!first->AppendExtent(*extent)) break;
  }
  CheckMftFitsVolume(*first);
  // The table is read record by record too (extension records, the journal's records): a fragmented
  // one would otherwise walk its runs from the first for every record.
  first->IndexRuns();
  m_mftData = first;
}

void CNTFSVolume::CheckMftFitsVolume(const CAttrNonResident& mftData) const {
  // The table's size is bounded by the volume and by the device it lies on (a boot sector may claim a
  // volume far larger than the device), and its clusters lie inside the volume and are stored, each
  // once: so a scan reads at most the volume once, and a read past the device's real end fails.
  if (mftData.GetValueSize() > m_volumeSize || !DeviceHolds(mftData.GetValueSize())) ThrowError(ERROR_MFT_DOES_NOT_FIT);
  const uint64_t volumeClusters = m_volumeSize / m_clusterSize;
  std::vector<std::pair<uint64_t, uint64_t>> extents;  // first cluster, cluster count
  extents.reserve(static_cast<size_t>(mftData.Runs().Count()));
  for (const tagDataRun_Entry* run : mftData.Runs()) {
    if (run->lcn == SPARSE_RUN_LCN) ThrowError(ERROR_MFT_DOES_NOT_FIT);
    const auto lcn = static_cast<uint64_t>(run->lcn);
    if (lcn > volumeClusters || run->clusters > volumeClusters - lcn) ThrowError(ERROR_MFT_DOES_NOT_FIT);
    extents.emplace_back(lcn, run->clusters);
  }
  std::sort(extents.begin(), extents.end());
  for (size_t i = 1; i < extents.size(); ++i) {
    if (extents[i].first - extents[i - 1].first < extents[i - 1].second) ThrowError(ERROR_MFT_DOES_NOT_FIT);
  }
}

bool CNTFSVolume::DeviceHolds(uint64_t bytes) const {
  if (bytes == 0) return true;
  // The sector of the last byte reads that far when the device is that large (a device of large
  // sectors is read in whole sectors); a device that ends before delivers less, and one that fails
  // there does not hold it either.
  const uint64_t sector = (bytes - 1) / m_bytesPerSector * m_bytesPerSector;
  std::vector<uint8_t> buffer(m_bytesPerSector);
  size_t got = 0;
  return m_device.ReadAt(sector, buffer.data(), buffer.size(), &got) && got > bytes - 1 - sector;
}

uint64_t CNTFSVolume::MftSize() const { return m_mftData != nullptr ? m_mftData->GetValueSize() : 0; }

uint64_t CNTFSVolume::MftRecordCount() const { return m_fileRecordSize != 0 ? MftSize() / m_fileRecordSize : 0; }

uint64_t CNTFSVolume::MftRecordBytes() const {
  if (m_mftData == nullptr) return 0;
  // The runs from VCN 0 up to the first gap (the table's runs are never sparse: checked at open).
  uint64_t mappedClusters = 0;
  for (const tagDataRun_Entry* run : m_mftData->Runs()) {
    if (run->startVcn != mappedClusters) break;
    mappedClusters = run->lastVcn + 1;
  }
  const uint64_t initialized = m_mftData->InitializedSize();
  return mappedClusters > initialized / m_clusterSize ? initialized : mappedClusters * m_clusterSize;
}
