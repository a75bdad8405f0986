// An owned Windows kernel handle, closed by its owner.
#pragma once

#include <windows.h>

#include "platform/unique_resource.h"

namespace ostrin::platform {

struct SHandleTraits {
  using Value = HANDLE;
  static HANDLE Invalid() { return nullptr; }
  // Both null and INVALID_HANDLE_VALUE mean "no handle".
  static bool IsValid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  static void Close(HANDLE handle) { CloseHandle(handle); }
};

using UniqueHandle = CUniqueResource<SHandleTraits>;

}  // namespace ostrin::platform
