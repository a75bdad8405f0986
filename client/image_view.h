// Reading a drive's image in place, trusting nothing in it: every block header and entry is checked
// to lie wholly inside the readable part of the view with its terminated name. And the subdirectories
// of each directory block, indexed by name the first time a path goes through that directory, so that
// resolving a path costs one lookup per component instead of a search of every directory on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "index/image_format.h"
#include "platform/types.h"

// The readable part of a drive's view.
struct CImage {
  const unsigned char* base;
  uint64_t size;
};

// The entry at offset when it lies wholly inside the image with its terminated name; null otherwise.
const unsigned char* EntryAt(const CImage& image, uint64_t offset);
// The entry's name: entries start on a multiple of 8 from the image's start, so it is aligned.
const WCHAR* EntryName(const unsigned char* entry);
uint16_t EntryNameLength(const unsigned char* entry);
bool IsDirectoryEntry(const unsigned char* entry);
// The offset of the block of a directory entry (all 64 bits: images may be larger than 4 GiB).
uint64_t DirectoryBlockOf(const unsigned char* entry);

// A run of entries of one block still to be examined.
struct CEntryRun {
  uint64_t next = 0;       // offset of the next entry
  uint64_t remaining = 0;  // entries from there to the block's end
};

// The entries of the block at offset; false when its header is not inside the image.
bool BlockEntries(const CImage& image, uint64_t offset, CEntryRun* run);

enum class EScan { Match, NoMatch, Corrupt };

// Examines the run's entries in order up to the first one the predicate accepts; on a match the run
// has moved past it and *match is the entry.
template <typename Predicate>
EScan ScanEntries(const CImage& image, CEntryRun& run, const Predicate& accepts, const unsigned char** match);

// Finds the entry of the block at blockOffset that a path component names, the way directory
// components are matched: an entry whose name equals the component exactly wins over entries that
// equal it only without case (names in the POSIX namespace may differ in case alone), otherwise the
// first of those. The run then stands after the entry found.
EScan FindNamedEntry(const CImage& image, uint64_t blockOffset, const WCHAR* component, size_t count,
                     CEntryRun* run, const unsigned char** match);

// The subdirectories of the image's blocks by name, for one view of a drive; released with the view.
class CDirectoryCache {
 public:
  // The subdirectory of the block at blockOffset that the component names, matched as FindNamedEntry
  // matches but among subdirectories only. Corrupt when the block breaks the layout before an exact
  // match was found.
  EScan FindSubdirectory(const CImage& image, uint64_t blockOffset, const WCHAR* component, size_t count,
                         const unsigned char** match);

 private:
  // One block's subdirectories: their entry offsets in block order, and an open-addressing table of
  // indexes into them (plus 1; 0 is free) by the hash of their case-folded names.
  struct CBlockIndex {
    std::vector<uint64_t> entries;
    std::vector<uint32_t> slots;
    bool complete = true;  // false when a damaged entry ended the block early
  };

  // Null when the block's header is not inside the image.
  const CBlockIndex* IndexOf(const CImage& image, uint64_t blockOffset);

  std::unordered_map<uint64_t, CBlockIndex> m_blocks;
};

template <typename Predicate>
EScan ScanEntries(const CImage& image, CEntryRun& run, const Predicate& accepts, const unsigned char** match) {
  while (run.remaining > 0) {
    const unsigned char* entry = EntryAt(image, run.next);
    if (entry == nullptr) return EScan::Corrupt;
    run.next += ImageEntrySize(EntryNameLength(entry));
    --run.remaining;
    if (accepts(EntryName(entry))) {
      *match = entry;
      return EScan::Match;
    }
  }
  return EScan::NoMatch;
}
