// The timings of the service as shipped: exactly the fixed values, with no way to change them.
#include "common/timeouts.h"

const CServiceTimings& ServiceTimings() {
  static const CServiceTimings timings;
  return timings;
}
