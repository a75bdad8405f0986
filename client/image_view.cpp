// Reading a drive's image in place, and the per-view index of subdirectories by name.
#include "client/image_view.h"

#include "common/byte_order.h"
#include "common/case_fold.h"
#include "index/image_format.h"

namespace {

// FNV-1a over the case-folded units: names equal without case hash alike.
uint64_t FoldedHash(const WCHAR* name, size_t count) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < count; ++i) {
    hash ^= static_cast<uint16_t>(FoldCase(name[i]));
    hash *= 0x100000001B3ull;
  }
  return hash;
}

bool EqualsIgnoringCase(const WCHAR* component, size_t count, const unsigned char* entry) {
  if (EntryNameLength(entry) != count) return false;
  const WCHAR* name = EntryName(entry);
  for (size_t i = 0; i < count; ++i) {
    if (!SameUnitIgnoringCase(component[i], name[i])) return false;
  }
  return true;
}

bool EqualsExactly(const WCHAR* component, size_t count, const unsigned char* entry) {
  if (EntryNameLength(entry) != count) return false;
  const WCHAR* name = EntryName(entry);
  for (size_t i = 0; i < count; ++i) {
    if (component[i] != name[i]) return false;
  }
  return true;
}

}  // namespace

const unsigned char* EntryAt(const CImage& image, uint64_t offset) {
  if (offset > image.size || image.size - offset < offsetof(IMAGE_NODE, name)) return nullptr;
  const unsigned char* entry = image.base + offset;
  const uint16_t nameLength = READ_FIELD(IMAGE_NODE, nameLength, entry);
  if (nameLength > IMAGE_MAX_NAME_UNITS || image.size - offset < ImageEntrySize(nameLength)) return nullptr;
  if (ReadLE<uint16_t>(entry + offsetof(IMAGE_NODE, name) + 2 * nameLength) != 0) return nullptr;
  return entry;
}

const WCHAR* EntryName(const unsigned char* entry) {
  return reinterpret_cast<const WCHAR*>(entry + offsetof(IMAGE_NODE, name));
}

uint16_t EntryNameLength(const unsigned char* entry) { return READ_FIELD(IMAGE_NODE, nameLength, entry); }

bool IsDirectoryEntry(const unsigned char* entry) {
  return (READ_FIELD(IMAGE_NODE, attributes, entry) & IMAGE_ATTRIBUTE_DIRECTORY) != 0;
}

uint64_t DirectoryBlockOf(const unsigned char* entry) { return READ_FIELD(IMAGE_NODE, sizeOrBlockOffset, entry); }

bool BlockEntries(const CImage& image, uint64_t offset, CEntryRun* run) {
  if (offset % IMAGE_ALIGNMENT != 0 || offset > image.size || image.size - offset < sizeof(IMAGE_DIR_HEADER)) {
    return false;
  }
  run->next = offset + sizeof(IMAGE_DIR_HEADER);
  run->remaining = READ_FIELD(IMAGE_DIR_HEADER, entryCount, image.base + offset);
  return true;
}

EScan FindNamedEntry(const CImage& image, uint64_t blockOffset, const WCHAR* component, size_t count,
                     CEntryRun* run, const unsigned char** match) {
  if (!BlockEntries(image, blockOffset, run)) return EScan::Corrupt;
  // One pass: an exact name ends it at once; otherwise the first name equal without case is taken.
  const unsigned char* found = nullptr;
  CEntryRun afterFound;
  while (run->remaining > 0) {
    const unsigned char* entry = EntryAt(image, run->next);
    if (entry == nullptr) return EScan::Corrupt;
    run->next += ImageEntrySize(EntryNameLength(entry));
    --run->remaining;
    if (EqualsExactly(component, count, entry)) {
      *match = entry;
      return EScan::Match;
    }
    if (found == nullptr && EqualsIgnoringCase(component, count, entry)) {
      found = entry;
      afterFound = *run;
    }
  }
  if (found == nullptr) return EScan::NoMatch;
  *match = found;
  *run = afterFound;
  return EScan::Match;
}

const CDirectoryCache::CBlockIndex* CDirectoryCache::IndexOf(const CImage& image, uint64_t blockOffset) {
  const auto known = m_blocks.find(blockOffset);
  if (known != m_blocks.end()) return &known->second;
  CEntryRun run;
  if (!BlockEntries(image, blockOffset, &run)) return nullptr;

  CBlockIndex index;
  while (run.remaining > 0) {
    const unsigned char* entry = EntryAt(image, run.next);
    if (entry == nullptr) {
      index.complete = false;
      break;
    }
    if (IsDirectoryEntry(entry)) index.entries.push_back(run.next);
    run.next += ImageEntrySize(EntryNameLength(entry));
    --run.remaining;
  }
  size_t slots = 8;
  while (slots < 2 * index.entries.size()) slots *= 2;
  index.slots.assign(slots, 0);
  for (size_t i = 0; i < index.entries.size(); ++i) {
    const unsigned char* entry = image.base + index.entries[i];
    size_t slot = FoldedHash(EntryName(entry), EntryNameLength(entry)) & (slots - 1);
    while (index.slots[slot] != 0) slot = (slot + 1) & (slots - 1);
    index.slots[slot] = static_cast<uint32_t>(i + 1);
  }
  return &m_blocks.emplace(blockOffset, std::move(index)).first->second;
}

EScan CDirectoryCache::FindSubdirectory(const CImage& image, uint64_t blockOffset, const WCHAR* component,
                                        size_t count, const unsigned char** match) {
  const CBlockIndex* index = IndexOf(image, blockOffset);
  if (index == nullptr) return EScan::Corrupt;
  // Every subdirectory equal to the component without case sits in the probe run of its hash; the
  // one that comes first in the block wins, an exact one before any other.
  const size_t mask = index->slots.size() - 1;
  uint32_t firstExact = 0;
  uint32_t firstEqual = 0;
  for (size_t slot = FoldedHash(component, count) & mask; index->slots[slot] != 0; slot = (slot + 1) & mask) {
    const uint32_t candidate = index->slots[slot];
    const unsigned char* entry = image.base + index->entries[candidate - 1];
    if (!EqualsIgnoringCase(component, count, entry)) continue;
    if (firstEqual == 0 || candidate < firstEqual) firstEqual = candidate;
    if (EqualsExactly(component, count, entry) && (firstExact == 0 || candidate < firstExact)) firstExact = candidate;
  }
  if (firstExact != 0) {
    *match = image.base + index->entries[firstExact - 1];
    return EScan::Match;
  }
  // Past a damaged entry there may have been an exact name.
  if (!index->complete) return EScan::Corrupt;
  if (firstEqual == 0) return EScan::NoMatch;
  *match = image.base + index->entries[firstEqual - 1];
  return EScan::Match;
}
