// Finding made test volumes in a folder, or making them where the build can.
#include "tests/support/made_volume.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace ostrin::test {
namespace {

const char* VolumeFolder() {
  const char* folder = std::getenv("OSTRIN_TEST_VOLUME_DIR");
  return folder != nullptr && *folder != '\0' ? folder : nullptr;
}

bool IsBenchmark(const std::string& name) { return name.rfind("bench-", 0) == 0; }

}  // namespace

std::string MadeVolumeImage(const std::string& name) { return MadeVolume(name).image; }

STestVolume MadeVolume(const std::string& name) {
  if (const char* folder = VolumeFolder()) {
    STestVolume volume;
    volume.image = std::string(folder) + "/" + name + ".img";
    volume.listing = std::string(folder) + "/" + name + ".expected";
    if (!std::ifstream(volume.image, std::ios::binary)) throw std::runtime_error("no made volume " + volume.image);
    volume.expected = ReadExpectedListing(volume.listing);
    return volume;
  }
#if OSTRIN_TEST_CAN_MAKE_VOLUMES
  return MakeTestVolume(name);
#else
  throw std::runtime_error("OSTRIN_TEST_VOLUME_DIR names no folder of made volumes (for " + name + ")");
#endif
}

std::vector<std::string> MadeVolumeNames() {
  std::vector<std::string> names;
  if (const char* folder = VolumeFolder()) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
      if (entry.path().extension() == ".img") names.push_back(entry.path().stem().string());
    }
  } else {
#if OSTRIN_TEST_CAN_MAKE_VOLUMES
    names = ListTestVolumeManifests();
#endif
  }
  names.erase(std::remove_if(names.begin(), names.end(), IsBenchmark), names.end());
  std::sort(names.begin(), names.end());
  if (names.empty()) names.push_back("no-made-volumes");
  return names;
}

}  // namespace ostrin::test
