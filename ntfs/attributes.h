// The attribute family: resident and non-resident bodies, data runs, and one class per attribute type.
// Attribute objects point into the buffer of the record that holds them and never outlive it; none of
// their operations throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ntfs/layout.h"
#include "ntfs/recycler.h"
#include "ntfs/slist.h"
#include "platform/local_time.h"
#include "platform/types.h"

namespace ostrin::platform {
class CVolumeDevice;
}
class CFileRecord;

// One run of a non-resident value. VCNs count from the first VCN of the body that holds the run.
struct tagDataRun_Entry {
  int64_t lcn;          // first cluster on the volume; SPARSE_RUN_LCN for a hole
  uint64_t clusters;
  uint64_t startVcn;
  uint64_t lastVcn;     // startVcn + clusters - 1

  static void* operator new(std::size_t size) { return ntfs_recycler::Allocate(size); }
  static void operator delete(void* block, std::size_t size) noexcept { ntfs_recycler::Free(block, size); }
};

inline constexpr int64_t SPARSE_RUN_LCN = -1;

// Attribute objects are made and deleted for every record a scan parses: their memory is recycled.
class CAttrBase : public CRecycled {
 public:
  // header points at the attribute inside its record; the record has checked that the attribute's
  // length lies inside the record and that the attribute is well formed (CAttrBase::IsWellFormed).
  CAttrBase(const uint8_t* header, CFileRecord* owner);
  virtual ~CAttrBase();
  CAttrBase(const CAttrBase&) = delete;
  CAttrBase& operator=(const CAttrBase&) = delete;

  virtual bool HasValidRuns() const = 0;
  // Value size; allocatedSize (when given) receives the space the value takes.
  virtual uint64_t GetValueSize(uint64_t* allocatedSize = nullptr) const = 0;
  // Reads up to length bytes of the value at offset. False for an offset past the end or a failed read.
  virtual bool ReadValue(uint64_t offset, void* destination, uint32_t length, uint32_t* bytesRead) = 0;

  uint32_t Type() const;
  uint32_t Length() const;
  bool IsNonResident() const;
  uint8_t NameLength() const;
  uint16_t Flags() const;  // ATTRIBUTE_FLAG_COMPRESSED, ATTRIBUTE_FLAG_SPARSE
  const uint8_t* Header() const { return m_header; }
  CFileRecord* Owner() const { return m_owner; }
  uint32_t ClusterSize() const { return m_clusterSize; }

  // Whether the attribute at header, of the given length, can be read without leaving its own bytes:
  // its name, its resident value or its run list start lie inside it.
  static bool IsWellFormed(const uint8_t* header, uint32_t length);

 protected:
  const uint8_t* m_header;
  uint16_t m_bytesPerSector;
  uint32_t m_clusterSize;
  uint32_t m_indexBlockSize;
  const ostrin::platform::CVolumeDevice* m_device;
  CFileRecord* m_owner;
};

// A value that lies inside the record.
class CAttrResident : public CAttrBase {
 public:
  CAttrResident(const uint8_t* header, CFileRecord* owner);

  bool HasValidRuns() const override { return true; }
  uint64_t GetValueSize(uint64_t* allocatedSize = nullptr) const override;
  bool ReadValue(uint64_t offset, void* destination, uint32_t length, uint32_t* bytesRead) override;

  const uint8_t* Value() const { return m_value; }
  uint32_t ValueLength() const { return m_valueLength; }

 protected:
  const uint8_t* m_value;
  uint32_t m_valueLength;
};

// A value that lies in clusters of the volume, described by a run list.
class CAttrNonResident : public CAttrBase {
 public:
  // Why the last read of the value delivered less than it asked for.
  enum class EReadFault : uint8_t {
    None,
    Unmapped,     // the clusters lie outside the runs, or the volume ends before them
    DeviceError,  // the device failed to read them (a bad sector)
  };

  CAttrNonResident(const uint8_t* header, CFileRecord* owner);

  bool HasValidRuns() const override { return m_runsValid; }
  uint64_t GetValueSize(uint64_t* allocatedSize = nullptr) const override;
  // Bytes past the initialized size read as zeros, without touching the disk: NTFS leaves what the
  // clusters hold there undefined. Parts of clusters are read as just those bytes.
  bool ReadValue(uint64_t offset, void* destination, uint32_t length, uint32_t* bytesRead) override;
  // The same read without touching the object, so that several threads may read one value (the MFT's)
  // at once: exactly length bytes at offset, false with *fault set when they cannot all be read.
  bool ReadStored(uint64_t offset, void* destination, uint64_t length, EReadFault* fault) const;
  // The initialized size: where the bytes that were ever written end (at most the value size).
  uint64_t InitializedSize() const;

  // Reads clusters vcn .. vcn + count - 1 of this body into destination (sparse runs read as zeros).
  // False when the clusters lie outside the body's VCN range or destination is too small; otherwise
  // true, with *bytesRead telling how much arrived (fewer bytes when a run is missing or a read fails).
  bool ReadRunClusters(uint64_t vcn, uint32_t count, void* destination, uint64_t destinationSize,
                       uint64_t* bytesRead);

  // Takes the runs of the extent that continues this value (a further attribute of the same value
  // whose first VCN is where this one's range ends), so that one body reads the whole value.
  // False, changing nothing, when the extent does not continue this body or either run list is invalid.
  bool AppendExtent(const CAttrNonResident& extent);

  // Lets reads find their runs by binary search rather than by a walk from the first run: for a value
  // of many runs read in many small pieces (the MFT's, record by record). Call once the runs are
  // complete; reads may then go on on several threads. AppendExtent drops the index.
  void IndexRuns();

  EReadFault LastReadFault() const { return m_lastReadFault; }

  const CSList<tagDataRun_Entry>& Runs() const { return m_runs; }
  uint64_t FirstVcn() const;
  // Number of VCNs this body covers.
  uint64_t VcnCount() const { return m_vcnCount; }
  // Bytes of the clusters that hold data (sparse runs left out).
  uint64_t StoredBytes() const;

 protected:
  void DecodeRuns();

  // The run that holds vcn, or nullptr; next is where a walk without the index goes on from.
  const tagDataRun_Entry* FindRun(uint64_t vcn, CSList<tagDataRun_Entry>::Iterator& next) const;

  CSList<tagDataRun_Entry> m_runs;
  std::vector<const tagDataRun_Entry*> m_runIndex;  // the runs in VCN order, when IndexRuns made it
  bool m_runsValid = false;
  uint64_t m_vcnCount = 0;
  EReadFault m_lastReadFault = EReadFault::None;
};

// Standard information: times and file attributes.
class CAttrStdInfo : public CAttrResident {
 public:
  CAttrStdInfo(const uint8_t* header, CFileRecord* owner);

  // The times in the machine's local time; a time that cannot be converted is given in UTC.
  void GetTimes(uint64_t* lastWriteTime, uint64_t* creationTime = nullptr, uint64_t* lastAccessTime = nullptr) const;
  // The same with the zone's bias read once for many records.
  void GetTimes(const ostrin::platform::CLocalTimeConverter& converter, uint64_t* lastWriteTime,
                uint64_t* creationTime = nullptr, uint64_t* lastAccessTime = nullptr) const;
  uint32_t FileAttributes() const;

  static constexpr uint32_t MIN_VALUE_LENGTH = sizeof(STANDARD_INFORMATION);
};

// A file-name value (of a file name attribute or of a directory index entry) with an upper-case copy
// of its name.
class CFileName {
 public:
  explicit CFileName(const uint8_t* value = nullptr);
  virtual ~CFileName();
  CFileName(const CFileName&) = delete;
  CFileName& operator=(const CFileName&) = delete;

  // Makes the upper-case copy of the value's name (only a..z change), or none for a missing or empty name.
  void TakeName();
  // The same, put off until the copy is first asked for: the scan makes millions of file names and
  // never asks for one.
  void TakeNameWhenAsked() { m_upperNamePending = true; }

  bool HasValue() const { return m_fileNameValue != nullptr; }
  uint64_t ParentRecord() const;  // the parent's record number, sequence number dropped
  uint16_t ParentSequence() const;  // the sequence number the parent's record had (0: not recorded)
  uint8_t NameSpace() const;
  uint8_t NameLengthInValue() const;
  // Copies the name as stored (case kept) into out, up to its length or its first NUL unit, and
  // terminates it; out has room for 256 units. Returns the number of units copied.
  uint32_t CopyName(WCHAR* out) const;
  // Whether a unit of the name is NUL: NTFS never writes one, so such a name is damaged.
  bool HasNulUnit() const;
  // Whether the two names are the same units, as CopyName gives them (case counts).
  bool HasSameName(const CFileName& other) const;
  // A hash of the units as CopyName gives them: names that HasSameName calls the same hash the same.
  size_t NameHash() const;
  const WCHAR* UpperName() const {
    TakePendingName();
    return m_nameLength != 0 ? m_upperName : nullptr;
  }
  uint32_t UpperNameLength() const {
    TakePendingName();
    return m_nameLength;
  }

  static constexpr uint32_t MAX_NAME_UNITS = 255;

 protected:
  void SetValue(const uint8_t* value) { m_fileNameValue = value; }

 private:
  void TakePendingName() const {
    if (m_upperNamePending) const_cast<CFileName*>(this)->TakeName();
  }

  const uint8_t* m_fileNameValue;
  // Inside the object: a name is at most 255 units, and a heap copy per name would cost the scan.
  WCHAR m_upperName[MAX_NAME_UNITS + 1];  // valid up to m_nameLength when that is not 0
  uint32_t m_nameLength = 0;
  bool m_upperNamePending = false;
};

class CAttrFileName : public CAttrResident, public CFileName {
 public:
  CAttrFileName(const uint8_t* header, CFileRecord* owner);

  static constexpr uint32_t MIN_VALUE_LENGTH = offsetof(FILE_NAME_VALUE, name);
};

// The volume's label (record 3).
class CAttrVolName : public CAttrResident {
 public:
  CAttrVolName(const uint8_t* header, CFileRecord* owner);

  const WString& Name() const { return m_name; }
  const std::string& AnsiName() const { return m_ansiName; }
  uint32_t CharCount() const { return static_cast<uint32_t>(m_name.size()); }

 private:
  WString m_name;
  std::string m_ansiName;
};

// The NTFS version (record 3).
class CAttrVolInfo : public CAttrResident {
 public:
  CAttrVolInfo(const uint8_t* header, CFileRecord* owner);

  uint8_t MajorVersion() const;
  uint8_t MinorVersion() const;

  static constexpr uint32_t MIN_VALUE_LENGTH = offsetof(VOLUME_INFORMATION, flags);
};

template <typename Body>
class CAttrData : public Body {
 public:
  CAttrData(const uint8_t* header, CFileRecord* owner) : Body(header, owner) {}
};

// An attribute list: it owns the extension records loaded for it, whose buffers the attributes moved
// into the base record point into.
template <typename Body>
class CAttrAttrList : public Body {
 public:
  CAttrAttrList(const uint8_t* header, CFileRecord* owner) : Body(header, owner) {}

  CSList<CFileRecord>& ExtensionRecords() { return m_extensionRecords; }

 private:
  CSList<CFileRecord> m_extensionRecords;
};
