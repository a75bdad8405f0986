// libFuzzer target: the client's find walk. A mutated drive image is set up as a drive's mapped view
// and walked by the real exported functions, OstFindFirstFile and OstFindNextFile, with a mutated
// path and pattern, to the last match; every find-data record filled must carry a terminated name.
// Both walks stand on the one image reader, and the find walk goes only where the whole-image walk
// goes: an image that WalkImage reads to its end must never be corrupt to the find functions.
//
// Input: u8 cut (the image size the service reported is that many bytes short of the view: the
// walk must not read past it), u8 path length n, n UTF-16 units of the path, then the image.
#include <cstdint>
#include <cstring>
#include <memory>

#include "client/OstrinAPI.h"
#include "client/client_errors.h"
#include "client/client_state.h"
#include "common/byte_order.h"
#include "index/image_walk.h"

namespace {

constexpr uint32_t DRIVE = 2;  // C:
constexpr size_t NAME_CAPACITY = sizeof(WIN32_FIND_DATAW::cFileName) / sizeof(WCHAR);
// No entry is shorter (ImageEntrySize(0)): a walk that returns more matches than the view has room
// for entries has gone round in a circle.
constexpr size_t MIN_ENTRY_SIZE = 48;

void CheckFound(const WIN32_FIND_DATAW& found) {
  size_t length = 0;
  while (length < NAME_CAPACITY && found.cFileName[length] != 0) ++length;
  if (length == NAME_CAPACITY) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t cut = data[0];
  const size_t pathUnits = data[1];
  if (size - 2 < 2 * pathUnits) return 0;
  auto path = std::make_unique<WCHAR[]>(pathUnits + 1);
  for (size_t i = 0; i < pathUnits; ++i) path[i] = static_cast<WCHAR>(ReadLE<uint16_t>(data + 2 + 2 * i));
  path[pathUnits] = 0;
  const size_t imageSize = size - 2 - 2 * pathUnits;
  // A buffer of exactly the view's size, so that any read past the view is caught.
  auto view = std::make_unique<unsigned char[]>(imageSize);
  if (imageSize != 0) std::memcpy(view.get(), data + 2 + 2 * pathUnits, imageSize);

  DriveRecord& drive = g_Drives[DRIVE];
  drive.SetView(view.get(), imageSize, imageSize - std::min(cut, imageSize));
  drive.state = DriveState::Open;
  const bool walks = WalkImage(view.get(), drive.readableSize, [](const CImageEntry&) {});
  const auto checkError = [&] {
    if (walks && drive.lastError == CLIENT_IMAGE_CORRUPT.code) std::abort();
  };

  WIN32_FIND_DATAW found;
  std::memset(&found, 0xA5, sizeof found);
  OST_FIND_HANDLE find = OstFindFirstFile(DRIVE, path.get(), &found);
  checkError();
  if (find != nullptr) {
    CheckFound(found);
    size_t matches = 1;
    while (OstFindNextFile(find, &found) != 0) {
      CheckFound(found);
      if (++matches > imageSize / MIN_ENTRY_SIZE + 1) std::abort();
    }
    checkError();
    OstFindClose(find);
  }
  drive.ReleaseView();
  drive.memoryUsage = 0;
  drive.state = DriveState::Closed;
  drive.ClearError();
  return 0;
}
