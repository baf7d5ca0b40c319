// The process-wide request identifier: one unsigned 64-bit number shared by all
// clients, incremented at the start of each request on a worker thread, printed
// at the head of most log lines as "Id[%I64u]" and copied by the objects made
// for a request. It is read and written from several threads without a lock,
// so it is atomic with relaxed ordering.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/zndef.h"

namespace zn {

extern std::atomic<uint64_t> g_qwHttpRequestId;

inline uint64_t CurrentRequestId() { return g_qwHttpRequestId.load(std::memory_order_relaxed); }

}  // namespace zn
