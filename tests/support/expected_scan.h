// What a drive build of a volume gives, worked out in process from the same image: the figures tests
// expect the service (or a drive slot) to report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ostrin::test {

// The image size that publishing the volume gives.
uint64_t ExpectedImageSize(const std::string& image);

// The progress percentages a scan of the volume reports below 100, in order.
std::vector<uint32_t> ExpectedProgress(const std::string& image);

}  // namespace ostrin::test
