// Changing copies of made volumes with ostrin-mkvol --change.
#include "tests/support/changed_volume.h"

#include <fstream>
#include <stdexcept>

#include "tests/support/run_program.h"

#ifndef OSTRIN_MKVOL_PATH
#error "OSTRIN_MKVOL_PATH comes from tests/support/CMakeLists.txt"
#endif

namespace ostrin::test {

CChangedVolume::CChangedVolume(const std::string& image) : m_copy(image) {}

CChangedVolume::CChangedVolume(const STestVolume& volume) : m_copy(volume.image), m_expected(volume.expected) {}

SVolumeChange CChangedVolume::Change(const std::string& changes, bool listing) {
  const std::string base = m_copy.Path() + ".change" + std::to_string(++m_changes);
  {
    std::ofstream file(base + ".txt", std::ios::binary);
    file << changes;
    if (!file.flush()) throw std::runtime_error("cannot write " + base + ".txt");
  }
  const SProgramResult made =
      RunProgram({OSTRIN_MKVOL_PATH, "--change", base + ".txt", m_copy.Path(), listing ? base + ".expected" : "-"});
  if (made.exitCode != 0) throw std::runtime_error("ostrin-mkvol --change failed: " + made.err);
  SVolumeChange change;
  change.expected = listing ? ReadExpectedListing(base + ".expected") : m_expected;
  size_t start = 0;
  while (start < made.out.size()) {
    size_t end = made.out.find('\n', start);
    if (end == std::string::npos) end = made.out.size();
    if (end > start) change.journalRecords.push_back(made.out.substr(start, end - start));
    start = end + 1;
  }
  m_expected = change.expected;
  return change;
}

}  // namespace ostrin::test
