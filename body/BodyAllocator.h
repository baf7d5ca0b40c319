// The heap of the body objects' caches and memory buffers.
//
// The reader's and writer's caches are taken with decreasing sizes until an
// allocation succeeds, and the writer's memory target grows by fresh
// allocations. All of them go through BodyAlloc so that the fallback paths can
// be driven without exhausting the machine: a test installs a function that
// refuses some sizes. Every block is released with free(), so an installed
// function must hand out malloc-compatible memory.
//
// Thread safety: BodyAlloc may be called from any thread; the function is
// swapped atomically, and a test swaps it while no body object is in use.
#pragma once

#include <cstddef>

#include "base/zndef.h"

namespace zn {

typedef void* (*BodyAllocFn)(size_t size);

// Installs fn as the allocator of the body objects; null restores malloc.
// Returns the function installed before.
BodyAllocFn SetBodyAllocator(BodyAllocFn fn);

// A block of size bytes from the installed allocator, or null.
void* BodyAlloc(size_t size);

}  // namespace zn
