// Made test volumes, for test programs that run on Linux and under Wine alike: the folder named by
// OSTRIN_TEST_VOLUME_DIR holds <name>.img and <name>.expected (tests/windows/wine-tests makes them
// with the Linux ostrin-mkvol before Wine starts); without it, a Linux build makes and caches the
// volumes (test_volume.h).
#pragma once

#include <string>
#include <vector>

#include "tests/support/test_volume.h"

namespace ostrin::test {

// The image of tests/volumes/<name>.manifest. Throws std::runtime_error when there is none: no
// folder named and no maker in this build, or no such image in the folder.
std::string MadeVolumeImage(const std::string& name);

// The image with the maker's listing of it. Throws as MadeVolumeImage does.
STestVolume MadeVolume(const std::string& name);

// The names of the made volumes other than the benchmarks' (bench-*), sorted: the images of the
// folder, or the manifests a Linux build makes them from. Without either, one name that names no
// volume, so that a test of it fails rather than nothing being tested.
std::vector<std::string> MadeVolumeNames();

}  // namespace ostrin::test
