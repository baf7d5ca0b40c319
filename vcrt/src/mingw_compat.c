// The few functions of mingw-w64's own C runtime that C libraries built by
// mingw-w64's GCC (OpenSSL, winpthreads) call when linked into a
// Microsoft-ABI image: the ISO-conforming printf and scanf variants, which
// the UCRT's engines provide.
#include <stdarg.h>
#include <stdio.h>

int __cdecl __mingw_vsprintf(char* buffer, const char* format, va_list args) {
  return vsprintf(buffer, format, args);
}
int __cdecl __mingw_vsnprintf(char* buffer, size_t size, const char* format, va_list args) {
  return vsnprintf(buffer, size, format, args);
}
int __cdecl __mingw_vfprintf(FILE* file, const char* format, va_list args) { return vfprintf(file, format, args); }
int __cdecl __mingw_vsscanf(const char* buffer, const char* format, va_list args) {
  return vsscanf(buffer, format, args);
}
