// A checked walk over a whole drive image on the image reader (index/image_reader.h): every entry with
// its path, for tools and tests that list or compare complete trees.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/types.h"

struct CImageEntry {
  std::vector<WString> path;   // names from the root down to the entry itself
  bool isDirectory = false;
  uint64_t fileSize = 0;       // files only
  uint64_t allocatedSize = 0;  // files only
  uint64_t blockOffset = 0;    // directories only: offset of the directory's own block
  uint32_t attributes = 0;
  uint64_t lastWriteTime = 0;
  uint64_t creationTime = 0;
  uint64_t lastAccessTime = 0;
};

// Visits every entry of the image in image order (depth first, pre-order: a directory's entry, then
// everything below it). Returns false (with a reason) when the image is malformed: a block or entry
// outside the image, a name over 255 units or without its terminator, a block visited twice.
bool WalkImage(const uint8_t* image, uint64_t imageSize, const std::function<void(const CImageEntry&)>& visit,
               std::string* error = nullptr);

// What a whole image holds, below its root: the sums a drive's summary gives.
struct CImageTotals {
  uint64_t directories = 0;
  uint64_t files = 0;
  uint64_t size = 0;       // of the files
  uint64_t allocated = 0;  // of the files
};

// Sums every entry of the image in one walk (WalkImage's order and checks); false when it is malformed.
bool TotalImage(const uint8_t* image, uint64_t imageSize, CImageTotals* totals, std::string* error = nullptr);
