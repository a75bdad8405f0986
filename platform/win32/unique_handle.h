// An owned Windows kernel handle, closed by its owner.
#pragma once

#include <windows.h>

#include <utility>

namespace ostrin::platform {

class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : m_handle(handle) {}
  ~UniqueHandle() { Reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.m_handle, nullptr));
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE Get() const { return m_handle; }
  // Both null and INVALID_HANDLE_VALUE mean "no handle".
  bool IsValid() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }
  HANDLE Release() { return std::exchange(m_handle, nullptr); }
  void Reset(HANDLE handle = nullptr) {
    if (IsValid()) CloseHandle(m_handle);
    m_handle = handle;
  }

 private:
  HANDLE m_handle = nullptr;
};

}  // namespace ostrin::platform
