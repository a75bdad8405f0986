// libFuzzer target: a whole volume, scanned as a drive build scans it. The input is a made volume in
// the sparse format (fuzz_volume.h), mutated record by record by the structure-aware mutator. The
// volume is opened through the platform's device seam, scanned with CDriveIndex::ScanVolume, and its
// tree linked, sized and written as an image into memory; the image must then walk cleanly and fill
// exactly the size computed for it. A volume may fail with a clear error (CException); anything
// else is a finding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "common/exceptions.h"
#include "fuzz/fuzz_volume.h"
#include "fuzz/volume_mutator.h"
#include "index/drive_index.h"
#include "index/image_walk.h"

namespace {

// An image larger than this is a finding in itself: a volume of a few hundred records cannot need it.
constexpr uint64_t MAX_IMAGE_SIZE = 256ull * 1024 * 1024;

[[noreturn]] void Finding(const std::string& what) {
  std::fprintf(stderr, "volume_scan_fuzz: %s\n", what.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ostrin::fuzz::SParsedVolume parsed;
  if (!ostrin::fuzz::ParseFuzzVolume(data, size, &parsed)) return 0;
  CDriveIndex drive;
  try {
    drive.Volume().OpenSource(std::make_shared<ostrin::fuzz::CFuzzVolumeSource>(std::move(parsed)));
    if (!drive.ScanVolume([](int32_t) { return true; })) Finding("the scan stopped although nothing asked it to");
  } catch (const CException&) {
    return 0;
  }
  drive.LinkTree();
  drive.AttachFiles();
  const uint64_t imageSize = drive.Root()->ComputeImageSize();
  if (imageSize > MAX_IMAGE_SIZE) Finding("image of " + std::to_string(imageSize) + " bytes");
  std::vector<uint8_t> image(imageSize);
  if (drive.Root()->WriteImage(image.data(), image.data(), 0) != image.data() + image.size()) {
    Finding("the image written does not fill the size computed for it");
  }
  drive.DeleteTree();
  std::string error;
  if (!WalkImage(image.data(), image.size(), [](const CImageEntry&) {}, &error)) Finding("image does not walk: " + error);
  return 0;
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned seed) {
  return ostrin::fuzz::MutateVolume(data, size, maxSize, seed, ostrin::fuzz::EMutationFocus::Scan);
}

extern "C" size_t LLVMFuzzerCustomCrossOver(const uint8_t* first, size_t firstSize, const uint8_t* second,
                                            size_t secondSize, uint8_t* out, size_t maxOutSize, unsigned seed) {
  return ostrin::fuzz::CrossOverVolumes(first, firstSize, second, secondSize, out, maxOutSize, seed);
}
