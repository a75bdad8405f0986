// ostrin-mkvol: makes an NTFS test image from a manifest and writes its EXPECTED listing.
//
//   ostrin-mkvol MANIFEST IMAGE EXPECTED   make IMAGE as MANIFEST says (manifest.h), then list it
//   ostrin-mkvol --list IMAGE EXPECTED     only list an existing NTFS image (listing.h)
//
// Exit status 0 on success; on failure a message on standard error, status 1, and no outputs left.
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
  std::fputs("usage: ostrin-mkvol MANIFEST IMAGE EXPECTED\n       ostrin-mkvol --list IMAGE EXPECTED\n", stderr);
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
  if (argc != 4) return Usage();
  const std::string first = argv[1], image = argv[2], expected = argv[3];
  const bool listOnly = first == "--list";
  const auto start = std::chrono::steady_clock::now();
  try {
    if (!listOnly) {
      ostrin::mkvol::CVolumeBuilder builder(ostrin::mkvol::ParseManifest(ReadFile(first)), image);
      const ostrin::mkvol::SBuildReport report = builder.Build();
      std::fprintf(stderr, "ostrin-mkvol: %s: %llu entries made; MFT data in %llu runs, %llu extents%s\n",
                   image.c_str(), static_cast<unsigned long long>(report.entriesMade),
                   static_cast<unsigned long long>(report.mftRuns), static_cast<unsigned long long>(report.mftExtents),
                   report.mftAttributeList ? ", record 0 has an attribute list" : "");
    }
    const size_t lines = ostrin::mkvol::WriteExpectedListing(image, expected);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr, "ostrin-mkvol: %s: %zu names listed in %.1f s\n", expected.c_str(), lines, seconds);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ostrin-mkvol: %s\n", e.what());
    if (!listOnly) ::unlink(image.c_str());
    ::unlink(expected.c_str());
    return 1;
  }
  return 0;
}
