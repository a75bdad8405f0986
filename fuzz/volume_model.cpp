// The volume model of the fuzz targets' mutator: record slots and the references between records.
#include "fuzz/volume_model.h"

#include <algorithm>

namespace ostrin::fuzz::mutator {

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

}  // namespace ostrin::fuzz::mutator
