// The performance counter on Windows: QueryPerformanceCounter and its
// frequency, which the system fixes at boot (read once).
#include <windows.h>

#include "base/znplatform.h"

uint64_t zn_perfcounter() {
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  return static_cast<uint64_t>(now.QuadPart);
}

uint64_t zn_perffrequency() {
  static const uint64_t frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return static_cast<uint64_t>(f.QuadPart);
  }();
  return frequency;
}
