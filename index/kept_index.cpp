// CKeptIndex: the entries of an image by file record.
#include "index/kept_index.h"

#include <new>

void CKeptIndex::Reserve(uint64_t entries) {
  m_records.reserve(entries);
  m_offsets.reserve(entries);
}

void CKeptIndex::Add(uint64_t record, bool isDirectory, uint64_t entryOffset) {
  // Entries are numbered in 32 bits; an image of four billion entries cannot be written anyway.
  if (m_records.size() >= NONE) throw std::bad_alloc();
  m_records.push_back(record << 1 | (isDirectory ? 1 : 0));
  m_offsets.push_back(entryOffset);
}

size_t CKeptIndex::SlotOf(uint64_t record) const {
  // Fibonacci hashing spreads the records, which come in runs, over the table.
  const size_t mask = m_slots.size() - 1;
  size_t slot = static_cast<size_t>((record * 0x9E3779B97F4A7C15ULL) >> 32) & mask;
  while (m_slots[slot] != NONE && (m_records[m_slots[slot]] >> 1) != record) slot = (slot + 1) & mask;
  return slot;
}

void CKeptIndex::Seal() {
  m_records.shrink_to_fit();
  m_offsets.shrink_to_fit();
  // At most half the slots are taken; a power of two, so that a mask finds a slot.
  size_t slots = 16;
  while (slots < 2 * m_records.size()) slots *= 2;
  m_slots.assign(slots, NONE);
  m_nextOfRecord.assign(m_records.size(), NONE);
  // Backwards, so that each record's chain comes out in image order.
  for (size_t i = m_records.size(); i-- > 0;) {
    const size_t slot = SlotOf(m_records[i] >> 1);
    m_nextOfRecord[i] = m_slots[slot];
    m_slots[slot] = static_cast<uint32_t>(i);
  }
}

void CKeptIndex::Clear() {
  std::vector<uint64_t>().swap(m_records);
  std::vector<uint64_t>().swap(m_offsets);
  std::vector<uint32_t>().swap(m_nextOfRecord);
  std::vector<uint32_t>().swap(m_slots);
}

CKeptIndex::CEntry CKeptIndex::Entry(size_t index) const {
  return CEntry{m_records[index] >> 1, (m_records[index] & 1) != 0, m_offsets[index]};
}

std::vector<CKeptIndex::CEntry> CKeptIndex::EntriesOf(uint64_t record) const {
  std::vector<CEntry> entries;
  if (m_slots.empty()) return entries;
  for (uint32_t i = m_slots[SlotOf(record)]; i != NONE; i = m_nextOfRecord[i]) entries.push_back(Entry(i));
  return entries;
}

uint64_t CKeptIndex::MemoryBytes() const {
  return m_records.capacity() * sizeof(uint64_t) + m_offsets.capacity() * sizeof(uint64_t) +
         m_nextOfRecord.capacity() * sizeof(uint32_t) + m_slots.capacity() * sizeof(uint32_t);
}
