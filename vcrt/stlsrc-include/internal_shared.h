// What the C++ library's filesystem.cpp takes from the runtime's internal
// header: an owning pointer to memory from the UCRT heap, its allocation
// macro, and the declaration of GetTempPath2W (Windows 11; the source looks
// it up at run time and falls back to GetTempPathW).
#pragma once
#include <stdlib.h>
#include <windows.h>

template <typename T>
class __crt_unique_heap_ptr {
 public:
  __crt_unique_heap_ptr() noexcept = default;
  explicit __crt_unique_heap_ptr(T* p) noexcept : _P(p) {}
  __crt_unique_heap_ptr(const __crt_unique_heap_ptr&) = delete;
  __crt_unique_heap_ptr& operator=(const __crt_unique_heap_ptr&) = delete;
  __crt_unique_heap_ptr& operator=(T* p) noexcept {
    free(_P);
    _P = p;
    return *this;
  }
  ~__crt_unique_heap_ptr() { free(_P); }
  T* get() const noexcept { return _P; }
  T* detach() noexcept {
    T* p = _P;
    _P = nullptr;
    return p;
  }
  explicit operator bool() const noexcept { return _P != nullptr; }

 private:
  T* _P = nullptr;
};

#define _malloc_crt_t(t, n) static_cast<t*>(malloc(sizeof(t) * (n)))

#ifndef _Analysis_assume_
#define _Analysis_assume_(expr)
#endif

extern "C" DWORD WINAPI GetTempPath2W(DWORD nBufferLength, LPWSTR lpBuffer);
