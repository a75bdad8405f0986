// The user's interrupt (Ctrl-C) of a console program, noticed instead of ending the process.
#pragma once

namespace ostrin::platform {

// From now on an interrupt sets a flag instead of ending the process.
void CatchInterrupts();
// From now on an interrupt ends the process again, as it did before CatchInterrupts.
void ReleaseInterrupts();
// Whether an interrupt arrived while they were caught.
bool InterruptRequested();

}  // namespace ostrin::platform
