// Looking names up in a drive's view, the way the find functions match path components, on the image
// reader (index/image_reader.h). And the subdirectories of each directory block, indexed by name the
// first time a path goes through that directory, so that resolving a path costs one lookup per
// component instead of a search of every directory on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "index/image_reader.h"
#include "platform/types.h"

enum class EScan { Match, NoMatch, Corrupt };

// Reads the cursor's entries in order up to the first one the predicate accepts (given the entry's
// name); on a match the cursor has moved past it and *match is the entry.
template <typename Predicate>
EScan ScanEntries(CImageBlockCursor& run, const Predicate& accepts, CImageNode* match) {
  for (;;) {
    switch (run.Next(match)) {
      case EImageStep::Entry:
        if (accepts(match->Name())) return EScan::Match;
        break;
      case EImageStep::End:
        return EScan::NoMatch;
      case EImageStep::Corrupt:
        return EScan::Corrupt;
    }
  }
}

// Finds the entry of the block at blockOffset that a path component names, the way directory
// components are matched: an entry whose name equals the component exactly wins over entries that
// equal it only without case (names in the POSIX namespace may differ in case alone), otherwise the
// first of those. The run then stands after the entry found.
EScan FindNamedEntry(const CImageView& image, uint64_t blockOffset, const WCHAR* component, size_t count,
                     CImageBlockCursor* run, CImageNode* match);

// The subdirectories of the image's blocks by name, for one view of a drive; released with the view.
class CDirectoryCache {
 public:
  // The directories of the path resolved last: a find goes on from the deepest one its path shares
  // with it, so that a recursive walk, which asks for ever longer paths, resolves only the names each
  // path adds (a comparison of the shared part instead of a lookup per name).
  class CLastPath {
   public:
    // Where the walk of path resumes: the length of the longest beginning of path, at most limit,
    // that ends with the separator after a directory of the last path (1, the root's "\", when
    // none), with that directory's block in *block. What the last path has beyond it is forgotten.
    size_t Resume(const WString& path, size_t limit, uint64_t* block);
    // The directory whose name ends at end - 1 (a separator at end - 1) has this block.
    void Enter(const WString& path, size_t end, uint64_t block);

   private:
    WString m_path = WString(1, WCHAR{'\\'});
    std::vector<size_t> m_ends;     // after the separator of each directory, increasing
    std::vector<uint64_t> m_blocks;  // the block of each
  };
  CLastPath& LastPath() { return m_lastPath; }

  // The subdirectory of the block at blockOffset that the component names, matched as FindNamedEntry
  // matches but among subdirectories only. Corrupt when the block breaks the layout before an exact
  // match was found.
  EScan FindSubdirectory(const CImageView& image, uint64_t blockOffset, const WCHAR* component, size_t count,
                         CImageNode* match);

 private:
  // One block's subdirectories in block order, and two open-addressing tables of indexes into them
  // (plus 1; 0 is free): the first subdirectory of each name, by the hash of its units, and the first
  // of each name without case, by the hash of its upper-cased units. Each table holds every key once,
  // so a probe run stays short whatever the names (thousands that differ only in case included).
  struct CBlockIndex {
    std::vector<CImageNode> entries;
    std::vector<uint32_t> exactSlots;
    std::vector<uint32_t> upcasedSlots;
    bool complete = true;  // false when a damaged entry ended the block early
  };

  // Null when the block cannot be opened.
  const CBlockIndex* IndexOf(const CImageView& image, uint64_t blockOffset);

  std::unordered_map<uint64_t, CBlockIndex> m_blocks;
  CLastPath m_lastPath;
};
