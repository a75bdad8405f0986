// Error messages on POSIX: one line on standard error.
#include "platform/message_box.h"

#include <cstdio>

#include "common/text.h"

namespace ostrin::platform {

void ShowErrorMessage(const WString& text) {
  std::fprintf(stderr, "Error: %s\n", WideToUtf8(text).c_str());
  std::fflush(stderr);
}

}  // namespace ostrin::platform
