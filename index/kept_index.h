// CKeptIndex: what stays of a drive's build beside its published image, for updating it: every entry
// of the image with the file record it came from, and for every record all of its entries (a file
// with hard links has one entry per name). About 28 bytes per entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/large_memory.h"

class CKeptIndex {
 public:
  // One entry of the image.
  struct CEntry {
    uint64_t record;
    bool isDirectory;
    uint64_t entryOffset;  // of the entry in the image
  };

  // Makes room for this many entries.
  void Reserve(uint64_t entries);
  // Adds an entry as the image is written, in image order.
  void Add(uint64_t record, bool isDirectory, uint64_t entryOffset);
  // Adds count entries of another index from its entry first on, their offsets moved by shift (a
  // block of the image before, copied whole to another place).
  void AddMoved(const CKeptIndex& from, size_t first, size_t count, uint64_t shift);
  // Builds the table from records to their entries once every entry is added.
  void Seal();
  void Clear();

  CKeptIndex() = default;
  CKeptIndex(CKeptIndex&&) noexcept = default;
  CKeptIndex& operator=(CKeptIndex&&) noexcept = default;

  size_t EntryCount() const { return m_records.Size(); }
  CEntry Entry(size_t index) const;
  // The entries of a record, in image order (none when the image holds no name of it). The root
  // (record 5) has no entry: its block is the image's first.
  std::vector<CEntry> EntriesOf(uint64_t record) const;
  // Bytes of memory held.
  uint64_t MemoryBytes() const;

 private:
  static constexpr uint32_t NONE = 0xFFFFFFFF;
  size_t SlotOf(uint64_t record) const;

  template <typename T>
  using Array = ostrin::platform::CLargeArray<T>;
  Array<uint64_t> m_records;       // record number << 1 | directory bit
  Array<uint64_t> m_offsets;       // entry offsets
  Array<uint32_t> m_nextOfRecord;  // the record's next entry, or NONE
  Array<uint32_t> m_slots;         // open addressing: first entry of a record, or NONE
};
