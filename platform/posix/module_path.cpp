// The program's own path on POSIX: the link /proc/self/exe.
#include "platform/module_path.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/text.h"

namespace ostrin::platform {

bool GetModulePath(WString* path) {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return false;
    // readlink does not say whether it cut the link short; a full buffer may have.
    if (static_cast<size_t>(length) < buffer.size()) {
      buffer.resize(static_cast<size_t>(length));
      break;
    }
    buffer.resize(buffer.size() * 2);
  }
  *path = Utf8ToWide(buffer);
  return true;
}

}  // namespace ostrin::platform
