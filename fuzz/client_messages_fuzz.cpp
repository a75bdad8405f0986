// libFuzzer target: the client library's message reader. The input is what the service sends on the
// library's connection; it arrives over a socket pair at the real exported functions: OstOpenDrive
// (its Ack or error reply, the progress messages, OpenAborted, the open's error reply, OpenDone, the
// OstrinReadDir reply with the section name and the image size), then OstGetMemoryUsage,
// OstCloseDrive, the drive's last error, and OstDisconnect, as a program calls them. A section with a
// small drive image is published under FUZZ_SECTION, so that a reply naming it maps a real view.
//
// Input: u8 letter (its low 5 bits pick 'A' + n, bit 5 lower case), u8 the percent at or above which
// the progress callback asks to abort (above 100: never), then the service's bytes.
#include <cstdint>
#include <cstring>
#include <vector>

#include "client/OstrinAPI.h"
#include "client/client_state.h"
#include "fuzz/fuzz_support.h"
#include "index/image_format.h"
#include "platform/shared_section.h"

namespace {

constexpr WCHAR FUZZ_SECTION[] = WTEXT("Global\\OstrinNT_Fuzz_Image");
constexpr size_t MAX_STREAM_BYTES = 16 * 1024;
constexpr uint32_t ERROR_TEXT_CAPACITY = 512;
constexpr int32_t LETTER_COUNT = 26;

// An empty root: the smallest image that walks.
void PublishSection() {
  static ostrin::platform::CSharedSection section;
  ostrin::platform::SectionFailure failure = ostrin::platform::SectionFailure::None;
  if (section.Create(FUZZ_SECTION, sizeof(IMAGE_DIR_HEADER), &failure)) {
    std::memset(section.View(), 0, sizeof(IMAGE_DIR_HEADER));
    section.Unmap();
  }
}

int32_t g_abortAtPercent = 0;

int32_t Progress(int32_t percent, int32_t callerValue) {
  if (callerValue != 7) std::abort();  // the caller's value comes back unchanged
  return percent >= g_abortAtPercent ? 0 : 1;
}

void ForgetDrives() {
  for (DriveRecord& drive : g_Drives) {
    drive.ReleaseView();
    drive.state = DriveState::Closed;
    drive.memoryUsage = 0;
    drive.ClearError();
  }
}

void CheckLastError(WCHAR letter) {
  OstGetLastError(letter);
  WCHAR text[ERROR_TEXT_CAPACITY];
  const int32_t length = OstGetLastErrorString(letter, text, ERROR_TEXT_CAPACITY);
  if (length <= 0) std::abort();
  if (static_cast<uint32_t>(length) <= ERROR_TEXT_CAPACITY && text[length - 1] != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool published = (PublishSection(), true);
  (void)published;
  if (size < 2) return 0;
  const WCHAR letter = static_cast<WCHAR>(((data[0] & 0x20) != 0 ? 'a' : 'A') + (data[0] & 0x1F) % LETTER_COUNT);
  g_abortAtPercent = data[1];
  ostrin::fuzz::CPeerPair peer(data + 2, std::min(size - 2, MAX_STREAM_BYTES));
  g_Connection.handle.Reset(peer.Ours());
  g_Connection.closed = false;

  const int32_t index = OstOpenDrive(letter, &Progress, 7);
  CheckLastError(letter);
  if (index >= 0) {
    if (index >= LETTER_COUNT) std::abort();
    OstGetMemoryUsage(static_cast<uint32_t>(index));
    WIN32_FIND_DATAW found;
    if (OST_FIND_HANDLE find = OstFindFirstFile(static_cast<uint32_t>(index), WTEXT("\\*"), &found)) OstFindClose(find);
    OstCloseDrive(static_cast<uint32_t>(index));
    CheckLastError(letter);
  }
  // The rest of the stream answers a second open and the disconnect.
  OstOpenDrive(letter, nullptr, 0);
  CheckLastError(letter);
  OstDisconnect();

  g_Connection.Close();
  ForgetDrives();
  return 0;
}
