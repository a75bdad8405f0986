// Last system error on Windows: GetLastError and FormatMessageW.
#include "platform/system_error.h"

#include <windows.h>

namespace ostrin::platform {

uint32_t LastSystemError() { return GetLastError(); }

void SetLastSystemError(uint32_t code) { SetLastError(code); }

WString SystemErrorText(uint32_t code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      0x400 /* language neutral, default */, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  WString result;
  if (length != 0 && text != nullptr) result.assign(text, length);
  if (text != nullptr) LocalFree(text);
  // The system's texts end in a line break; the words end before it, as on Linux.
  while (!result.empty() && (result.back() == L'\r' || result.back() == L'\n' || result.back() == L' ')) {
    result.pop_back();
  }
  return result;
}

uint32_t ErrorNotFound() { return ERROR_FILE_NOT_FOUND; }
uint32_t ErrorAccessDenied() { return ERROR_ACCESS_DENIED; }
uint32_t ErrorEndOfData() { return ERROR_HANDLE_EOF; }
uint32_t ErrorReadFault() { return ERROR_READ_FAULT; }

uint32_t ErrorReadGivenUp() { return ERROR_OPERATION_ABORTED; }

}  // namespace ostrin::platform
