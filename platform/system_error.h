// The calling thread's last system error and its text (GetLastError / errno).
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace ostrin::platform {

// The calling thread's last system error code.
uint32_t LastSystemError();

// Sets the calling thread's last system error code.
void SetLastSystemError(uint32_t code);

// The system's text for an error code, as the system words it, without a line break at its end; empty
// when it has none.
WString SystemErrorText(uint32_t code);

// Error codes that portable code needs to name.
uint32_t ErrorNotFound();      // no such file or device (ENOENT / ERROR_FILE_NOT_FOUND)
uint32_t ErrorAccessDenied();  // EACCES / ERROR_ACCESS_DENIED
uint32_t ErrorEndOfData();     // a read that ended before the bytes it needed (ENODATA / ERROR_HANDLE_EOF)
uint32_t ErrorReadFault();     // the device could not read the bytes asked for (EIO / ERROR_READ_FAULT)
uint32_t ErrorReadGivenUp();   // a read its caller gave up on (ECANCELED / ERROR_OPERATION_ABORTED)

}  // namespace ostrin::platform
