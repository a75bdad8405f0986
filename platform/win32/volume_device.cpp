// Volume device on Windows: "\\.\X:" (or a "volume.X" image file), read with positioned ReadFile.
#include "platform/volume_device.h"

#include <windows.h>

#include "common/text.h"
#include "platform/win32/unique_handle.h"

namespace ostrin::platform {

struct CVolumeDevice::Handle {
  UniqueHandle handle;
};

namespace {

HANDLE OpenReadOnly(const wchar_t* path) {
  return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_READONLY, nullptr);
}

}  // namespace

bool DriveLettersNeedMapping() { return false; }

CVolumeDevice::CVolumeDevice() : m_handle(std::make_unique<Handle>()) {}
CVolumeDevice::~CVolumeDevice() = default;

bool CVolumeDevice::OpenLetter(WCHAR letter, const std::string& mappedPath) {
  if (!mappedPath.empty()) return OpenPath(mappedPath);
  Close();
  const wchar_t path[] = {L'\\', L'\\', L'.', L'\\', letter, L':', 0};
  m_handle->handle.Reset(OpenReadOnly(path));
  return m_handle->handle.IsValid();
}

bool CVolumeDevice::OpenPath(const std::string& path) {
  Close();
  const WString widePath = Utf8ToWide(path);
  m_handle->handle.Reset(OpenReadOnly(widePath.c_str()));
  return m_handle->handle.IsValid();
}

void CVolumeDevice::OpenSource(std::shared_ptr<const IVolumeSource> source) {
  Close();
  m_source = std::move(source);
}

void CVolumeDevice::Close() {
  m_handle->handle.Reset();
  m_source.reset();
}

bool CVolumeDevice::IsOpen() const { return m_source != nullptr || m_handle->handle.IsValid(); }

bool CVolumeDevice::ReadAt(uint64_t offset, void* buffer, size_t length, size_t* bytesRead) const {
  *bytesRead = 0;
  if (m_source != nullptr) return m_source->ReadAt(offset, buffer, length, bytesRead);
  if (!IsOpen()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  auto* out = static_cast<unsigned char*>(buffer);
  while (*bytesRead < length) {
    const uint64_t position = offset + *bytesRead;
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(position);
    where.OffsetHigh = static_cast<DWORD>(position >> 32);
    const size_t remaining = length - *bytesRead;
    const DWORD ask = remaining > 0x40000000 ? 0x40000000 : static_cast<DWORD>(remaining);
    DWORD got = 0;
    if (!ReadFile(m_handle->handle.Get(), out + *bytesRead, ask, &got, &where)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return false;
    }
    if (got == 0) break;  // end of the volume
    *bytesRead += got;
  }
  return true;
}

}  // namespace ostrin::platform
