// The public interface of the HTTP client library for hosts.
#pragma once

#include "base/zndef.h"

// The millisecond clock of every time-out, pace and rate.
extern "C" ZNHTTP_API uint64_t zn_gettickcount();
