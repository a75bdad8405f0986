// UTC to local time on Windows: FileTimeToLocalFileTime.
#include "platform/local_time.h"

#include <windows.h>

namespace ostrin::platform {

bool FileTimeToLocalFileTime(uint64_t utc, uint64_t* local) {
  FILETIME in;
  in.dwLowDateTime = static_cast<DWORD>(utc);
  in.dwHighDateTime = static_cast<DWORD>(utc >> 32);
  FILETIME out;
  if (!::FileTimeToLocalFileTime(&in, &out)) return false;
  *local = (static_cast<uint64_t>(out.dwHighDateTime) << 32) | out.dwLowDateTime;
  return true;
}

}  // namespace ostrin::platform
