// The replaceable allocation functions, on the UCRT heap (malloc/free and
// _aligned_malloc/_aligned_free), so that memory crosses modules built
// against the same runtime. A failed allocation asks the new-handler
// (_callnewh) and tries again; without one it throws std::bad_alloc.
#include <malloc.h>
#include <stdlib.h>

#include <new>

extern "C" __declspec(dllimport) int __cdecl _callnewh(size_t);

void* __cdecl operator new(size_t size) {
  for (;;) {
    if (void* block = malloc(size ? size : 1)) return block;
    if (_callnewh(size) == 0) throw std::bad_alloc();
  }
}
void* __cdecl operator new[](size_t size) { return operator new(size); }
void* __cdecl operator new(size_t size, std::nothrow_t const&) noexcept {
  try {
    return operator new(size);
  } catch (...) {
    return nullptr;
  }
}
void* __cdecl operator new[](size_t size, std::nothrow_t const& tag) noexcept { return operator new(size, tag); }

void __cdecl operator delete(void* block) noexcept { free(block); }
void __cdecl operator delete[](void* block) noexcept { free(block); }
void __cdecl operator delete(void* block, std::nothrow_t const&) noexcept { free(block); }
void __cdecl operator delete[](void* block, std::nothrow_t const&) noexcept { free(block); }
void __cdecl operator delete(void* block, size_t) noexcept { free(block); }
void __cdecl operator delete[](void* block, size_t) noexcept { free(block); }

void* __cdecl operator new(size_t size, std::align_val_t align) {
  for (;;) {
    if (void* block = _aligned_malloc(size ? size : 1, static_cast<size_t>(align))) return block;
    if (_callnewh(size) == 0) throw std::bad_alloc();
  }
}
void* __cdecl operator new[](size_t size, std::align_val_t align) { return operator new(size, align); }
void* __cdecl operator new(size_t size, std::align_val_t align, std::nothrow_t const&) noexcept {
  try {
    return operator new(size, align);
  } catch (...) {
    return nullptr;
  }
}
void* __cdecl operator new[](size_t size, std::align_val_t align, std::nothrow_t const& tag) noexcept {
  return operator new(size, align, tag);
}

void __cdecl operator delete(void* block, std::align_val_t) noexcept { _aligned_free(block); }
void __cdecl operator delete[](void* block, std::align_val_t) noexcept { _aligned_free(block); }
void __cdecl operator delete(void* block, std::align_val_t, std::nothrow_t const&) noexcept { _aligned_free(block); }
void __cdecl operator delete[](void* block, std::align_val_t, std::nothrow_t const&) noexcept { _aligned_free(block); }
void __cdecl operator delete(void* block, size_t, std::align_val_t) noexcept { _aligned_free(block); }
void __cdecl operator delete[](void* block, size_t, std::align_val_t) noexcept { _aligned_free(block); }
