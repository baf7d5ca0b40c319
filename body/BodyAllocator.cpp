#include "body/BodyAllocator.h"

#include <atomic>
#include <cstdlib>

namespace zn {

namespace {
// Null: the C heap. Otherwise a borrowed function installed by a test.
std::atomic<BodyAllocFn> g_pfnBodyAlloc{nullptr};
}  // namespace

BodyAllocFn SetBodyAllocator(BodyAllocFn fn) { return g_pfnBodyAlloc.exchange(fn, std::memory_order_acq_rel); }

void* BodyAlloc(size_t size) {
  const BodyAllocFn fn = g_pfnBodyAlloc.load(std::memory_order_acquire);
  return fn ? fn(size) : std::malloc(size);
}

}  // namespace zn
