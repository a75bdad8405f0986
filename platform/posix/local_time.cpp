// UTC to local time on POSIX: the zone's current offset from localtime_r(now).tm_gmtoff.
#include "platform/local_time.h"

#include <ctime>
#include <limits>

namespace ostrin::platform {

CLocalTimeConverter::CLocalTimeConverter() {
  const time_t now = time(nullptr);
  struct tm parts = {};
  if (localtime_r(&now, &parts) == nullptr) return;
  m_bias = static_cast<int64_t>(parts.tm_gmtoff) * 10'000'000;
  m_known = true;
}

bool CLocalTimeConverter::ToLocal(uint64_t utc, uint64_t* local) const {
  if (!m_known) return false;
  // A FILETIME is an unsigned count; a shift that would leave its range is a failed conversion.
  if (m_bias < 0 && utc < static_cast<uint64_t>(-m_bias)) return false;
  if (m_bias > 0 && utc > std::numeric_limits<uint64_t>::max() - static_cast<uint64_t>(m_bias)) return false;
  *local = utc + static_cast<uint64_t>(m_bias);
  return true;
}

bool FileTimeToLocalFileTime(uint64_t utc, uint64_t* local) { return CLocalTimeConverter().ToLocal(utc, local); }

}  // namespace ostrin::platform
