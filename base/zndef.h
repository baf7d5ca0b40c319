// Basic definitions shared by the platform library, the HTTP library and hosts:
// export macros, fixed-width types, the Windows-shaped date record and the
// 16-bit character type (with its literal macro) used wherever the client
// interface speaks UTF-16.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
// A Windows DLL exports what carries dllexport while it is built; its users
// import the same names through the import library. ZNBASE_BUILDING and
// ZNHTTP_BUILDING are set while building the two libraries; ZNHTTP_STATIC by
// programs that link the HTTP library's objects directly (its tests).
#if defined(ZNBASE_BUILDING)
#define ZNBASE_API __declspec(dllexport)
#else
#define ZNBASE_API __declspec(dllimport)
#endif
#if defined(ZNHTTP_BUILDING)
#define ZNHTTP_API __declspec(dllexport)
#elif defined(ZNHTTP_STATIC)
#define ZNHTTP_API
#else
#define ZNHTTP_API __declspec(dllimport)
#endif
#else
// Symbols of both libraries are hidden unless marked. The same attribute serves
// the build of the library and its users, as there is no import step on Linux.
#define ZNBASE_API __attribute__((visibility("default")))
#define ZNHTTP_API __attribute__((visibility("default")))
#endif

// printf-style format checking for our own helpers (not for the system's
// "%I64u" formats, which GCC cannot check).
#define ZN_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))

// One UTF-16 code unit: the character of zn::strutf16 and of every wide text
// the interface takes. On Windows it is wchar_t itself, so that a host hands
// over its L"..." literals and wide buffers as they are; elsewhere wchar_t holds
// 32 bits and char16_t takes its place.
// ZN_WTEXT("...") and ZN_WTEXT('x') make a literal of this type on every system
// (the second step lets the argument be a macro that names a literal).
#if defined(_WIN32)
typedef wchar_t znwchar_t;
#define ZN_WTEXT_LITERAL(s) L##s
#else
typedef char16_t znwchar_t;
#define ZN_WTEXT_LITERAL(s) u##s
#endif
#define ZN_WTEXT(s) ZN_WTEXT_LITERAL(s)
static_assert(sizeof(znwchar_t) == 2, "znwchar_t holds one UTF-16 code unit");

// The platform's native socket handle: a 64-bit value holding the descriptor.
// The invalid handle comes from znsocket_makeinvalid() (znsocket.h).
typedef uint64_t znsocket_t;

#if defined(_WIN32)
// The Windows record itself (the system's headers declare it; it must not be
// declared twice). The two headers bring no sockets, so winsock2.h may follow.
#include <windef.h>
#include <minwinbase.h>
#else
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
#endif
