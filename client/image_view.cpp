// Looking names up in a drive's view, and the per-view index of subdirectories by name.
#include "client/image_view.h"

#include "common/case_fold.h"

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

bool EqualsIgnoringCase(const WCHAR* component, size_t count, const CImageNode& entry) {
  if (entry.NameLength() != count) return false;
  const WCHAR* name = entry.Name();
  for (size_t i = 0; i < count; ++i) {
    if (!SameUnitIgnoringCase(component[i], name[i])) return false;
  }
  return true;
}

bool EqualsExactly(const WCHAR* component, size_t count, const CImageNode& entry) {
  if (entry.NameLength() != count) return false;
  const WCHAR* name = entry.Name();
  for (size_t i = 0; i < count; ++i) {
    if (component[i] != name[i]) return false;
  }
  return true;
}

}  // namespace

EScan FindNamedEntry(const CImageView& image, uint64_t blockOffset, const WCHAR* component, size_t count,
                     CImageBlockCursor* run, CImageNode* match) {
  if (!image.OpenBlock(blockOffset, run)) return EScan::Corrupt;
  // One pass: an exact name ends it at once; otherwise the first name equal without case is taken.
  bool found = false;
  CImageBlockCursor afterFound;
  CImageNode entry;
  for (;;) {
    const EImageStep step = run->Next(&entry);
    if (step == EImageStep::Corrupt) return EScan::Corrupt;
    if (step == EImageStep::End) break;
    if (EqualsExactly(component, count, entry)) {
      *match = entry;
      return EScan::Match;
    }
    if (!found && EqualsIgnoringCase(component, count, entry)) {
      found = true;
      *match = entry;
      afterFound = *run;
    }
  }
  if (!found) return EScan::NoMatch;
  *run = afterFound;
  return EScan::Match;
}

const CDirectoryCache::CBlockIndex* CDirectoryCache::IndexOf(const CImageView& image, uint64_t blockOffset) {
  const auto known = m_blocks.find(blockOffset);
  if (known != m_blocks.end()) return &known->second;
  CImageBlockCursor run;
  if (!image.OpenBlock(blockOffset, &run)) return nullptr;

  CBlockIndex index;
  CImageNode entry;
  for (;;) {
    const EImageStep step = run.Next(&entry);
    if (step == EImageStep::End) break;
    if (step == EImageStep::Corrupt) {
      index.complete = false;
      break;
    }
    if (entry.IsDirectory()) index.entries.push_back(entry);
  }
  size_t slots = 8;
  while (slots < 2 * index.entries.size()) slots *= 2;
  index.slots.assign(slots, 0);
  for (size_t i = 0; i < index.entries.size(); ++i) {
    size_t slot = FoldedHash(index.entries[i].Name(), index.entries[i].NameLength()) & (slots - 1);
    while (index.slots[slot] != 0) slot = (slot + 1) & (slots - 1);
    index.slots[slot] = static_cast<uint32_t>(i + 1);
  }
  return &m_blocks.emplace(blockOffset, std::move(index)).first->second;
}

EScan CDirectoryCache::FindSubdirectory(const CImageView& image, uint64_t blockOffset, const WCHAR* component,
                                        size_t count, CImageNode* match) {
  const CBlockIndex* index = IndexOf(image, blockOffset);
  if (index == nullptr) return EScan::Corrupt;
  // Every subdirectory equal to the component without case sits in the probe run of its hash; the
  // one that comes first in the block wins, an exact one before any other.
  const size_t mask = index->slots.size() - 1;
  uint32_t firstExact = 0;
  uint32_t firstEqual = 0;
  for (size_t slot = FoldedHash(component, count) & mask; index->slots[slot] != 0; slot = (slot + 1) & mask) {
    const uint32_t candidate = index->slots[slot];
    const CImageNode& entry = index->entries[candidate - 1];
    if (!EqualsIgnoringCase(component, count, entry)) continue;
    if (firstEqual == 0 || candidate < firstEqual) firstEqual = candidate;
    if (EqualsExactly(component, count, entry) && (firstExact == 0 || candidate < firstExact)) firstExact = candidate;
  }
  if (firstExact != 0) {
    *match = index->entries[firstExact - 1];
    return EScan::Match;
  }
  // Past a damaged entry there may have been an exact name.
  if (!index->complete) return EScan::Corrupt;
  if (firstEqual == 0) return EScan::NoMatch;
  *match = index->entries[firstEqual - 1];
  return EScan::Match;
}
