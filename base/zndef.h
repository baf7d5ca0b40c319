// Basic definitions shared by the platform library, the HTTP library and hosts:
// export macros, fixed-width types, the Windows-shaped date record and the
// 16-bit character type used wherever the client interface speaks UTF-16.
#pragma once

#include <cstddef>
#include <cstdint>

// Symbols of both libraries are hidden unless marked. The same attribute serves
// the build of the library and its users, as there is no import step on Linux.
#define ZNBASE_API __attribute__((visibility("default")))
#define ZNHTTP_API __attribute__((visibility("default")))

// printf-style format checking for our own helpers (not for the system's
// "%I64u" formats, which GCC cannot check).
#define ZN_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))

// One UTF-16 code unit. Where the interface says wchar_t, this type is meant.
typedef char16_t znwchar_t;

// The platform's native socket handle: a 64-bit value holding the descriptor.
// The invalid handle comes from znsocket_makeinvalid() (znsocket.h).
typedef uint64_t znsocket_t;

// Calendar time in the layout of the Windows record of the same name, read as UTC.
struct SYSTEMTIME {
  uint16_t wYear;
  uint16_t wMonth;      // 1 = January .. 12
  uint16_t wDayOfWeek;  // 0 = Sunday .. 6
  uint16_t wDay;        // 1 .. 31
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
};
