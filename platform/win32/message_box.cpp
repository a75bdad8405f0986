// Error messages on Windows: a message box.
#include "platform/message_box.h"

#include <windows.h>

namespace ostrin::platform {

void ShowErrorMessage(const WString& text) {
  MessageBoxW(nullptr, text.c_str(), L"Error:", MB_OK | MB_ICONERROR | MB_APPLMODAL);
}

bool ErrorMessagesWaitForUser() { return true; }

}  // namespace ostrin::platform
