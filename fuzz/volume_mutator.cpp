// The structure-aware mutator of the volume fuzz targets: one call's choice of records, its edits and
// their fix-ups, the boot sector and the volume's size, and libFuzzer's entry points.
#include "fuzz/volume_mutator.h"

#include <algorithm>
#include <cstring>

#include "fuzz/mutation.h"

namespace ostrin::fuzz {

namespace mutator {

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

}  // namespace mutator

using mutator::CMutation;
using mutator::CRandom;
using mutator::CVolumeModel;
using mutator::NO_OFFSET;
using mutator::SRecordSlot;


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

