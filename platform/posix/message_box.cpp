// Error messages on POSIX: one line on standard error.
#include "platform/message_box.h"

#include <cstdio>
#include <string>

#include "platform/text.h"

namespace ostrin::platform {

void ShowErrorMessage(const WString& text) {
  // A message box may break its text into paragraphs; on a console it stays one line.
  std::string line;
  for (const char c : WideToUtf8(text)) {
    if (c != '\n') {
      line.push_back(c);
    } else if (!line.empty() && line.back() != ' ') {
      line.push_back(' ');
    }
  }
  std::fprintf(stderr, "Error: %s\n", line.c_str());
  std::fflush(stderr);
}

bool ErrorMessagesWaitForUser() { return false; }

}  // namespace ostrin::platform
