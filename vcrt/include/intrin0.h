// The compiler intrinsics the C++ standard library's headers use (interlocked
// operations, bit scans, volatile loads and stores). Clang declares every one
// of them in its own intrin.h.
#pragma once
#include <intrin.h>
