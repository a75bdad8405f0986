// The image of a made test volume, for test programs that run on Linux and under Wine alike: the
// folder named by OSTRIN_TEST_VOLUME_DIR holds <name>.img (tests/windows/wine-tests makes them with
// the Linux ostrin-mkvol before Wine starts); without it, a Linux build makes and caches the volume
// (test_volume.h).
#pragma once

#include <string>

namespace ostrin::test {

// The path of the image of tests/volumes/<name>.manifest. Throws std::runtime_error when there is
// none: no folder named and no maker in this build, or no such image in the folder.
std::string MadeVolumeImage(const std::string& name);

}  // namespace ostrin::test
