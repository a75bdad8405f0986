// UTC to local time on Windows: FileTimeToLocalFileTime, which adds the zone's current bias.
#include "platform/local_time.h"

#include <windows.h>

#include <limits>

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

CLocalTimeConverter::CLocalTimeConverter() {
  // What the system adds now, read off one conversion (the bias does not depend on the date).
  constexpr uint64_t REFERENCE = 132'539'328'000'000'000ull;  // 2021-01-01 UTC
  uint64_t local = 0;
  if (!FileTimeToLocalFileTime(REFERENCE, &local)) return;
  m_bias = static_cast<int64_t>(local - REFERENCE);
  m_known = true;
}

bool CLocalTimeConverter::ToLocal(uint64_t utc, uint64_t* local) const {
  if (!m_known) return false;
  // FILETIMEs the system converts are below 2^63; a shift that leaves that range fails.
  constexpr uint64_t LIMIT = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (utc > LIMIT) return false;
  if (m_bias < 0 && utc < static_cast<uint64_t>(-m_bias)) return false;
  if (m_bias > 0 && utc > LIMIT - static_cast<uint64_t>(m_bias)) return false;
  *local = utc + static_cast<uint64_t>(m_bias);
  return true;
}

}  // namespace ostrin::platform
