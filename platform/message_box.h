// Error messages shown to the user of a client program: a message box on Windows, a line on the
// standard error stream elsewhere.
#pragma once

#include "platform/types.h"

namespace ostrin::platform {

// Shows text with the caption "Error:" and the error icon. On Windows the box is application-modal
// with no owner window and blocks the calling thread until dismissed; elsewhere the text is written
// as the one line "Error: <text>" to standard error (line feeds of the text become a space) and the
// call returns at once.
void ShowErrorMessage(const WString& text);

// Whether ShowErrorMessage waits for the user (true on Windows), so that a program without one (a
// script) would never go on.
bool ErrorMessagesWaitForUser();

}  // namespace ostrin::platform
