// The structure-aware mutator of the volume fuzz targets: records, their references, attribute lists,
// the boot sector, fix-ups.
#include "fuzz/volume_mutator.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <unordered_map>
#include <vector>

#include "common/byte_order.h"
#include "fuzz/fuzz_volume.h"
#include "ntfs/layout.h"

namespace ostrin::fuzz {

namespace {

// Record slots start on multiples of the update-sequence stride; their words sit at its ends.
constexpr uint32_t STRIDE = 512;
constexpr uint32_t MIN_RECORD_SIZE = 512;
constexpr uint32_t MAX_RECORD_SIZE = 64 * 1024;
constexpr size_t NO_OFFSET = ~size_t{0};
// NTFS 3.1 records carry their own number here (u32); slots outside the MFT's first extent are
// numbered by it.
constexpr size_t RECORD_NUMBER_FIELD = 0x2C;
constexpr char BAAD_SIGNATURE[4] = {'B', 'A', 'A', 'D'};
// Bounds on what one record or value is walked for; records of made volumes stay far below them.
constexpr size_t MAX_ATTRIBUTES = 128;
constexpr size_t MAX_RUNS = 1024;
constexpr size_t MAX_LIST_ENTRIES = 4096;
constexpr size_t MAX_LIST_VALUE = 256 * 1024;
// An attribute-list entry's fixed fields, up to its name.
constexpr size_t ENTRY_MIN_LENGTH = offsetof(ATTRIBUTE_LIST_ENTRY, attributeId) + 2;

// The attribute types NTFS defines, and the end marker.
constexpr uint32_t KNOWN_TYPES[] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90,
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

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// The geometry the boot sector claims where it is sane, the usual one elsewhere.
SGeometry ReadGeometry(const uint8_t* boot) {
  SGeometry geometry;
  if (boot == nullptr) return geometry;
  const uint16_t bytesPerSector = READ_FIELD(NTFS_BOOT_SECTOR, bytesPerSector, boot);
  const uint8_t sectorsByte = READ_FIELD(NTFS_BOOT_SECTOR, sectorsPerCluster, boot);
  if (IsPowerOfTwo(bytesPerSector) && bytesPerSector >= 256 && bytesPerSector <= 4096 && sectorsByte != 0) {
    const unsigned shift = sectorsByte <= 0x80 ? 0 : 256u - sectorsByte;
    const uint64_t sectors = sectorsByte <= 0x80 ? sectorsByte : (shift < 32 ? uint64_t{1} << shift : 0);
    const uint64_t clusterSize = sectors * bytesPerSector;
    if (clusterSize >= 256 && clusterSize <= 2 * 1024 * 1024) geometry.clusterSize = static_cast<uint32_t>(clusterSize);
  }
  const int8_t perRecord = READ_FIELD(NTFS_BOOT_SECTOR, clustersPerFileRecord, boot);
  uint64_t recordSize = 0;
  if (perRecord > 0) {
    recordSize = static_cast<uint64_t>(perRecord) * geometry.clusterSize;
  } else if (-perRecord < 32) {
    recordSize = uint64_t{1} << -perRecord;
  }
  if (recordSize >= MIN_RECORD_SIZE && recordSize <= MAX_RECORD_SIZE && recordSize % STRIDE == 0) {
    geometry.recordSize = static_cast<uint32_t>(recordSize);
  }
  const uint64_t mftCluster = READ_FIELD(NTFS_BOOT_SECTOR, mftCluster, boot);
  if (mftCluster < (uint64_t{1} << 40)) geometry.mftOffset = mftCluster * geometry.clusterSize;
  return geometry;
}

// ---- Records, decoded (fix-ups undone) into plain bytes.

bool FixupBounds(const uint8_t* record, uint32_t recordSize, uint16_t* usaOffset, uint16_t* count) {
  *usaOffset = READ_FIELD(FILE_RECORD_HEADER, usaOffset, record);
  *count = READ_FIELD(FILE_RECORD_HEADER, usaCount, record);
  return *count >= 2 && *count - 1u <= recordSize / STRIDE && *usaOffset + 2u * *count <= recordSize;
}

void UndoFixups(uint8_t* record, uint32_t recordSize) {
  uint16_t usaOffset = 0, count = 0;
  if (!FixupBounds(record, recordSize, &usaOffset, &count)) return;
  for (uint32_t i = 1; i < count; ++i) std::memcpy(record + i * STRIDE - 2, record + usaOffset + 2 * i, 2);
}

void ApplyFixups(uint8_t* record, uint32_t recordSize, bool newSequenceNumber) {
  uint16_t usaOffset = 0, count = 0;
  if (!FixupBounds(record, recordSize, &usaOffset, &count)) return;
  uint16_t sequence = ReadLE<uint16_t>(record + usaOffset);
  if (newSequenceNumber) sequence = static_cast<uint16_t>(sequence + 1 == 0 ? 1 : sequence + 1);
  WriteLE<uint16_t>(record + usaOffset, sequence);
  for (uint32_t i = 1; i < count; ++i) {
    std::memcpy(record + usaOffset + 2 * i, record + i * STRIDE - 2, 2);
    WriteLE<uint16_t>(record + i * STRIDE - 2, sequence);
  }
}

struct SAttribute {
  size_t offset = 0;
  uint32_t type = 0;
  uint32_t length = 0;
  bool nonResident = false;
};

// The attributes of a decoded record as far as their lengths hold together.
std::vector<SAttribute> WalkAttributes(const uint8_t* record, size_t recordSize) {
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
bool ResidentValue(const uint8_t* record, const SAttribute& attribute, size_t* begin, size_t* length) {
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

std::vector<SRun> DecodeRuns(const uint8_t* record, const SAttribute& attribute) {
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

uint64_t ReadReference(const uint8_t* p) { return ReadLE<uint64_t>(p) & RECORD_NUMBER_MASK; }

uint64_t EntryRecord(const uint8_t* entry) {
  return ReadLE<uint32_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, recordNumberLow)) |
         uint64_t{ReadLE<uint16_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, recordNumberHigh))} << 32;
}

// Offsets of the entries of an attribute-list value, as far as their lengths hold together.
std::vector<size_t> ListEntries(const uint8_t* value, size_t length) {
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

CVolumeModel::CVolumeModel(uint8_t* data, size_t size, uint64_t factsBelow) : m_data(data), m_size(size) {
  if (!ParseFuzzVolume(data, size, &m_volume)) return;
  size_t bootLength = BOOT_SECTOR_SIZE;
  const uint8_t* boot = VolumeBytes(0, &bootLength);
  if (boot != nullptr && bootLength == BOOT_SECTOR_SIZE) m_bootOffset = static_cast<size_t>(boot - data);
  m_geometry = ReadGeometry(BootSector());
  FindSlots(MftExtents());
  ReadFacts(factsBelow);
  m_usable = !m_slots.empty() || m_bootOffset != NO_OFFSET;
}

uint8_t* CVolumeModel::VolumeBytes(uint64_t offset, size_t* length) const {
  // The last extent that holds the start is the one a read sees there.
  for (auto extent = m_volume.extents.rbegin(); extent != m_volume.extents.rend(); ++extent) {
    if (offset < extent->offset || offset - extent->offset >= extent->length) continue;
    *length = std::min<size_t>(*length, extent->length - static_cast<size_t>(offset - extent->offset));
    return m_data + extent->inputOffset + (offset - extent->offset);
  }
  return nullptr;
}

std::vector<std::pair<uint64_t, uint64_t>> CVolumeModel::MftExtents() const {
  // Volume ranges of the MFT's first extent, as record 0 gives them: (volume offset, first MFT byte).
  std::vector<std::pair<uint64_t, uint64_t>> extents;
  size_t length = m_geometry.recordSize;
  const uint8_t* bytes = VolumeBytes(m_geometry.mftOffset, &length);
  if (bytes == nullptr || length != m_geometry.recordSize) return extents;
  std::vector<uint8_t> record(bytes, bytes + length);
  UndoFixups(record.data(), m_geometry.recordSize);
  for (const SAttribute& attribute : WalkAttributes(record.data(), record.size())) {
    if (attribute.type != ATTR_TYPE_DATA || !attribute.nonResident) continue;
    uint64_t vcn = 0;
    for (const SRun& run : DecodeRuns(record.data(), attribute)) {
      if (!run.sparse && run.lcn < (uint64_t{1} << 40)) {
        extents.emplace_back(run.lcn * m_geometry.clusterSize, vcn * m_geometry.clusterSize);
        extents.emplace_back(run.lcn * m_geometry.clusterSize + run.clusters * m_geometry.clusterSize, 0);
      }
      vcn += run.clusters;
    }
    break;
  }
  return extents;
}

void CVolumeModel::FindSlots(const std::vector<std::pair<uint64_t, uint64_t>>& mftExtents) {
  const uint32_t recordSize = m_geometry.recordSize;
  const auto numberInMft = [&](uint64_t volumeOffset, uint64_t* number) {
    for (size_t i = 0; i + 1 < mftExtents.size(); i += 2) {
      if (volumeOffset >= mftExtents[i].first && volumeOffset < mftExtents[i + 1].first) {
        *number = (mftExtents[i].second + (volumeOffset - mftExtents[i].first)) / recordSize;
        return true;
      }
    }
    return false;
  };
  for (const SVolumeExtent& extent : m_volume.extents) {
    if (extent.offset > UINT64_MAX - extent.length) continue;
    uint64_t position = (extent.offset + STRIDE - 1) / STRIDE * STRIDE;
    while (position >= extent.offset && position - extent.offset + recordSize <= extent.length) {
      const uint8_t* bytes = extent.data + (position - extent.offset);
      if (std::memcmp(bytes, FILE_RECORD_SIGNATURE, 4) != 0 && std::memcmp(bytes, BAAD_SIGNATURE, 4) != 0) {
        position += STRIDE;
        continue;
      }
      SRecordSlot slot;
      slot.inputOffset = extent.inputOffset + static_cast<size_t>(position - extent.offset);
      slot.volumeOffset = position;
      slot.inMft = numberInMft(position, &slot.number);
      if (!slot.inMft) slot.number = ReadLE<uint32_t>(bytes + RECORD_NUMBER_FIELD);
      m_slots.push_back(slot);
      position += recordSize;
    }
  }
  // A number belongs to its slot in the MFT; copies elsewhere (the mirror) only when there is none.
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < m_slots.size(); ++i) {
      if (m_slots[i].inMft == (pass == 0)) m_slotOfNumber.emplace(m_slots[i].number, i);
      if (pass == 0 && m_slots[i].inMft) m_mftSlots.push_back(i);
    }
  }
  if (m_mftSlots.empty()) {
    for (size_t i = 0; i < m_slots.size(); ++i) m_mftSlots.push_back(i);
  }
}

uint8_t* CVolumeModel::NonResidentValue(const uint8_t* record, const SAttribute& attribute, size_t* length) const {
  if (!attribute.nonResident || attribute.length < sizeof(NONRESIDENT_ATTRIBUTE_HEADER)) return nullptr;
  const uint64_t dataSize = READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, dataSize, record + attribute.offset);
  for (const SRun& run : DecodeRuns(record, attribute)) {
    if (run.sparse) continue;
    if (run.lcn >= (uint64_t{1} << 40) || run.clusters == 0) return nullptr;
    *length = static_cast<size_t>(
        std::min<uint64_t>({dataSize, run.clusters * m_geometry.clusterSize, MAX_LIST_VALUE}));
    return *length == 0 ? nullptr : VolumeBytes(run.lcn * m_geometry.clusterSize, length);
  }
  return nullptr;
}

void CVolumeModel::ReadFacts(uint64_t factsBelow) {
  m_facts.resize(m_slots.size());
  std::vector<uint8_t> record(m_geometry.recordSize);
  std::unordered_map<uint64_t, bool> namedByList;
  for (size_t i = 0; i < m_slots.size(); ++i) {
    if (m_slots[i].number >= factsBelow) continue;
    std::memcpy(record.data(), m_data + m_slots[i].inputOffset, record.size());
    UndoFixups(record.data(), m_geometry.recordSize);
    SRecordFacts& facts = m_facts[i];
    facts.isDirectory = (READ_FIELD(FILE_RECORD_HEADER, flags, record.data()) & FILE_RECORD_DIRECTORY) != 0;
    facts.base = ReadReference(record.data() + offsetof(FILE_RECORD_HEADER, baseRecord));
    if (facts.base != 0) facts.references.push_back(facts.base);
    for (const SAttribute& attribute : WalkAttributes(record.data(), record.size())) {
      size_t begin = 0, length = 0;
      if (attribute.type == ATTR_TYPE_FILE_NAME && ResidentValue(record.data(), attribute, &begin, &length) &&
          length >= sizeof(uint64_t)) {
        facts.references.push_back(ReadReference(record.data() + begin));
      }
      if (attribute.type != ATTR_TYPE_ATTRIBUTE_LIST) continue;
      facts.hasList = true;
      const uint8_t* value = nullptr;
      if (ResidentValue(record.data(), attribute, &begin, &length)) {
        value = record.data() + begin;
      } else {
        value = NonResidentValue(record.data(), attribute, &length);
      }
      if (value == nullptr) continue;
      for (size_t entry : ListEntries(value, length)) {
        const uint64_t named = EntryRecord(value + entry);
        if (named == m_slots[i].number) continue;
        facts.references.push_back(named);
        namedByList[named] = true;
      }
    }
    std::sort(facts.references.begin(), facts.references.end());
    facts.references.erase(std::unique(facts.references.begin(), facts.references.end()), facts.references.end());
    for (uint64_t named : facts.references) m_referrers[named].push_back(m_slots[i].number);
  }
  for (size_t i = 0; i < m_slots.size(); ++i) {
    const SRecordFacts& facts = m_facts[i];
    if (facts.hasList || facts.base != 0 || namedByList.count(m_slots[i].number) != 0) m_interesting.push_back(i);
    if (facts.isDirectory) m_directories.push_back(i);
  }
}

size_t CVolumeModel::SlotOf(uint64_t number) const {
  const auto found = m_slotOfNumber.find(number);
  return found == m_slotOfNumber.end() ? NO_OFFSET : found->second;
}

std::vector<uint64_t> CVolumeModel::Related(uint64_t number) const {
  std::vector<uint64_t> related;
  const size_t slot = SlotOf(number);
  if (slot != NO_OFFSET) related = m_facts[slot].references;
  const auto referrers = m_referrers.find(number);
  if (referrers != m_referrers.end()) related.insert(related.end(), referrers->second.begin(), referrers->second.end());
  return related;
}

// ---- One call's mutations.

class CMutation {
 public:
  CMutation(CVolumeModel& model, CRandom& random, EMutationFocus focus)
      : m_model(model), m_random(random), m_focus(focus), m_recordSize(model.Geometry().recordSize) {}

  void Run();

 private:
  struct SEdit {
    std::vector<uint8_t> bytes;  // fix-ups undone
  };

  size_t PickFocusSlot();
  size_t PickSlotNear(size_t focus);
  SEdit& Edit(size_t slot);
  std::vector<uint8_t> Decoded(size_t slot);
  void Commit();

  uint64_t PickRecordNumber(uint64_t owner);
  uint64_t PickDirectoryNumber(uint64_t owner);
  uint32_t PickType(uint32_t old);
  uint64_t Interesting64(uint64_t old, uint64_t unit);
  uint32_t Interesting32(uint32_t old, uint32_t unit);
  void WriteReference(uint8_t* field, uint64_t number);
  void RawWindow(uint8_t* bytes, size_t length);

  bool MutateRecord(size_t slot);
  bool MutateHeader(std::vector<uint8_t>& record, uint64_t number);
  bool MutateAttributeHeader(std::vector<uint8_t>& record);
  bool MutateRunList(std::vector<uint8_t>& record);
  bool ResizeValue(std::vector<uint8_t>& record);
  bool MutateValue(std::vector<uint8_t>& record, uint64_t number);
  bool MutateAttributeList(std::vector<uint8_t>& record, uint64_t number);
  bool MutateListEntries(uint8_t* value, size_t length, uint64_t owner);
  bool Splice(std::vector<uint8_t>& record, size_t from);
  bool Rearrange(std::vector<uint8_t>& record);
  bool CopyRecord(std::vector<uint8_t>& record, size_t from, uint64_t number);
  bool PointAtEachOther(size_t focus);
  bool NameInList(std::vector<uint8_t>& record, uint64_t owner, uint64_t named);
  bool InlineAttributeList(std::vector<uint8_t>& record);
  bool MutateBootSector();
  bool MutateVolumeSize();

  // Rebuilds the attributes of a record from a list of attribute bytes: ends them with the end
  // marker, sets the bytes in use; attributes that do not fit are left out.
  bool WriteAttributes(std::vector<uint8_t>& record, const std::vector<std::vector<uint8_t>>& attributes);
  std::vector<std::vector<uint8_t>> AttributeBytes(const std::vector<uint8_t>& record);

  CVolumeModel& m_model;
  CRandom& m_random;
  EMutationFocus m_focus;
  uint32_t m_recordSize;
  std::map<size_t, SEdit> m_edits;
};

size_t CMutation::PickFocusSlot() {
  const std::vector<SRecordSlot>& slots = m_model.Slots();
  const auto system = [&]() -> size_t {
    const uint64_t number = m_random.Percent(40) ? (m_random.Percent(50) ? 0 : VOLUME_RECORD) : m_random.Below(16);
    const size_t slot = m_model.SlotOf(number);
    return slot != NO_OFFSET ? slot : m_random.Of(m_model.MftSlots());
  };
  if (m_focus == EMutationFocus::Open) return m_random.Percent(70) ? system() : m_random.Below(slots.size());
  const unsigned pick = static_cast<unsigned>(m_random.Below(100));
  if (pick < 45 && !m_model.Interesting().empty()) return m_random.Of(m_model.Interesting());
  if (pick < 55) return system();
  return m_random.Of(m_model.MftSlots());
}

size_t CMutation::PickSlotNear(size_t focus) {
  if (m_random.Percent(50)) return focus;
  if (m_random.Percent(70)) {
    const std::vector<uint64_t> related = m_model.Related(m_model.Slots()[focus].number);
    if (!related.empty()) {
      const size_t slot = m_model.SlotOf(m_random.Of(related));
      if (slot != NO_OFFSET) return slot;
    }
  }
  return PickFocusSlot();
}

std::vector<uint8_t> CMutation::Decoded(size_t slot) {
  const auto edited = m_edits.find(slot);
  if (edited != m_edits.end()) return edited->second.bytes;
  const uint8_t* bytes = m_model.Data() + m_model.Slots()[slot].inputOffset;
  std::vector<uint8_t> record(bytes, bytes + m_recordSize);
  UndoFixups(record.data(), m_recordSize);
  return record;
}

CMutation::SEdit& CMutation::Edit(size_t slot) {
  auto edited = m_edits.find(slot);
  if (edited == m_edits.end()) edited = m_edits.emplace(slot, SEdit{Decoded(slot)}).first;
  return edited->second;
}

void CMutation::Commit() {
  for (auto& [slot, edit] : m_edits) {
    std::vector<uint8_t>& record = edit.bytes;
    const size_t pick = m_random.Below(32);
    if (pick == 0) {
      // Left without fix-ups: the protected words hold data, as in a torn write.
    } else if (pick == 1) {
      ApplyFixups(record.data(), m_recordSize, false);
      const size_t word = 1 + m_random.Below(m_recordSize / STRIDE);
      record[word * STRIDE - 1] ^= static_cast<uint8_t>(1 + m_random.Below(255));
    } else {
      ApplyFixups(record.data(), m_recordSize, m_random.Percent(25));
    }
    std::memcpy(m_model.Data() + m_model.Slots()[slot].inputOffset, record.data(), m_recordSize);
  }
  m_edits.clear();
}

uint64_t CMutation::PickRecordNumber(uint64_t owner) {
  const unsigned pick = static_cast<unsigned>(m_random.Below(100));
  if (pick < 35) {
    // A record that already points at this one, or that this one points at: the way to a loop.
    const std::vector<uint64_t> related = m_model.Related(owner);
    if (!related.empty()) return m_random.Of(related);
  }
  if (pick < 55 && !m_model.Interesting().empty()) return m_model.Slots()[m_random.Of(m_model.Interesting())].number;
  if (pick < 72) return m_model.Slots()[m_random.Of(m_model.MftSlots())].number;
  if (pick < 80) return owner;
  if (pick < 88) return m_random.Below(27);
  const uint64_t beyond[] = {m_model.Slots().size() + m_random.Below(16), 0xFFFFFFFFull, (uint64_t{1} << 32) | m_random.Below(64),
                             RECORD_NUMBER_MASK, m_random.Next() & RECORD_NUMBER_MASK};
  return beyond[m_random.Below(std::size(beyond))];
}

uint64_t CMutation::PickDirectoryNumber(uint64_t owner) {
  if (m_random.Percent(60) && !m_model.Directories().empty()) {
    return m_model.Slots()[m_random.Of(m_model.Directories())].number;
  }
  if (m_random.Percent(20)) return ROOT_DIRECTORY_RECORD;
  return PickRecordNumber(owner);
}

uint32_t CMutation::PickType(uint32_t old) {
  const unsigned pick = static_cast<unsigned>(m_random.Below(100));
  if (pick < 25) return KNOWN_TYPES[m_random.Below(std::size(KNOWN_TYPES))];
  if (pick < 55) return static_cast<uint32_t>(0x10 * (1 + m_random.Below(16)) + 1 + m_random.Below(15));
  if (pick < 75) return m_random.Percent(50) ? old + 1 + static_cast<uint32_t>(m_random.Below(16))
                                             : old - 1 - static_cast<uint32_t>(m_random.Below(16));
  if (pick < 85) return ATTR_TYPE_ATTRIBUTE_LIST + static_cast<uint32_t>(m_random.Below(16));
  if (pick < 92) {
    const uint32_t odd[] = {0, 0x110, 0x1000, 0x7FFFFFFF, 0xFFFFFFF0};
    return odd[m_random.Below(std::size(odd))];
  }
  return static_cast<uint32_t>(m_random.Next());
}

uint64_t CMutation::Interesting64(uint64_t old, uint64_t unit) {
  const uint64_t values[] = {0,
                             1,
                             old + 1,
                             old - 1,
                             old * 2,
                             old / 2,
                             old + unit,
                             old - unit,
                             ~uint64_t{0},
                             uint64_t{1} << 31,
                             uint64_t{1} << 32,
                             (uint64_t{1} << 32) + old,
                             uint64_t{1} << 40,
                             uint64_t{1} << 48,
                             uint64_t{1} << 62,
                             uint64_t{1} << 63,
                             (uint64_t{1} << 63) - 1,
                             m_random.Below(1 << 16),
                             m_random.Next()};
  return values[m_random.Below(std::size(values))];
}

uint32_t CMutation::Interesting32(uint32_t old, uint32_t unit) {
  const uint32_t values[] = {0,         1,        old + 1,   old - 1,    old + 8,    old - 8,          old * 2,
                             old / 2,   old + unit, old - unit, 0xFFFFFFFF, 0x80000000, 0x7FFFFFFF, 0x10000,
                             m_recordSize, static_cast<uint32_t>(m_random.Below(m_recordSize + 1)),
                             static_cast<uint32_t>(m_random.Next())};
  return values[m_random.Below(std::size(values))];
}

void CMutation::WriteReference(uint8_t* field, uint64_t number) {
  const uint64_t old = ReadLE<uint64_t>(field);
  uint64_t sequence = old & ~RECORD_NUMBER_MASK;
  if (m_random.Percent(20)) sequence = (m_random.Next() & 0xFFFF) << 48;
  WriteLE<uint64_t>(field, (number & RECORD_NUMBER_MASK) | sequence);
}

void CMutation::RawWindow(uint8_t* bytes, size_t length) {
  if (length == 0) return;
  const size_t start = m_random.Below(length);
  const size_t window = 1 + m_random.Below(std::min<size_t>(64, length - start));
  LLVMFuzzerMutate(bytes + start, window, window);
}

bool CMutation::MutateHeader(std::vector<uint8_t>& record, uint64_t number) {
  uint8_t* r = record.data();
  switch (m_random.Below(9)) {
    case 0: {
      uint16_t flags = READ_FIELD(FILE_RECORD_HEADER, flags, r);
      const uint16_t values[] = {static_cast<uint16_t>(flags ^ (1u << m_random.Below(4))), 0, 1, 2, 3, 0xFFFF};
      flags = values[m_random.Below(std::size(values))];
      WriteLE<uint16_t>(r + offsetof(FILE_RECORD_HEADER, flags), flags);
      return true;
    }
    case 1:
      WriteReference(r + offsetof(FILE_RECORD_HEADER, baseRecord), PickRecordNumber(number));
      return true;
    case 2: {
      const uint16_t old = READ_FIELD(FILE_RECORD_HEADER, firstAttributeOffset, r);
      const uint16_t values[] = {static_cast<uint16_t>(old + 8), static_cast<uint16_t>(old - 8),
                                 static_cast<uint16_t>(old + 16), 0x38, 0x30, 0,
                                 static_cast<uint16_t>(m_recordSize - 8), static_cast<uint16_t>(m_random.Below(m_recordSize))};
      WriteLE<uint16_t>(r + offsetof(FILE_RECORD_HEADER, firstAttributeOffset), values[m_random.Below(std::size(values))]);
      return true;
    }
    case 3: {
      const size_t field = m_random.Percent(50) ? offsetof(FILE_RECORD_HEADER, usaOffset) : offsetof(FILE_RECORD_HEADER, usaCount);
      const uint16_t old = ReadLE<uint16_t>(r + field);
      const uint16_t values[] = {0, 1, 2, static_cast<uint16_t>(old + 1), static_cast<uint16_t>(old - 1),
                                 static_cast<uint16_t>(m_recordSize / STRIDE + 2), 0x28, 0xFFFF,
                                 static_cast<uint16_t>(m_random.Below(m_recordSize))};
      WriteLE<uint16_t>(r + field, values[m_random.Below(std::size(values))]);
      return true;
    }
    case 4: {
      const size_t field = m_random.Percent(70) ? offsetof(FILE_RECORD_HEADER, bytesInUse) : offsetof(FILE_RECORD_HEADER, bytesAllocated);
      WriteLE<uint32_t>(r + field, Interesting32(ReadLE<uint32_t>(r + field), 8));
      return true;
    }
    case 5:
      if (m_random.Percent(60)) {
        std::memcpy(r, BAAD_SIGNATURE, 4);
      } else {
        r[m_random.Below(4)] ^= static_cast<uint8_t>(1 + m_random.Below(255));
      }
      return true;
    case 6: {
      const size_t field = m_random.Percent(50) ? offsetof(FILE_RECORD_HEADER, sequenceNumber) : offsetof(FILE_RECORD_HEADER, linkCount);
      const uint16_t old = ReadLE<uint16_t>(r + field);
      const uint16_t values[] = {0, 1, 2, static_cast<uint16_t>(old + 1), 0xFFFF};
      WriteLE<uint16_t>(r + field, values[m_random.Below(std::size(values))]);
      return true;
    }
    case 7:
      WriteLE<uint32_t>(r + RECORD_NUMBER_FIELD, static_cast<uint32_t>(PickRecordNumber(number)));
      return true;
    default:
      WriteReference(r + offsetof(FILE_RECORD_HEADER, baseRecord), m_random.Percent(70) ? 0 : number);
      return true;
  }
}

bool CMutation::MutateAttributeHeader(std::vector<uint8_t>& record) {
  const std::vector<SAttribute> attributes = WalkAttributes(record.data(), record.size());
  if (attributes.empty()) return false;
  const SAttribute& attribute = m_random.Of(attributes);
  uint8_t* h = record.data() + attribute.offset;
  const uint32_t cluster = m_model.Geometry().clusterSize;
  const size_t pick = m_random.Below(attribute.nonResident ? 14 : 9);
  switch (pick) {
    case 0:
    case 1:
      WriteLE<uint32_t>(h, PickType(attribute.type));
      return true;
    case 2: {
      const uint32_t room = static_cast<uint32_t>(record.size() - attribute.offset);
      const uint32_t values[] = {attribute.length + 8, attribute.length - 8, attribute.length + 1, 0, 8, 0x10, 0x18,
                                 room, room + 8, 0xFFFFFFFF, static_cast<uint32_t>(m_random.Below(room + 1))};
      WriteLE<uint32_t>(h + offsetof(ATTRIBUTE_HEADER, length), values[m_random.Below(std::size(values))]);
      return true;
    }
    case 3:
      h[offsetof(ATTRIBUTE_HEADER, nonResident)] ^= 1;
      return true;
    case 4: {
      const uint8_t values[] = {0, 1, 4, 0xFF, static_cast<uint8_t>(h[offsetof(ATTRIBUTE_HEADER, nameLength)] + 1)};
      h[offsetof(ATTRIBUTE_HEADER, nameLength)] = values[m_random.Below(std::size(values))];
      if (m_random.Percent(50)) {
        WriteLE<uint16_t>(h + offsetof(ATTRIBUTE_HEADER, nameOffset),
                          static_cast<uint16_t>(Interesting32(READ_FIELD(ATTRIBUTE_HEADER, nameOffset, h), 8)));
      }
      return true;
    }
    case 5: {
      const uint16_t bits[] = {0x0001, 0x00FF, 0x4000, 0x8000};
      WriteLE<uint16_t>(h + offsetof(ATTRIBUTE_HEADER, flags),
                        static_cast<uint16_t>(READ_FIELD(ATTRIBUTE_HEADER, flags, h) ^ bits[m_random.Below(std::size(bits))]));
      return true;
    }
    case 6:
    case 7:
      if (!attribute.nonResident) {
        WriteLE<uint32_t>(h + offsetof(RESIDENT_ATTRIBUTE_HEADER, valueLength),
                          Interesting32(READ_FIELD(RESIDENT_ATTRIBUTE_HEADER, valueLength, h), 2));
        return true;
      }
      WriteLE<uint64_t>(h + offsetof(NONRESIDENT_ATTRIBUTE_HEADER, firstVcn),
                        Interesting64(READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, firstVcn, h), 1));
      return true;
    case 8:
      if (!attribute.nonResident) {
        WriteLE<uint16_t>(h + offsetof(RESIDENT_ATTRIBUTE_HEADER, valueOffset),
                          static_cast<uint16_t>(Interesting32(READ_FIELD(RESIDENT_ATTRIBUTE_HEADER, valueOffset, h), 8)));
        return true;
      }
      WriteLE<uint64_t>(h + offsetof(NONRESIDENT_ATTRIBUTE_HEADER, lastVcn),
                        Interesting64(READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, lastVcn, h), 1));
      return true;
    case 9:
      WriteLE<uint16_t>(h + offsetof(NONRESIDENT_ATTRIBUTE_HEADER, mappingPairsOffset),
                        static_cast<uint16_t>(Interesting32(READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, mappingPairsOffset, h), 8)));
      return true;
    case 10:
      WriteLE<uint16_t>(h + offsetof(NONRESIDENT_ATTRIBUTE_HEADER, compressionUnit),
                        static_cast<uint16_t>(m_random.Percent(50) ? 4 : m_random.Below(65536)));
      return true;
    default: {
      const size_t fields[] = {offsetof(NONRESIDENT_ATTRIBUTE_HEADER, allocatedSize), offsetof(NONRESIDENT_ATTRIBUTE_HEADER, dataSize),
                               offsetof(NONRESIDENT_ATTRIBUTE_HEADER, initializedSize)};
      const size_t field = fields[m_random.Below(std::size(fields))];
      WriteLE<uint64_t>(h + field, Interesting64(ReadLE<uint64_t>(h + field), cluster));
      return true;
    }
  }
}

bool CMutation::MutateRunList(std::vector<uint8_t>& record) {
  std::vector<SAttribute> nonResident;
  for (const SAttribute& attribute : WalkAttributes(record.data(), record.size())) {
    if (attribute.nonResident && attribute.length >= sizeof(NONRESIDENT_ATTRIBUTE_HEADER)) nonResident.push_back(attribute);
  }
  if (nonResident.empty()) return false;
  const SAttribute& attribute = m_random.Of(nonResident);
  const std::vector<SRun> runs = DecodeRuns(record.data(), attribute);
  const size_t listStart = attribute.offset + READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, mappingPairsOffset, record.data() + attribute.offset);
  const size_t end = attribute.offset + attribute.length;
  if (runs.empty() || m_random.Percent(15)) {
    if (listStart < end) RawWindow(record.data() + listStart, end - listStart);
    return listStart < end;
  }
  const SRun& run = m_random.Of(runs);
  uint8_t* p = record.data() + run.at;
  switch (m_random.Below(6)) {
    case 0: {
      const uint8_t values[] = {0, static_cast<uint8_t>(*p & 0x0F), static_cast<uint8_t>(*p + 0x10), static_cast<uint8_t>(*p - 1),
                                static_cast<uint8_t>(*p + 1), 0x88, 0x18, 0x01,
                                static_cast<uint8_t>(((1 + m_random.Below(8)) << 4) | (1 + m_random.Below(8)))};
      *p = values[m_random.Below(std::size(values))];
      return true;
    }
    case 1:
      if (run.countBytes == 0) return false;
      p[1 + m_random.Below(run.countBytes)] = m_random.Percent(50) ? 0xFF : static_cast<uint8_t>(m_random.Next());
      return true;
    case 2:
      if (run.offsetBytes == 0) return false;
      p[run.countBytes + run.offsetBytes] ^= 0x80;  // the sign of the LCN step
      return true;
    case 3:
      if (run.offsetBytes == 0) return false;
      p[1 + run.countBytes + m_random.Below(run.offsetBytes)] = static_cast<uint8_t>(m_random.Next());
      return true;
    case 4: {
      // Ends the list after this run.
      const size_t next = run.at + 1 + run.countBytes + run.offsetBytes;
      if (next >= end) return false;
      record[next] = 0;
      return true;
    }
    default: {
      // One run of many clusters: sparse, or far out on the volume.
      const size_t room = end - run.at;
      if (room < 7) return false;
      p[0] = m_random.Percent(50) ? 0x05 : 0x45;
      const uint64_t clusters = m_random.Percent(50) ? (uint64_t{1} << 32) : m_random.Below(1 << 20) + 1;
      for (int i = 0; i < 5 && 1 + i < static_cast<int>(room); ++i) p[1 + i] = static_cast<uint8_t>(clusters >> (8 * i));
      if (p[0] == 0x45 && room >= 11) {
        for (int i = 0; i < 4; ++i) p[6 + i] = static_cast<uint8_t>(m_random.Next());
        p[10] = 0;
      } else {
        p[0] = 0x05;
        p[6] = 0;
      }
      return true;
    }
  }
}

// Bytes of the signed or unsigned little-endian number v in a mapping pair: as few as hold it.
unsigned PairBytes(uint64_t v, bool isSigned) {
  unsigned bytes = 1;
  while (bytes < 8) {
    const uint64_t high = v >> (8 * bytes - (isSigned ? 1 : 0));
    if (high == 0 || (isSigned && high == (~uint64_t{0} >> (8 * bytes - 1)))) break;
    ++bytes;
  }
  return bytes;
}

bool CMutation::ResizeValue(std::vector<uint8_t>& record) {
  // A value grown (or shrunk) with every size field agreeing, its runs ending in one run that covers
  // the difference: a hole, or clusters far out on the volume. Sizes far beyond the volume that
  // still hold together are what a volume's checks must catch.
  std::vector<SAttribute> nonResident;
  for (const SAttribute& attribute : WalkAttributes(record.data(), record.size())) {
    if (attribute.nonResident && attribute.length >= sizeof(NONRESIDENT_ATTRIBUTE_HEADER)) nonResident.push_back(attribute);
  }
  if (nonResident.empty()) return false;
  const SAttribute& attribute = m_random.Of(nonResident);
  uint8_t* h = record.data() + attribute.offset;
  const uint64_t cluster = m_model.Geometry().clusterSize;
  const uint64_t firstVcn = READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, firstVcn, h);
  const std::vector<SRun> runs = DecodeRuns(record.data(), attribute);
  uint64_t clusters = 0;
  for (const SRun& run : runs) clusters += run.clusters;
  const uint64_t targets[] = {clusters * 2 + 1, clusters + 1, uint64_t{1} << 20, uint64_t{1} << 32, uint64_t{1} << 40,
                              uint64_t{1} << 52, 1 + m_random.Below(1 << 16)};
  const uint64_t total = std::max<uint64_t>(targets[m_random.Below(std::size(targets))], clusters + 1);
  const uint64_t extra = total - clusters;
  // The runs as they stand, then the filler.
  const size_t listStart = attribute.offset + READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, mappingPairsOffset, h);
  size_t at = runs.empty() ? listStart : runs.back().at + 1 + runs.back().countBytes + runs.back().offsetBytes;
  const size_t end = attribute.offset + attribute.length;
  const bool sparse = m_random.Percent(60);
  const int64_t step = sparse ? 0 : static_cast<int64_t>(m_random.Percent(50) ? m_random.Below(1 << 16) : m_random.Next() >> 24);
  const unsigned countBytes = PairBytes(extra, false);
  const unsigned offsetBytes = sparse ? 0 : PairBytes(static_cast<uint64_t>(step), true);
  if (at < listStart || at + 2 + countBytes + offsetBytes > end) {
    // No room after the runs: the filler alone stands for the whole value.
    at = listStart;
    if (at + 2 + countBytes + offsetBytes > end) return false;
  }
  const uint64_t filler = at == listStart ? total : extra;
  const unsigned fillerBytes = PairBytes(filler, false);
  if (at + 2 + fillerBytes + offsetBytes > end) return false;
  record[at] = static_cast<uint8_t>(fillerBytes | (offsetBytes << 4));
  for (unsigned i = 0; i < fillerBytes; ++i) record[at + 1 + i] = static_cast<uint8_t>(filler >> (8 * i));
  for (unsigned i = 0; i < offsetBytes; ++i) record[at + 1 + fillerBytes + i] = static_cast<uint8_t>(static_cast<uint64_t>(step) >> (8 * i));
  record[at + 1 + fillerBytes + offsetBytes] = 0;
  WriteLE<uint64_t>(h + offsetof(NONRESIDENT_ATTRIBUTE_HEADER, lastVcn), firstVcn + total - 1);
  const uint64_t bytes = total * cluster;
  WriteLE<uint64_t>(h + offsetof(NONRESIDENT_ATTRIBUTE_HEADER, allocatedSize), bytes);
  WriteLE<uint64_t>(h + offsetof(NONRESIDENT_ATTRIBUTE_HEADER, dataSize), m_random.Percent(70) ? bytes : bytes - m_random.Below(cluster));
  WriteLE<uint64_t>(h + offsetof(NONRESIDENT_ATTRIBUTE_HEADER, initializedSize),
                    m_random.Percent(50) ? bytes : READ_FIELD(NONRESIDENT_ATTRIBUTE_HEADER, initializedSize, h));
  return true;
}

bool CMutation::MutateListEntries(uint8_t* value, size_t length, uint64_t owner) {
  const std::vector<size_t> entries = ListEntries(value, length);
  if (entries.empty()) return false;
  const size_t at = m_random.Of(entries);
  uint8_t* entry = value + at;
  const unsigned pick = static_cast<unsigned>(m_random.Below(100));
  if (pick < 40) {
    WriteLE<uint32_t>(entry, PickType(ReadLE<uint32_t>(entry)));
  } else if (pick < 70) {
    const uint64_t number = PickRecordNumber(owner);
    WriteLE<uint32_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, recordNumberLow), static_cast<uint32_t>(number));
    WriteLE<uint16_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, recordNumberHigh), static_cast<uint16_t>(number >> 32));
  } else if (pick < 80) {
    const uint16_t old = ReadLE<uint16_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, length));
    const uint16_t values[] = {0, 8, 0x18, 0x20, static_cast<uint16_t>(old + 8), static_cast<uint16_t>(old - 8), 0xFFFF,
                               static_cast<uint16_t>(m_random.Below(length - at + 1))};
    WriteLE<uint16_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, length), values[m_random.Below(std::size(values))]);
  } else if (pick < 85) {
    WriteLE<uint64_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, lowestVcn),
                      Interesting64(ReadLE<uint64_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, lowestVcn)), 1));
  } else if (pick < 90) {
    entry[m_random.Percent(50) ? offsetof(ATTRIBUTE_LIST_ENTRY, nameLength) : offsetof(ATTRIBUTE_LIST_ENTRY, nameOffset)] =
        static_cast<uint8_t>(m_random.Percent(50) ? m_random.Below(8) : m_random.Next());
  } else {
    // Another entry's fields over this one: the same attribute named twice, or by another record.
    const size_t other = m_random.Of(entries);
    if (other == at) return false;
    const uint16_t ownLength = ReadLE<uint16_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, length));
    std::memmove(entry, value + other, ENTRY_MIN_LENGTH - 2);
    WriteLE<uint16_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, length), ownLength);
  }
  return true;
}

bool CMutation::MutateAttributeList(std::vector<uint8_t>& record, uint64_t number) {
  for (const SAttribute& attribute : WalkAttributes(record.data(), record.size())) {
    if (attribute.type != ATTR_TYPE_ATTRIBUTE_LIST) continue;
    size_t begin = 0, length = 0;
    if (ResidentValue(record.data(), attribute, &begin, &length)) return MutateListEntries(record.data() + begin, length, number);
    // A non-resident list is changed where it lies, outside the record.
    uint8_t* value = m_model.NonResidentValue(record.data(), attribute, &length);
    if (value != nullptr) return MutateListEntries(value, length, number);
  }
  return false;
}

bool CMutation::MutateValue(std::vector<uint8_t>& record, uint64_t number) {
  std::vector<std::pair<SAttribute, std::pair<size_t, size_t>>> values;
  for (const SAttribute& attribute : WalkAttributes(record.data(), record.size())) {
    size_t begin = 0, length = 0;
    if (ResidentValue(record.data(), attribute, &begin, &length) && length > 0) values.push_back({attribute, {begin, length}});
  }
  if (values.empty()) return false;
  const auto& [attribute, where] = m_random.Of(values);
  uint8_t* v = record.data() + where.first;
  const size_t length = where.second;
  if (attribute.type == ATTR_TYPE_FILE_NAME && length >= offsetof(FILE_NAME_VALUE, name)) {
    switch (m_random.Below(6)) {
      case 0:
      case 1:
        WriteReference(v + offsetof(FILE_NAME_VALUE, parentReference), PickDirectoryNumber(number));
        return true;
      case 2: {
        const uint8_t old = v[offsetof(FILE_NAME_VALUE, nameLength)];
        const uint8_t values[] = {0, 1, 255, static_cast<uint8_t>(old + 1), static_cast<uint8_t>(old - 1)};
        v[offsetof(FILE_NAME_VALUE, nameLength)] = values[m_random.Below(std::size(values))];
        return true;
      }
      case 3:
        v[offsetof(FILE_NAME_VALUE, nameSpace)] = static_cast<uint8_t>(m_random.Percent(80) ? m_random.Below(4) : m_random.Next());
        return true;
      case 4: {
        const size_t units = (length - offsetof(FILE_NAME_VALUE, name)) / 2;
        if (units == 0) return false;
        const uint16_t odd[] = {0, '\\', '/', ':', '*', '?', 'A', 'a', 0xD800, 0xDC00, 0xFFFF, 0x00C4, 0x0130};
        WriteLE<uint16_t>(v + offsetof(FILE_NAME_VALUE, name) + 2 * m_random.Below(units), odd[m_random.Below(std::size(odd))]);
        return true;
      }
      default:
        WriteLE<uint32_t>(v + offsetof(FILE_NAME_VALUE, fileAttributes),
                          ReadLE<uint32_t>(v + offsetof(FILE_NAME_VALUE, fileAttributes)) ^ (1u << m_random.Below(32)));
        return true;
    }
  }
  if (attribute.type == ATTR_TYPE_STANDARD_INFORMATION && length >= sizeof(STANDARD_INFORMATION)) {
    if (m_random.Percent(60)) {
      const uint32_t bits[] = {FILE_ATTRIBUTE_BIT_DIRECTORY, FILE_ATTRIBUTE_BIT_SPARSE, FILE_ATTRIBUTE_BIT_COMPRESSED, 0x400,
                               0x4000, 0x80000000, 1u << m_random.Below(32)};
      WriteLE<uint32_t>(v + offsetof(STANDARD_INFORMATION, fileAttributes),
                        ReadLE<uint32_t>(v + offsetof(STANDARD_INFORMATION, fileAttributes)) ^ bits[m_random.Below(std::size(bits))]);
    } else {
      const size_t times[] = {offsetof(STANDARD_INFORMATION, creationTime), offsetof(STANDARD_INFORMATION, lastWriteTime),
                              offsetof(STANDARD_INFORMATION, lastAccessTime)};
      const size_t field = times[m_random.Below(std::size(times))];
      WriteLE<uint64_t>(v + field, Interesting64(ReadLE<uint64_t>(v + field), 10000000));
    }
    return true;
  }
  if (attribute.type == ATTR_TYPE_ATTRIBUTE_LIST) return MutateListEntries(v, length, number);
  RawWindow(v, length);
  return true;
}

std::vector<std::vector<uint8_t>> CMutation::AttributeBytes(const std::vector<uint8_t>& record) {
  std::vector<std::vector<uint8_t>> attributes;
  for (const SAttribute& attribute : WalkAttributes(record.data(), record.size())) {
    attributes.emplace_back(record.begin() + static_cast<ptrdiff_t>(attribute.offset),
                            record.begin() + static_cast<ptrdiff_t>(attribute.offset + attribute.length));
  }
  return attributes;
}

bool CMutation::WriteAttributes(std::vector<uint8_t>& record, const std::vector<std::vector<uint8_t>>& attributes) {
  const size_t first = READ_FIELD(FILE_RECORD_HEADER, firstAttributeOffset, record.data());
  if (first < sizeof(FILE_RECORD_HEADER) || first + 8 > record.size()) return false;
  size_t at = first;
  for (const std::vector<uint8_t>& attribute : attributes) {
    if (attribute.size() > record.size() - 8 - at) break;
    std::memcpy(record.data() + at, attribute.data(), attribute.size());
    at += attribute.size();
  }
  WriteLE<uint32_t>(record.data() + at, ATTR_TYPE_END);
  WriteLE<uint32_t>(record.data() + at + 4, 0);
  at += 8;
  std::fill(record.begin() + static_cast<ptrdiff_t>(at), record.end(), 0);
  WriteLE<uint32_t>(record.data() + offsetof(FILE_RECORD_HEADER, bytesInUse), static_cast<uint32_t>(at));
  return true;
}

bool CMutation::Splice(std::vector<uint8_t>& record, size_t from) {
  const std::vector<uint8_t> source = Decoded(from);
  std::vector<std::vector<uint8_t>> theirs = AttributeBytes(source);
  if (theirs.empty()) return false;
  // An attribute list more often than its share: copied, it makes a record follow another's list.
  size_t pick = m_random.Below(theirs.size());
  if (m_random.Percent(40)) {
    for (size_t i = 0; i < theirs.size(); ++i) {
      if (ReadLE<uint32_t>(theirs[i].data()) == ATTR_TYPE_ATTRIBUTE_LIST) pick = i;
    }
  }
  std::vector<std::vector<uint8_t>> ours = AttributeBytes(record);
  const size_t at = m_random.Below(ours.size() + 1);
  if (!ours.empty() && m_random.Percent(40)) {
    ours[std::min(at, ours.size() - 1)] = theirs[pick];
  } else {
    ours.insert(ours.begin() + static_cast<ptrdiff_t>(at), theirs[pick]);
  }
  return WriteAttributes(record, ours);
}

bool CMutation::Rearrange(std::vector<uint8_t>& record) {
  std::vector<std::vector<uint8_t>> attributes = AttributeBytes(record);
  if (attributes.empty()) return false;
  const size_t a = m_random.Below(attributes.size());
  const size_t b = m_random.Below(attributes.size());
  switch (m_random.Below(3)) {
    case 0:
      attributes.erase(attributes.begin() + static_cast<ptrdiff_t>(a));
      break;
    case 1:
      attributes.insert(attributes.begin() + static_cast<ptrdiff_t>(b), attributes[a]);
      break;
    default:
      std::swap(attributes[a], attributes[b]);
      break;
  }
  return WriteAttributes(record, attributes);
}

bool CMutation::CopyRecord(std::vector<uint8_t>& record, size_t from, uint64_t number) {
  record = Decoded(from);
  if (m_random.Percent(50)) WriteLE<uint32_t>(record.data() + RECORD_NUMBER_FIELD, static_cast<uint32_t>(number));
  return true;
}

bool CMutation::NameInList(std::vector<uint8_t>& record, uint64_t owner, uint64_t named) {
  const auto name = [&](uint8_t* value, size_t length) {
    const std::vector<size_t> entries = ListEntries(value, length);
    if (entries.empty()) return false;
    uint8_t* entry = value + m_random.Of(entries);
    WriteLE<uint32_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, recordNumberLow), static_cast<uint32_t>(named));
    WriteLE<uint16_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, recordNumberHigh), static_cast<uint16_t>(named >> 32));
    if (m_random.Percent(60)) WriteLE<uint32_t>(entry, PickType(ReadLE<uint32_t>(entry)));
    return true;
  };
  std::vector<std::vector<uint8_t>> attributes = AttributeBytes(record);
  size_t insertAt = attributes.size();
  for (size_t i = 0; i < attributes.size(); ++i) {
    const uint32_t type = ReadLE<uint32_t>(attributes[i].data());
    if (type > ATTR_TYPE_ATTRIBUTE_LIST && insertAt == attributes.size()) insertAt = i;
    if (type != ATTR_TYPE_ATTRIBUTE_LIST) continue;
    SAttribute where{0, type, static_cast<uint32_t>(attributes[i].size()), attributes[i][8] != 0};
    size_t begin = 0, length = 0;
    if (!where.nonResident && ResidentValue(attributes[i].data(), where, &begin, &length)) {
      if (!name(attributes[i].data() + begin, length)) return false;
      return WriteAttributes(record, attributes);
    }
    uint8_t* value = m_model.NonResidentValue(attributes[i].data(), where, &length);
    return value != nullptr && name(value, length);
  }
  // No list yet: a resident one, naming the record's own standard information and the other record.
  constexpr size_t ENTRY = sizeof(ATTRIBUTE_LIST_ENTRY);
  std::vector<uint8_t> list(sizeof(RESIDENT_ATTRIBUTE_HEADER) + 2 * ENTRY, 0);
  WriteLE<uint32_t>(list.data(), ATTR_TYPE_ATTRIBUTE_LIST);
  WriteLE<uint32_t>(list.data() + offsetof(ATTRIBUTE_HEADER, length), static_cast<uint32_t>(list.size()));
  WriteLE<uint16_t>(list.data() + offsetof(ATTRIBUTE_HEADER, nameOffset), sizeof(RESIDENT_ATTRIBUTE_HEADER));
  WriteLE<uint32_t>(list.data() + offsetof(RESIDENT_ATTRIBUTE_HEADER, valueLength), 2 * ENTRY);
  WriteLE<uint16_t>(list.data() + offsetof(RESIDENT_ATTRIBUTE_HEADER, valueOffset), sizeof(RESIDENT_ATTRIBUTE_HEADER));
  const std::pair<uint32_t, uint64_t> entries[] = {{ATTR_TYPE_STANDARD_INFORMATION, owner},
                                                   {PickType(ATTR_TYPE_FILE_NAME), named}};
  for (size_t i = 0; i < 2; ++i) {
    uint8_t* entry = list.data() + sizeof(RESIDENT_ATTRIBUTE_HEADER) + i * ENTRY;
    WriteLE<uint32_t>(entry, entries[i].first);
    WriteLE<uint16_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, length), ENTRY);
    entry[offsetof(ATTRIBUTE_LIST_ENTRY, nameOffset)] = offsetof(ATTRIBUTE_LIST_ENTRY, name);
    WriteLE<uint32_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, recordNumberLow), static_cast<uint32_t>(entries[i].second));
    WriteLE<uint16_t>(entry + offsetof(ATTRIBUTE_LIST_ENTRY, recordNumberHigh), static_cast<uint16_t>(entries[i].second >> 32));
  }
  attributes.insert(attributes.begin() + static_cast<ptrdiff_t>(insertAt), std::move(list));
  return WriteAttributes(record, attributes);
}

bool CMutation::PointAtEachOther(size_t focus) {
  // Records that name each other, the way damage and hostile volumes make them: through their base
  // record fields, their attribute lists, the parents of their names; one or more of these, both
  // ways.
  size_t other = PickSlotNear(focus);
  for (int attempt = 0; other == focus && attempt < 4; ++attempt) other = PickSlotNear(focus);
  if (other == focus) other = m_random.Of(m_model.MftSlots());
  if (other == focus) return false;
  unsigned kinds = 0;
  while (kinds == 0) kinds = static_cast<unsigned>(m_random.Below(8));
  const uint64_t numbers[2] = {m_model.Slots()[focus].number, m_model.Slots()[other].number};
  const size_t slots[2] = {focus, other};
  for (int side = 0; side < 2; ++side) {
    std::vector<uint8_t>& record = Edit(slots[side]).bytes;
    const uint64_t named = numbers[1 - side];
    if ((kinds & 1) != 0) WriteReference(record.data() + offsetof(FILE_RECORD_HEADER, baseRecord), named);
    if ((kinds & 2) != 0) NameInList(record, numbers[side], named);
    if ((kinds & 4) != 0) {
      for (const SAttribute& attribute : WalkAttributes(record.data(), record.size())) {
        size_t begin = 0, length = 0;
        if (attribute.type == ATTR_TYPE_FILE_NAME && ResidentValue(record.data(), attribute, &begin, &length) &&
            length >= sizeof(uint64_t)) {
          WriteReference(record.data() + begin, named);
        }
      }
    }
  }
  return true;
}

bool CMutation::InlineAttributeList(std::vector<uint8_t>& record) {
  // The list's value moved into the record: a resident list, which ntfs-3g never writes.
  std::vector<std::vector<uint8_t>> attributes = AttributeBytes(record);
  for (size_t i = 0; i < attributes.size(); ++i) {
    std::vector<uint8_t>& attribute = attributes[i];
    if (ReadLE<uint32_t>(attribute.data()) != ATTR_TYPE_ATTRIBUTE_LIST || attribute[8] == 0) continue;
    SAttribute where{0, ATTR_TYPE_ATTRIBUTE_LIST, static_cast<uint32_t>(attribute.size()), true};
    size_t length = 0;
    const uint8_t* value = m_model.NonResidentValue(attribute.data(), where, &length);
    if (value == nullptr) return false;
    const size_t padded = (length + 7) / 8 * 8;
    size_t used = READ_FIELD(FILE_RECORD_HEADER, firstAttributeOffset, record.data()) + 8;
    for (const std::vector<uint8_t>& other : attributes) used += other.size();
    if (used - attribute.size() + sizeof(RESIDENT_ATTRIBUTE_HEADER) + padded > record.size()) return false;
    std::vector<uint8_t> resident(sizeof(RESIDENT_ATTRIBUTE_HEADER) + padded, 0);
    std::memcpy(resident.data(), attribute.data(), sizeof(ATTRIBUTE_HEADER));
    WriteLE<uint32_t>(resident.data() + offsetof(ATTRIBUTE_HEADER, length), static_cast<uint32_t>(resident.size()));
    resident[offsetof(ATTRIBUTE_HEADER, nonResident)] = 0;
    resident[offsetof(ATTRIBUTE_HEADER, nameLength)] = 0;
    WriteLE<uint32_t>(resident.data() + offsetof(RESIDENT_ATTRIBUTE_HEADER, valueLength), static_cast<uint32_t>(length));
    WriteLE<uint16_t>(resident.data() + offsetof(RESIDENT_ATTRIBUTE_HEADER, valueOffset), sizeof(RESIDENT_ATTRIBUTE_HEADER));
    std::memcpy(resident.data() + sizeof(RESIDENT_ATTRIBUTE_HEADER), value, length);
    attribute = std::move(resident);
    return WriteAttributes(record, attributes);
  }
  return false;
}

bool CMutation::MutateBootSector() {
  uint8_t* boot = m_model.BootSector();
  if (boot == nullptr) return false;
  switch (m_random.Below(9)) {
    case 0: {
      const uint16_t values[] = {256, 512, 1024, 2048, 4096, 8192, 0, 511, static_cast<uint16_t>(m_random.Next())};
      WriteLE<uint16_t>(boot + offsetof(NTFS_BOOT_SECTOR, bytesPerSector), values[m_random.Below(std::size(values))]);
      return true;
    }
    case 1: {
      const uint8_t values[] = {1, 2, 4, 8, 16, 32, 64, 128, 0, 3, 0x81, 0xF7, 0xF4, 0xE0, 0xFF, static_cast<uint8_t>(m_random.Next())};
      boot[offsetof(NTFS_BOOT_SECTOR, sectorsPerCluster)] = values[m_random.Below(std::size(values))];
      return true;
    }
    case 2: {
      constexpr size_t TOTAL_SECTORS = 0x28;
      WriteLE<uint64_t>(boot + TOTAL_SECTORS, Interesting64(ReadLE<uint64_t>(boot + TOTAL_SECTORS), 8));
      return true;
    }
    case 3: {
      const uint64_t old = READ_FIELD(NTFS_BOOT_SECTOR, mftCluster, boot);
      const uint64_t mirror = READ_FIELD(NTFS_BOOT_SECTOR, mftMirrorCluster, boot);
      const uint64_t values[] = {old + 1, old - 1, 0, mirror, Interesting64(old, 1)};
      WriteLE<uint64_t>(boot + offsetof(NTFS_BOOT_SECTOR, mftCluster), values[m_random.Below(std::size(values))]);
      return true;
    }
    case 4:
    case 5: {
      const size_t field = m_random.Percent(60) ? offsetof(NTFS_BOOT_SECTOR, clustersPerFileRecord)
                                                : offsetof(NTFS_BOOT_SECTOR, clustersPerIndexBlock);
      const uint8_t values[] = {0xF6, 0xF4, 0xF5, 0xF7, 0xF8, 0xF0, 0xE0, 0x80, 0x81, 0, 1, 2, 4, 0x7F, static_cast<uint8_t>(m_random.Next())};
      boot[field] = values[m_random.Below(std::size(values))];
      return true;
    }
    case 6:
      boot[offsetof(NTFS_BOOT_SECTOR, oemId) + m_random.Below(sizeof NTFS_OEM_ID)] ^= static_cast<uint8_t>(1 + m_random.Below(255));
      return true;
    default:
      RawWindow(boot, BOOT_SECTOR_SIZE);
      return true;
  }
}

bool CMutation::MutateVolumeSize() {
  uint8_t* field = m_model.Data();
  const uint64_t old = ReadLE<uint64_t>(field);
  const SGeometry& g = m_model.Geometry();
  const uint64_t values[] = {g.mftOffset + m_recordSize * m_random.Below(m_model.Slots().size() + 1), old / 2, old - STRIDE, 0,
                             BOOT_SECTOR_SIZE, old * 2, ~uint64_t{0}};
  WriteLE<uint64_t>(field, values[m_random.Below(std::size(values))]);
  return true;
}

bool CMutation::MutateRecord(size_t slot) {
  const uint64_t number = m_model.Slots()[slot].number;
  std::vector<uint8_t>& record = Edit(slot).bytes;
  const unsigned pick = static_cast<unsigned>(m_random.Below(100));
  if (pick < 10) return MutateHeader(record, number);
  if (pick < 23) return MutateAttributeHeader(record);
  if (pick < 27) return MutateRunList(record);
  if (pick < 30) return ResizeValue(record);
  if (pick < 40) return MutateValue(record, number);
  if (pick < 56) return MutateAttributeList(record, number);
  if (pick < 66) return Splice(record, PickSlotNear(slot));
  if (pick < 71) return Rearrange(record);
  if (pick < 74) return CopyRecord(record, PickSlotNear(slot), number);
  if (pick < 77) return InlineAttributeList(record);
  if (pick < 85) return PointAtEachOther(slot);
  RawWindow(record.data(), record.size());
  return true;
}

void CMutation::Run() {
  // One record, or a few near it (the records it names and those that name it).
  size_t count = 1;
  while (count < 6 && m_random.Percent(50)) ++count;
  const size_t focus = m_model.Slots().empty() ? 0 : PickFocusSlot();
  const unsigned bootShare = m_focus == EMutationFocus::Open ? 25 : 3;
  size_t applied = 0;
  for (size_t attempt = 0; applied < count && attempt < 4 * count; ++attempt) {
    if (m_model.Slots().empty() || m_random.Percent(bootShare)) {
      applied += MutateBootSector() ? 1 : 0;
    } else if (m_random.Percent(1)) {
      applied += MutateVolumeSize() ? 1 : 0;
    } else {
      applied += MutateRecord(attempt == 0 ? focus : PickSlotNear(focus)) ? 1 : 0;
    }
    if (m_model.Slots().empty() && m_model.BootSector() == nullptr) break;
  }
  Commit();
}

}  // namespace

size_t MutateVolume(uint8_t* data, size_t size, size_t maxSize, unsigned seed, EMutationFocus focus) {
  // An open reads the system records and what they name: the first records are what matters.
  constexpr uint64_t OPEN_FACTS_BELOW = 64;
  CVolumeModel model(data, size, focus == EMutationFocus::Open ? OPEN_FACTS_BELOW : ~uint64_t{0});
  if (!model.IsUsable()) return LLVMFuzzerMutate(data, size, std::min(size, maxSize));
  CRandom random(seed);
  CMutation(model, random, focus).Run();
  return size;
}

size_t CrossOverVolumes(const uint8_t* first, size_t firstSize, const uint8_t* second, size_t secondSize, uint8_t* out,
                        size_t maxOutSize, unsigned seed) {
  if (firstSize > maxOutSize) return 0;
  std::memcpy(out, first, firstSize);
  std::vector<uint8_t> other(second, second + secondSize);
  CVolumeModel into(out, firstSize);
  CVolumeModel from(other.data(), other.size());
  if (!into.IsUsable() || !from.IsUsable() || from.Slots().empty() ||
      into.Geometry().recordSize != from.Geometry().recordSize) {
    return firstSize;
  }
  CRandom random(seed);
  if (random.Percent(10) && into.BootSector() != nullptr && from.BootSector() != nullptr) {
    std::memcpy(into.BootSector(), from.BootSector(), BOOT_SECTOR_SIZE);
  }
  const size_t count = 1 + random.Below(8);
  for (size_t i = 0; i < count; ++i) {
    const size_t pick = !from.Interesting().empty() && random.Percent(60) ? random.Of(from.Interesting()) : random.Of(from.MftSlots());
    const SRecordSlot& source = from.Slots()[pick];
    const size_t target = into.SlotOf(source.number);
    if (target == NO_OFFSET) continue;
    std::memcpy(out + into.Slots()[target].inputOffset, other.data() + source.inputOffset, into.Geometry().recordSize);
  }
  return firstSize;
}

}  // namespace ostrin::fuzz
