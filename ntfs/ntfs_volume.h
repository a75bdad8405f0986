// CNTFSVolume: the raw view of one NTFS volume: boot sector, geometry, version and the MFT's own record.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/types.h"
#include "platform/volume_device.h"

class CAttrNonResident;
class CFileRecord;

class CNTFSVolume {
 public:
  CNTFSVolume();
  virtual ~CNTFSVolume();
  CNTFSVolume(const CNTFSVolume&) = delete;
  CNTFSVolume& operator=(const CNTFSVolume&) = delete;

  // Opens the volume of a drive letter, checks it and loads the MFT's own record: mappedPath is what the
  // caller resolved the letter to (the file or device of its "volume.X" key in the configuration), or
  // empty for the letter's own device (Windows). Throws on every failure. An open volume is closed
  // first.
  void OpenLetter(WCHAR letter, const std::string& mappedPath);

  // Opens a device or image file by path, with the same checks as OpenLetter.
  void OpenPath(const std::string& path);

  // Opens a volume whose bytes come from a source of the caller's (tests and fuzz targets), with the
  // same checks as OpenLetter.
  void OpenSource(std::shared_ptr<const ostrin::platform::IVolumeSource> source);

  // Closes the device and forgets everything read from it.
  void Reset();

  bool IsOpen() const { return m_isOpen; }
  uint16_t BytesPerSector() const { return m_bytesPerSector; }
  uint32_t ClusterSize() const { return m_clusterSize; }
  uint32_t FileRecordSize() const { return m_fileRecordSize; }
  uint32_t IndexBlockSize() const { return m_indexBlockSize; }
  uint64_t MftOffset() const { return m_mftOffset; }
  // Bytes of the volume by its boot sector: total sectors x bytes per sector.
  uint64_t VolumeSize() const { return m_volumeSize; }
  uint16_t NtfsVersion() const { return m_ntfsVersion; }  // major in the high byte
  const ostrin::platform::CVolumeDevice& Device() const { return m_device; }
  // The MFT's data: the unnamed data attribute of record 0 that starts at VCN 0, carrying the runs of
  // every further extent of the MFT, so that it reads the whole table.
  CAttrNonResident* MftData() const { return m_mftData; }
  CFileRecord* MftRecord() const { return m_mftRecord.get(); }
  // The MFT's size in bytes and its number of record slots.
  uint64_t MftSize() const;
  uint64_t MftRecordCount() const;
  // The bytes of the table that can hold records in use: up to its initialized size and the clusters
  // its runs map (what lies past them reads as zeros, free records). What the scan reads.
  uint64_t MftRecordBytes() const;
  // The volume label from record 3, read at open.
  const WString& VolumeLabel() const { return m_volumeLabel; }

 private:
  // Everything after the device is open: boot sector, geometry, version, MFT record.
  void CheckVolume();
  void ReadGeometry(const uint8_t* bootSector);
  void CheckVersion();
  void LoadMftRecord();
  // Refuses MFT data that claims more than the volume, or the device it lies on, holds.
  void CheckMftFitsVolume(const CAttrNonResident& mftData) const;
  // Whether the device has at least this many bytes, whatever the boot sector says.
  bool DeviceHolds(uint64_t bytes) const;

  uint16_t m_bytesPerSector = 0;
  uint32_t m_clusterSize = 0;
  uint32_t m_fileRecordSize = 0;
  uint32_t m_indexBlockSize = 0;
  uint64_t m_mftOffset = 0;
  uint64_t m_volumeSize = 0;
  ostrin::platform::CVolumeDevice m_device;
  bool m_isOpen = false;
  uint16_t m_ntfsVersion = 0;
  std::unique_ptr<CFileRecord> m_mftRecord;
  CAttrNonResident* m_mftData = nullptr;
  WString m_volumeLabel;
};
