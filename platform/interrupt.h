// The user's interrupt (Ctrl-C) of a console program, noticed instead of ending the process.
#pragma once

namespace ostrin::platform {

// From now on an interrupt sets a flag instead of ending the process.
void CatchInterrupts();
// Whether an interrupt arrived since CatchInterrupts.
bool InterruptRequested();

}  // namespace ostrin::platform
