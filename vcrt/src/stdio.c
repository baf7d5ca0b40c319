// The formatted-I/O functions of the C library. The UCRT exports only the
// common engines (__stdio_common_v*); Microsoft's headers define printf and
// its relatives inline on top of them, mingw-w64's headers declare them as
// functions, so they are defined here once, with the options the UCRT's own
// headers pass: wide-string specifiers as before C99 (%s in a wide format
// reads a wide string), C99 return values for snprintf, and the historical
// termination rules for _snprintf. (The wide forms and _snprintf are inline
// in mingw-w64's headers.)
#include <stdarg.h>
#include <stdio.h>
#include <wchar.h>

#define LEGACY_VSPRINTF_NULL_TERMINATION (1ULL << 0)
#define STANDARD_SNPRINTF_BEHAVIOR (1ULL << 1)
#define LEGACY_WIDE_SPECIFIERS (1ULL << 2)
#define SCANF_LEGACY_WIDE_SPECIFIERS (1ULL << 1)

int __cdecl __stdio_common_vswprintf(unsigned __int64, wchar_t*, size_t, const wchar_t*, _locale_t, va_list);
int __cdecl __stdio_common_vfwprintf(unsigned __int64, FILE*, const wchar_t*, _locale_t, va_list);
int __cdecl __stdio_common_vsscanf(unsigned __int64, const char*, size_t, const char*, _locale_t, va_list);
int __cdecl __stdio_common_vswscanf(unsigned __int64, const wchar_t*, size_t, const wchar_t*, _locale_t, va_list);

int __cdecl vfprintf(FILE* file, const char* format, va_list args) {
  return __stdio_common_vfprintf(LEGACY_WIDE_SPECIFIERS, file, format, NULL, args);
}
int __cdecl vprintf(const char* format, va_list args) { return vfprintf(stdout, format, args); }
int __cdecl vsnprintf(char* buffer, size_t size, const char* format, va_list args) {
  int n = __stdio_common_vsprintf(LEGACY_WIDE_SPECIFIERS | STANDARD_SNPRINTF_BEHAVIOR, buffer, size, format, NULL, args);
  return n < 0 ? -1 : n;
}
int __cdecl _vsnprintf(char* buffer, size_t size, const char* format, va_list args) {
  return __stdio_common_vsprintf(LEGACY_WIDE_SPECIFIERS | LEGACY_VSPRINTF_NULL_TERMINATION, buffer, size, format, NULL,
                                 args);
}
int __cdecl vsprintf(char* buffer, const char* format, va_list args) {
  return _vsnprintf(buffer, (size_t)-1, format, args);
}
int __cdecl _vsnwprintf(wchar_t* buffer, size_t size, const wchar_t* format, va_list args) {
  return __stdio_common_vswprintf(LEGACY_WIDE_SPECIFIERS | LEGACY_VSPRINTF_NULL_TERMINATION, buffer, size, format,
                                  NULL, args);
}
int __cdecl vsscanf(const char* buffer, const char* format, va_list args) {
  return __stdio_common_vsscanf(SCANF_LEGACY_WIDE_SPECIFIERS, buffer, (size_t)-1, format, NULL, args);
}

#define FORWARD(call) \
  va_list args;       \
  va_start(args, format); \
  int n = call;       \
  va_end(args);       \
  return n

int __cdecl printf(const char* format, ...) { FORWARD(vfprintf(stdout, format, args)); }
int __cdecl fprintf(FILE* file, const char* format, ...) { FORWARD(vfprintf(file, format, args)); }
int __cdecl sprintf(char* buffer, const char* format, ...) { FORWARD(vsprintf(buffer, format, args)); }
int __cdecl snprintf(char* buffer, size_t size, const char* format, ...) {
  FORWARD(vsnprintf(buffer, size, format, args));
}
int __cdecl sscanf(const char* buffer, const char* format, ...) { FORWARD(vsscanf(buffer, format, args)); }
