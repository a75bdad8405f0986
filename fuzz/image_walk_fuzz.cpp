// libFuzzer target: arbitrary bytes walked as a drive image; the walk must stay inside them.
#include <cstdint>
#include <cstring>
#include <memory>

#include "index/image_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the input's size, so that any read past it is caught.
  auto image = std::make_unique<uint8_t[]>(size);
  if (size != 0) std::memcpy(image.get(), data, size);
  size_t entries = 0;
  WalkImage(image.get(), size, [&](const CImageEntry&) { ++entries; });
  return 0;
}
