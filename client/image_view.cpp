// Looking names up in a drive's view, and the per-view index of subdirectories by name.
#include "client/image_view.h"

#include <algorithm>

#include "common/upcase.h"

namespace {

// FNV-1a over the units, or over the upper-cased units (names equal without case hash alike).
template <bool UPCASED>
uint64_t NameHash(const WCHAR* name, size_t count) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < count; ++i) {
    hash ^= static_cast<uint16_t>(UPCASED ? UpcaseUnit(name[i]) : name[i]);
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

// The entry (index plus 1) of a table whose key the component is, or 0.
template <bool UPCASED>
uint32_t Lookup(const std::vector<uint32_t>& slots, const std::vector<CImageNode>& entries, const WCHAR* component,
                size_t count) {
  const size_t mask = slots.size() - 1;
  for (size_t slot = NameHash<UPCASED>(component, count) & mask; slots[slot] != 0; slot = (slot + 1) & mask) {
    const CImageNode& entry = entries[slots[slot] - 1];
    if (UPCASED ? EqualsIgnoringCase(component, count, entry) : EqualsExactly(component, count, entry)) return slots[slot];
  }
  return 0;
}

// Enters entry i (in block order) under its key unless an earlier entry holds that key.
template <bool UPCASED>
void Enter(std::vector<uint32_t>& slots, const std::vector<CImageNode>& entries, size_t i) {
  const CImageNode& entry = entries[i];
  const size_t mask = slots.size() - 1;
  size_t slot = NameHash<UPCASED>(entry.Name(), entry.NameLength()) & mask;
  for (; slots[slot] != 0; slot = (slot + 1) & mask) {
    const CImageNode& held = entries[slots[slot] - 1];
    if (UPCASED ? EqualsIgnoringCase(entry.Name(), entry.NameLength(), held)
               : EqualsExactly(entry.Name(), entry.NameLength(), held)) {
      return;
    }
  }
  slots[slot] = static_cast<uint32_t>(i + 1);
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
  index.exactSlots.assign(slots, 0);
  index.upcasedSlots.assign(slots, 0);
  for (size_t i = 0; i < index.entries.size(); ++i) {
    Enter<false>(index.exactSlots, index.entries, i);
    Enter<true>(index.upcasedSlots, index.entries, i);
  }
  return &m_blocks.emplace(blockOffset, std::move(index)).first->second;
}

EScan CDirectoryCache::FindSubdirectory(const CImageView& image, uint64_t blockOffset, const WCHAR* component,
                                        size_t count, CImageNode* match) {
  const CBlockIndex* index = IndexOf(image, blockOffset);
  if (index == nullptr) return EScan::Corrupt;
  // The first subdirectory of exactly the component's name wins, then the first equal to it without case.
  const uint32_t firstExact = Lookup<false>(index->exactSlots, index->entries, component, count);
  if (firstExact != 0) {
    *match = index->entries[firstExact - 1];
    return EScan::Match;
  }
  // Past a damaged entry there may have been an exact name.
  if (!index->complete) return EScan::Corrupt;
  const uint32_t firstEqual = Lookup<true>(index->upcasedSlots, index->entries, component, count);
  if (firstEqual == 0) return EScan::NoMatch;
  *match = index->entries[firstEqual - 1];
  return EScan::Match;
}

size_t CDirectoryCache::CLastPath::Resume(const WString& path, size_t limit, uint64_t* block) {
  const size_t shortest = std::min({limit, path.size(), m_path.size()});
  const size_t common = static_cast<size_t>(std::mismatch(path.begin(), path.begin() + static_cast<ptrdiff_t>(shortest),
                                                          m_path.begin()).first - path.begin());
  // The deepest directory whose separator lies within the shared part.
  const size_t kept = static_cast<size_t>(std::upper_bound(m_ends.begin(), m_ends.end(), common) - m_ends.begin());
  m_ends.resize(kept);
  m_blocks.resize(kept);
  const size_t resume = kept == 0 ? 1 : m_ends.back();
  m_path.resize(resume);
  *block = kept == 0 ? 0 : m_blocks.back();
  return resume;
}

void CDirectoryCache::CLastPath::Enter(const WString& path, size_t end, uint64_t block) {
  m_path.append(path, m_path.size(), end - m_path.size());
  m_ends.push_back(end);
  m_blocks.push_back(block);
}
