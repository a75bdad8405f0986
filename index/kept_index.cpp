// CKeptIndex: the entries of an image by file record.
#include "index/kept_index.h"

#include <algorithm>
#include <new>

void CKeptIndex::Reserve(uint64_t entries) {
  m_records.Reserve(static_cast<size_t>(entries));
  m_offsets.Reserve(static_cast<size_t>(entries));
}

void CKeptIndex::Add(uint64_t record, bool isDirectory, uint64_t entryOffset) {
  // Entries are numbered in 32 bits; an image of four billion entries cannot be written anyway.
  if (m_records.Size() >= NONE) throw std::bad_alloc();
  m_records.PushBack(record << 1 | (isDirectory ? 1 : 0));
  m_offsets.PushBack(entryOffset);
}

void CKeptIndex::AddMoved(const CKeptIndex& from, size_t first, size_t count, uint64_t shift) {
  if (count > NONE - m_records.Size()) throw std::bad_alloc();
  const size_t needed = m_records.Size() + count;
  if (needed > m_records.Capacity()) Reserve(std::max(needed, 2 * m_records.Capacity()));
  for (size_t i = first; i < first + count; ++i) {
    m_records.PushBack(from.m_records[i]);
    m_offsets.PushBack(from.m_offsets[i] + shift);
  }
}

size_t CKeptIndex::SlotOf(uint64_t record) const {
  // Fibonacci hashing spreads the records, which come in runs, over the table.
  const size_t mask = m_slots.Size() - 1;
  size_t slot = static_cast<size_t>((record * 0x9E3779B97F4A7C15ULL) >> 32) & mask;
  while (m_slots[slot] != NONE && (m_records[m_slots[slot]] >> 1) != record) slot = (slot + 1) & mask;
  return slot;
}

void CKeptIndex::Seal() {
  // At most half the slots are taken; a power of two, so that a mask finds a slot.
  size_t slots = 16;
  while (slots < 2 * m_records.Size()) slots *= 2;
  m_slots.Assign(slots, NONE);
  m_nextOfRecord.Assign(m_records.Size(), NONE);
  // Backwards, so that each record's chain comes out in image order.
  for (size_t i = m_records.Size(); i-- > 0;) {
    const size_t slot = SlotOf(m_records[i] >> 1);
    m_nextOfRecord[i] = m_slots[slot];
    m_slots[slot] = static_cast<uint32_t>(i);
  }
}

void CKeptIndex::Clear() {
  m_records.Release();
  m_offsets.Release();
  m_nextOfRecord.Release();
  m_slots.Release();
}

CKeptIndex::CEntry CKeptIndex::Entry(size_t index) const {
  return CEntry{m_records[index] >> 1, (m_records[index] & 1) != 0, m_offsets[index]};
}

std::vector<CKeptIndex::CEntry> CKeptIndex::EntriesOf(uint64_t record) const {
  std::vector<CEntry> entries;
  if (m_slots.IsEmpty()) return entries;
  for (uint32_t i = m_slots[SlotOf(record)]; i != NONE; i = m_nextOfRecord[i]) entries.push_back(Entry(i));
  return entries;
}

uint64_t CKeptIndex::MemoryBytes() const {
  return m_records.Capacity() * sizeof(uint64_t) + m_offsets.Capacity() * sizeof(uint64_t) +
         m_nextOfRecord.Capacity() * sizeof(uint32_t) + m_slots.Capacity() * sizeof(uint32_t);
}
