// The volume as the fuzz targets' mutator sees it: the bytes of its records decoded (fix-ups undone),
// their attributes, runs and attribute-list entries as far as their lengths hold together, and the
// model of the volume: its record slots, found by their signature, and the references between them.
// Geometry and fix-ups are the volume reader's own (ntfs/volume_geometry.h, ntfs/file_record.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/byte_order.h"
#include "fuzz/fuzz_volume.h"
#include "ntfs/file_record.h"
#include "ntfs/layout.h"
#include "ntfs/volume_geometry.h"

namespace ostrin::fuzz::mutator {

// Record slots start on multiples of the update-sequence stride; their words sit at its ends.
inline constexpr uint32_t STRIDE = UPDATE_SEQUENCE_STRIDE;
inline constexpr size_t NO_OFFSET = ~size_t{0};
// NTFS 3.1 records carry their own number here (u32); slots outside the MFT's first extent are
// numbered by it.
inline constexpr size_t RECORD_NUMBER_FIELD = 0x2C;
inline constexpr char BAAD_SIGNATURE[4] = {'B', 'A', 'A', 'D'};
// Bounds on what one record or value is walked for; records of made volumes stay far below them.
inline constexpr size_t MAX_ATTRIBUTES = 128;
inline constexpr size_t MAX_RUNS = 1024;
inline constexpr size_t MAX_LIST_ENTRIES = 4096;
inline constexpr size_t MAX_LIST_VALUE = 256 * 1024;
// An attribute-list entry's fixed fields, up to its name.
inline constexpr size_t ENTRY_MIN_LENGTH = offsetof(ATTRIBUTE_LIST_ENTRY, attributeId) + 2;

// The attribute types NTFS defines, and the end marker.
inline constexpr uint32_t KNOWN_TYPES[] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90,
                                    0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0xF0, 0x100, ATTR_TYPE_END};

class CRandom {
 public:
  explicit CRandom(unsigned seed) : m_engine(seed) {}
  uint64_t Next() { return m_engine(); }
  size_t Below(size_t bound) { return bound == 0 ? 0 : static_cast<size_t>(Next() % bound); }
  bool Percent(unsigned percent) { return Below(100) < percent; }
  template <typename T>
  const T& Of(const std::vector<T>& items) { return items[Below(items.size())]; }

 private:
  std::mt19937_64 m_engine;
};

struct SGeometry {
  uint32_t clusterSize = 4096;
  uint32_t recordSize = 1024;
  uint64_t mftOffset = 0;
};

// The geometry the boot sector gives where the volume reader accepts it, the usual one elsewhere.
inline SGeometry ReadGeometry(const uint8_t* boot) {
  SGeometry geometry;
  SVolumeGeometry read;
  if (boot != nullptr && ReadVolumeGeometry(boot, &read)) {
    geometry = SGeometry{read.clusterSize, read.fileRecordSize, read.mftOffset};
  }
  return geometry;
}

// ---- Records, decoded (fix-ups undone) into plain bytes.

// Puts the protected words back without checking them (a torn record decodes too), as far as the
// reader's bounds of the array hold; the array stays, so that ApplyFixups can protect the record again.
inline void UndoFixups(uint8_t* record, uint32_t recordSize) {
  uint32_t usaOffset = 0;
  uint16_t count = 0;
  if (!UpdateSequenceBounds(record, recordSize, &usaOffset, &count)) return;
  for (uint32_t i = 1; i < count; ++i) std::memcpy(record + i * STRIDE - 2, record + usaOffset + 2 * i, 2);
}

// Protects a decoded record again, with its sequence number or the next one.
inline void ApplyFixups(uint8_t* record, uint32_t recordSize, bool newSequenceNumber) {
  uint32_t usaOffset = 0;
  uint16_t count = 0;
  if (!UpdateSequenceBounds(record, recordSize, &usaOffset, &count)) return;
  uint16_t sequence = ReadLE<uint16_t>(record + usaOffset);
  if (newSequenceNumber) sequence = static_cast<uint16_t>(sequence + 1 == 0 ? 1 : sequence + 1);
  WriteUpdateSequence(record, recordSize, sequence);
}

struct SAttribute {
  size_t offset = 0;
  uint32_t type = 0;
  uint32_t length = 0;
  bool nonResident = false;
};

// The attributes of a decoded record as far as their lengths hold together.
inline std::vector<SAttribute> WalkAttributes(const uint8_t* record, size_t recordSize) {
  std::vector<SAttribute> attributes;
  size_t offset = READ_FIELD(FILE_RECORD_HEADER, firstAttributeOffset, record);
  while (offset + 8 <= recordSize && attributes.size() < MAX_ATTRIBUTES) {
    SAttribute attribute;
    attribute.offset = offset;
    attribute.type = ReadLE<uint32_t>(record + offset);
    if (attribute.type == ATTR_TYPE_END) break;
    attribute.length = ReadLE<uint32_t>(record + offset + 4);
    if (attribute.length < sizeof(ATTRIBUTE_HEADER) || attribute.length > recordSize - offset) break;
    attribute.nonResident = record[offset + offsetof(ATTRIBUTE_HEADER, nonResident)] != 0;
    attributes.push_back(attribute);
    offset += attribute.length;
  }
  return attributes;
}

// Where a resident attribute's value lies in the record.
inline bool ResidentValue(const uint8_t* record, const SAttribute& attribute, size_t* begin, size_t* length) {
  if (attribute.nonResident || attribute.length < sizeof(RESIDENT_ATTRIBUTE_HEADER)) return false;
  const uint8_t* header = record + attribute.offset;
  const uint32_t valueOffset = READ_FIELD(RESIDENT_ATTRIBUTE_HEADER, valueOffset, header);
  const uint32_t valueLength = READ_FIELD(RESIDENT_ATTRIBUTE_HEADER, valueLength, header);
  if (valueOffset > attribute.length || valueLength > attribute.length - valueOffset) return false;
  *begin = attribute.offset + valueOffset;
  *length = valueLength;
  return true;
}

struct SRun {
  uint64_t lcn = 0;       // as decoded, wrapping; meaningless for a sparse run
  uint64_t clusters = 0;
  bool sparse = false;
  size_t at = 0;          // offset of the run's header byte in the record
  unsigned countBytes = 0;
  unsigned offsetBytes = 0;
};

inline std::vector<SRun> DecodeRuns(const uint8_t* record, const SAttribute& attribute) {
  std::vector<SRun> runs;
  if (!attribute.nonResident || attribute.length < sizeof(NONRESIDENT_ATTRIBUTE_HEADER)) return runs;
  const uint8_t* header = record + attribute.offset;
  size_t p = attribute.offset + READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, mappingPairsOffset, header);
  const size_t end = attribute.offset + attribute.length;
  uint64_t lcn = 0;
  while (p < end && runs.size() < MAX_RUNS) {
    const uint8_t b = record[p];
    if (b == 0) break;
    SRun run;
    run.at = p;
    run.countBytes = b & 0x0F;
    run.offsetBytes = b >> 4;
    if (run.countBytes > 8 || run.offsetBytes > 8 || p + 1 + run.countBytes + run.offsetBytes > end) break;
    for (unsigned i = 0; i < run.countBytes; ++i) run.clusters |= uint64_t{record[p + 1 + i]} << (8 * i);
    uint64_t delta = 0;
    for (unsigned i = 0; i < run.offsetBytes; ++i) delta |= uint64_t{record[p + 1 + run.countBytes + i]} << (8 * i);
    if (run.offsetBytes > 0 && run.offsetBytes < 8 && (record[p + run.countBytes + run.offsetBytes] & 0x80) != 0) {
      delta |= ~uint64_t{0} << (8 * run.offsetBytes);
    }
    run.sparse = run.offsetBytes == 0;
    lcn += delta;
    run.lcn = lcn;
    runs.push_back(run);
    p += 1 + run.countBytes + run.offsetBytes;
  }
  return runs;
}

inline uint64_t ReadReference(const uint8_t* p) { return ReadLE<uint64_t>(p) & RECORD_NUMBER_MASK; }

inline uint64_t EntryRecord(const uint8_t* entry) {
  return ReadLE<uint32_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, recordNumberLow)) |
         uint64_t{ReadLE<uint16_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, recordNumberHigh))} << 32;
}

// Offsets of the entries of an attribute-list value, as far as their lengths hold together.
inline std::vector<size_t> ListEntries(const uint8_t* value, size_t length) {
  std::vector<size_t> entries;
  size_t offset = 0;
  while (length - offset >= ENTRY_MIN_LENGTH && entries.size() < MAX_LIST_ENTRIES && offset < length) {
    entries.push_back(offset);
    const uint16_t entryLength = ReadLE<uint16_t>(value + offset + offsetof(ATTRIBUTE_LIST_ENTRY, length));
    if (entryLength < ENTRY_MIN_LENGTH || entryLength > length - offset) break;
    offset += entryLength;
  }
  return entries;
}

// ---- The volume as the mutator sees it.

struct SRecordSlot {
  size_t inputOffset = 0;
  uint64_t volumeOffset = 0;
  uint64_t number = 0;
  bool inMft = false;
};

struct SRecordFacts {
  bool hasList = false;
  bool isDirectory = false;
  uint64_t base = 0;
  std::vector<uint64_t> references;  // base record, attribute-list entries, parents of names
};

class CVolumeModel {
 public:
  // Reads the references of the records numbered below factsBelow only (opening a volume looks at
  // the first few records; reading all of them would cost more than the open itself).
  CVolumeModel(uint8_t* data, size_t size, uint64_t factsBelow = ~uint64_t{0});

  bool IsUsable() const { return m_usable; }
  uint8_t* Data() const { return m_data; }
  size_t Size() const { return m_size; }
  const SGeometry& Geometry() const { return m_geometry; }
  uint8_t* BootSector() const { return m_bootOffset == NO_OFFSET ? nullptr : m_data + m_bootOffset; }
  const std::vector<SRecordSlot>& Slots() const { return m_slots; }
  const std::vector<SRecordFacts>& Facts() const { return m_facts; }
  const std::vector<size_t>& Interesting() const { return m_interesting; }
  const std::vector<size_t>& MftSlots() const { return m_mftSlots; }
  const std::vector<size_t>& Directories() const { return m_directories; }
  const std::vector<SVolumeExtent>& Extents() const { return m_volume.extents; }
  // The slot of a record number, or NO_OFFSET.
  size_t SlotOf(uint64_t number) const;
  // Record numbers that name this one or that it names.
  std::vector<uint64_t> Related(uint64_t number) const;
  // The input bytes of a volume range that starts inside an extent; *length is cut to what that
  // extent holds. Null when no extent holds the start.
  uint8_t* VolumeBytes(uint64_t offset, size_t* length) const;
  // The value of a non-resident attribute list in the input (its first stored run).
  uint8_t* NonResidentValue(const uint8_t* record, const SAttribute& attribute, size_t* length) const;

 private:
  void FindSlots(const std::vector<std::pair<uint64_t, uint64_t>>& mftExtents);
  std::vector<std::pair<uint64_t, uint64_t>> MftExtents() const;
  void ReadFacts(uint64_t factsBelow);

  uint8_t* m_data;
  size_t m_size;
  bool m_usable = false;
  SParsedVolume m_volume;
  SGeometry m_geometry;
  size_t m_bootOffset = NO_OFFSET;
  std::vector<SRecordSlot> m_slots;
  std::vector<SRecordFacts> m_facts;
  std::unordered_map<uint64_t, size_t> m_slotOfNumber;
  std::unordered_map<uint64_t, std::vector<uint64_t>> m_referrers;
  std::vector<size_t> m_interesting;
  std::vector<size_t> m_mftSlots;
  std::vector<size_t> m_directories;
};

}  // namespace ostrin::fuzz::mutator
