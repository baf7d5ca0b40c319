// The allocation functions and the types they take. The replaceable forms are
// defined by the runtime stand-ins (on the UCRT heap); placement forms inline.
#pragma once
#include <vcruntime.h>

#pragma pack(push, _CRT_PACKING)
extern "C++" {
namespace std {
struct nothrow_t {
  explicit nothrow_t() = default;
};
extern nothrow_t const nothrow;
#ifdef __cpp_aligned_new
enum class align_val_t : size_t {};
#endif
}  // namespace std

void* __cdecl operator new(size_t _Size);
void* __cdecl operator new(size_t _Size, std::nothrow_t const&) noexcept;
void* __cdecl operator new[](size_t _Size);
void* __cdecl operator new[](size_t _Size, std::nothrow_t const&) noexcept;
void __cdecl operator delete(void* _Block) noexcept;
void __cdecl operator delete(void* _Block, std::nothrow_t const&) noexcept;
void __cdecl operator delete[](void* _Block) noexcept;
void __cdecl operator delete[](void* _Block, std::nothrow_t const&) noexcept;
void __cdecl operator delete(void* _Block, size_t _Size) noexcept;
void __cdecl operator delete[](void* _Block, size_t _Size) noexcept;
#ifdef __cpp_aligned_new
void* __cdecl operator new(size_t _Size, std::align_val_t _Al);
void* __cdecl operator new(size_t _Size, std::align_val_t _Al, std::nothrow_t const&) noexcept;
void* __cdecl operator new[](size_t _Size, std::align_val_t _Al);
void* __cdecl operator new[](size_t _Size, std::align_val_t _Al, std::nothrow_t const&) noexcept;
void __cdecl operator delete(void* _Block, std::align_val_t _Al) noexcept;
void __cdecl operator delete(void* _Block, std::align_val_t _Al, std::nothrow_t const&) noexcept;
void __cdecl operator delete[](void* _Block, std::align_val_t _Al) noexcept;
void __cdecl operator delete[](void* _Block, std::align_val_t _Al, std::nothrow_t const&) noexcept;
void __cdecl operator delete(void* _Block, size_t _Size, std::align_val_t _Al) noexcept;
void __cdecl operator delete[](void* _Block, size_t _Size, std::align_val_t _Al) noexcept;
#endif

#ifndef __PLACEMENT_NEW_INLINE
#define __PLACEMENT_NEW_INLINE
inline void* __cdecl operator new(size_t, void* _Where) noexcept { return _Where; }
inline void __cdecl operator delete(void*, void*) noexcept {}
#endif
#ifndef __PLACEMENT_VEC_NEW_INLINE
#define __PLACEMENT_VEC_NEW_INLINE
inline void* __cdecl operator new[](size_t, void* _Where) noexcept { return _Where; }
inline void __cdecl operator delete[](void*, void*) noexcept {}
#endif
}
#pragma pack(pop)
