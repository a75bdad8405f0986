// Changing made volumes in tests: a private copy of a made image, changed with the maker's change lines
// (ostrin-mkvol --change, tools/mkvol/manifest.h) as often as a test likes, with the maker's listing
// after each change and the journal records each change appended. Linux only (the maker is).
#pragma once

#include <string>
#include <vector>

#include "tests/support/image_file.h"
#include "tests/support/test_volume.h"

namespace ostrin::test {

// What one change did.
struct SVolumeChange {
  std::vector<SExpectedEntry> expected;     // the maker's listing of the changed copy
  std::vector<std::string> journalRecords;  // the records appended to its journal, one line each as
                                            // ostrin-volinfo --journal prints them
};

class CChangedVolume {
 public:
  // Copies image (a made volume; it is never written) into a folder of its own; throws
  // std::runtime_error.
  explicit CChangedVolume(const std::string& image);
  // The same for a made test volume, whose listing is then Expected() before any change.
  explicit CChangedVolume(const STestVolume& volume);

  // Applies the change lines (as a change file holds them, "\n"-separated) to the copy in place.
  // Throws std::runtime_error with the maker's message when a change fails (the copy is then left as
  // far as the maker got).
  // Without listing, the maker lists nothing (quicker): the change's and Expected()'s listings stay
  // those of the last change that asked for one.
  SVolumeChange Change(const std::string& changes, bool listing = true);

  const std::string& Path() const { return m_copy.Path(); }
  // The listing after the last change (before any: the listing of the copied image, when given).
  const std::vector<SExpectedEntry>& Expected() const { return m_expected; }
  CImageCopy& Image() { return m_copy; }

 private:
  CImageCopy m_copy;
  std::vector<SExpectedEntry> m_expected;
  int m_changes = 0;
};

}  // namespace ostrin::test
