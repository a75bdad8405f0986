// ostrin-mkvol: makes an NTFS test image from a manifest and writes its EXPECTED listing.
//
//   ostrin-mkvol MANIFEST IMAGE EXPECTED           make IMAGE as MANIFEST says (manifest.h), then list it
//   ostrin-mkvol --change CHANGES IMAGE EXPECTED   change the existing IMAGE in place as the change
//                                                  file CHANGES says, then list it
//   ostrin-mkvol --list IMAGE EXPECTED             only list an existing NTFS image (listing.h)
//
// Every record appended to a volume's change journal is printed on standard output, one line each as
// ostrin-volinfo --journal prints it. Exit status 0 on success; on failure a message on standard
// error, status 1, and no EXPECTED left; a new IMAGE is removed, a changed one is left as far as the
// library got.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "tools/mkvol/listing.h"
#include "tools/mkvol/manifest.h"
#include "tools/mkvol/volume_builder.h"

namespace {

int Usage() {
  std::fputs(
      "usage: ostrin-mkvol MANIFEST IMAGE EXPECTED\n"
      "       ostrin-mkvol --change CHANGES IMAGE EXPECTED\n"
      "       ostrin-mkvol --list IMAGE EXPECTED\n"
      "  --change changes IMAGE in place; when a change fails, IMAGE is left as far as it got.\n"
      "  EXPECTED - writes no listing.\n",
      stderr);
  return 2;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

int main(int argc, char** argv) {
  const bool change = argc == 5 && std::string(argv[1]) == "--change";
  if (argc != 4 && !change) return Usage();
  const std::string first = argv[change ? 2 : 1], image = argv[change ? 3 : 2], expected = argv[change ? 4 : 3];
  const bool listOnly = !change && first == "--list";
  const auto start = std::chrono::steady_clock::now();
  try {
    if (change) {
      ostrin::mkvol::CVolumeBuilder builder({}, image);
      const ostrin::mkvol::SBuildReport report = builder.Change(ostrin::mkvol::ParseChanges(ReadFile(first)));
      std::fflush(stdout);
      std::fprintf(stderr, "ostrin-mkvol: %s: changed; %llu entries made, %llu journal records\n", image.c_str(),
                   static_cast<unsigned long long>(report.entriesMade),
                   static_cast<unsigned long long>(report.journalRecords));
    } else if (!listOnly) {
      ostrin::mkvol::CVolumeBuilder builder(ostrin::mkvol::ParseManifest(ReadFile(first)), image);
      const ostrin::mkvol::SBuildReport report = builder.Build();
      std::fprintf(stderr, "ostrin-mkvol: %s: %llu entries made; MFT data in %llu runs, %llu extents%s\n",
                   image.c_str(), static_cast<unsigned long long>(report.entriesMade),
                   static_cast<unsigned long long>(report.mftRuns), static_cast<unsigned long long>(report.mftExtents),
                   report.mftAttributeList ? ", record 0 has an attribute list" : "");
    }
    // "-" for EXPECTED: no listing (a benchmark changing a big volume over and over needs none).
    if (expected != "-") {
      const size_t lines = ostrin::mkvol::WriteExpectedListing(image, expected);
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::fprintf(stderr, "ostrin-mkvol: %s: %zu names listed in %.1f s\n", expected.c_str(), lines, seconds);
    }
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "ostrin-mkvol: %s\n", e.what());
    if (!listOnly && !change) ::unlink(image.c_str());
    if (expected != "-") ::unlink(expected.c_str());
    return 1;
  }
  return 0;
}
