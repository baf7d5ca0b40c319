// The library's millisecond clock.
#include <atomic>

#include "base/znplatform.h"
#include "include/znhttpclient.h"

namespace {
// Held frequency of the performance counter; read again while it is 0.
std::atomic<uint64_t> g_qwFrequency{0};
}  // namespace

extern "C" ZNHTTP_API uint64_t zn_gettickcount() {
  uint64_t f = g_qwFrequency.load(std::memory_order_relaxed);
  while (f == 0) {
    f = zn_perffrequency();
    g_qwFrequency.store(f, std::memory_order_relaxed);
  }
  return zn_ticks_from_counter(zn_perfcounter(), f);
}
