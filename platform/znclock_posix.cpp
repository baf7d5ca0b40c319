// The performance counter on POSIX systems: CLOCK_MONOTONIC in nanoseconds.
#include <time.h>

#include "base/znplatform.h"

namespace {

const uint64_t kNanosPerSecond = 1000000000ull;

}  // namespace

uint64_t zn_perfcounter() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * kNanosPerSecond + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t zn_perffrequency() {
  return kNanosPerSecond;
}
