// Last system error on POSIX: errno and strerror_r.
#include "platform/system_error.h"

#include <cerrno>
#include <cstring>

#include "platform/text.h"

namespace ostrin::platform {

uint32_t LastSystemError() { return static_cast<uint32_t>(errno); }

void SetLastSystemError(uint32_t code) { errno = static_cast<int>(code); }

WString SystemErrorText(uint32_t code) {
  char buffer[256] = {};
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
  return text != nullptr ? Utf8ToWide(text) : WString();
}

uint32_t ErrorNotFound() { return ENOENT; }
uint32_t ErrorAccessDenied() { return EACCES; }
uint32_t ErrorEndOfData() { return ENODATA; }
uint32_t ErrorReadFault() { return EIO; }

uint32_t ErrorReadGivenUp() { return ECANCELED; }

}  // namespace ostrin::platform
