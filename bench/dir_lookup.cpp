// ostrin-dir-lookup: what resolving a path component costs in a directory of many subdirectories whose
// names differ only in case (POSIX names), against one whose names all differ: every subdirectory of
// an image built in memory is looked up by its exact name through the client's directory cache, at two
// sizes. Lookups that cost the same whatever the names keep both columns and both sizes per lookup alike.
#include <chrono>
#include <cstdio>
#include <vector>

#include "client/image_view.h"
#include "common/text.h"
#include "index/drive_index.h"
#include "index/image_reader.h"

namespace {

// count names of 14 letters: the case variants of "abcdefghijklmn", or distinct lower-case names.
std::vector<WString> Names(uint32_t count, bool caseVariants) {
  std::vector<WString> names;
  for (uint32_t i = 0; i < count; ++i) {
    WString name = WTEXT("abcdefghijklmn");
    for (size_t bit = 0; bit < name.size(); ++bit) {
      if (caseVariants && (i >> bit & 1) != 0) name[bit] = static_cast<WCHAR>(name[bit] - 'a' + 'A');
      if (!caseVariants) name[bit] = static_cast<WCHAR>('a' + (i >> (2 * bit)) % 4 + (bit % 2) * 4);
    }
    names.push_back(name);
  }
  return names;
}

// The image of a root holding one subdirectory of each name, in 8-byte words.
std::vector<uint64_t> BuildImage(const std::vector<WString>& names) {
  CDriveIndex drive;
  uint64_t record = 64;
  for (const WString& name : names) {
    CNodeValues values;
    values.parentRecord = CDriveIndex::ROOT_RECORD;
    values.name = name.c_str();
    values.nameLength = static_cast<uint16_t>(name.size());
    drive.AddDirectory(record++, values);
  }
  drive.LinkTree();
  drive.AttachFiles();
  std::vector<uint64_t> image((drive.Root()->ComputeImageSize() + 7) / 8);
  auto* start = reinterpret_cast<uint8_t*>(image.data());
  drive.Root()->WriteImage(start, start, 0);
  drive.DeleteTree();
  return image;
}

// Milliseconds to look every name up once; -1 when one is not found as itself.
double LookupMs(const std::vector<WString>& names) {
  const std::vector<uint64_t> image = BuildImage(names);
  const CImageView view(reinterpret_cast<const uint8_t*>(image.data()), image.size() * 8);
  CDirectoryCache cache;
  const auto start = std::chrono::steady_clock::now();
  for (const WString& name : names) {
    CImageNode match;
    if (cache.FindSubdirectory(view, 0, name.c_str(), name.size(), &match) != EScan::Match ||
        WString(match.Name(), match.NameLength()) != name) {
      return -1;
    }
  }
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
  std::printf("every subdirectory of one directory looked up once, by its exact name:\n");
  for (const uint32_t count : {4096u, 16384u}) {
    const double variants = LookupMs(Names(count, true));
    const double distinct = LookupMs(Names(count, false));
    std::printf("%6u subdirectories: names that differ only in case %9.1f ms, names that differ %7.1f ms\n", count,
                variants, distinct);
  }
  return 0;
}
