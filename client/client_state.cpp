// The process-wide state of OstrinAPI.
#include "client/client_state.h"

#include <algorithm>
#include <cwctype>

CSockStream g_Connection{ESockSide::Client};
bool g_SocketLibraryStarted = false;
std::array<DriveRecord, DRIVE_COUNT> g_Drives;

void DriveRecord::ClearError() {
  lastError = 0;
  lastErrorText.clear();
}

void DriveRecord::StoreError(int32_t code, const WString& text) {
  lastError = code;
  lastErrorText = text;
}

void DriveRecord::SetView(const unsigned char* mappedView, uint64_t mappedSize, uint64_t imageSize) {
  directories.reset();
  view = mappedView;
  memoryUsage = imageSize;
  readableSize = std::min(imageSize, mappedSize);
  viewGeneration = NextViewGeneration();
}

void DriveRecord::ReleaseView() {
  directories.reset();
  mapping.Close();
  view = nullptr;
  readableSize = 0;
}

DriveRecord* DriveOfLetter(WCHAR letter) {
  const auto upper = static_cast<std::wint_t>(std::towupper(static_cast<std::wint_t>(letter)));
  if (upper < 'A' || upper > 'Z') return nullptr;
  return &g_Drives[upper - 'A'];
}

void ForgetServiceUses() {
  for (DriveRecord& drive : g_Drives) drive.serviceUses = 0;
}

uint32_t DriveIndexOf(const DriveRecord& drive) { return static_cast<uint32_t>(&drive - g_Drives.data()); }

uint64_t NextViewGeneration() {
  static uint64_t generation = 0;
  return ++generation;
}
