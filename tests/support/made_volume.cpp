// Finding made test volumes in a folder, or making them where the build can.
#include "tests/support/made_volume.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#if OSTRIN_TEST_CAN_MAKE_VOLUMES
#include "tests/support/test_volume.h"
#endif

namespace ostrin::test {

std::string MadeVolumeImage(const std::string& name) {
  const char* folder = std::getenv("OSTRIN_TEST_VOLUME_DIR");
  if (folder != nullptr && *folder != '\0') {
    const std::string image = std::string(folder) + "/" + name + ".img";
    if (!std::ifstream(image, std::ios::binary)) throw std::runtime_error("no made volume " + image);
    return image;
  }
#if OSTRIN_TEST_CAN_MAKE_VOLUMES
  return MakeTestVolume(name).image;
#else
  throw std::runtime_error("OSTRIN_TEST_VOLUME_DIR names no folder of made volumes (for " + name + ")");
#endif
}

}  // namespace ostrin::test
