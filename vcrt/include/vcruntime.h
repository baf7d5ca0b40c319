// The base definitions every header of the C++ standard library expects from
// the compiler's runtime: calling-convention and import macros, the basic
// integer types and the switches the library reads. mingw-w64's corecrt.h
// (in UCRT mode) supplies the types; this header adds what only Visual C++'s
// runtime header would.
#pragma once
#define _VCRUNTIME_H

#include <sal.h>
#include <vadefs.h>
#include <corecrt.h>

#ifndef _VCRTIMP
#define _VCRTIMP __declspec(dllimport)
#endif
#ifndef _CRT_BEGIN_C_HEADER
#ifdef __cplusplus
#define _CRT_BEGIN_C_HEADER extern "C" {
#define _CRT_END_C_HEADER }
#else
#define _CRT_BEGIN_C_HEADER
#define _CRT_END_C_HEADER
#endif
#endif

// Import markers of the C++ library DLLs: msvcp140.dll (_CRTIMP2) and its
// satellites msvcp140_1.dll and msvcp140_2.dll, for programs built against
// the DLL runtime (_DLL).
#if defined(_DLL) && !defined(_STATIC_CPPLIB)
#define _ZN_STL_DLLIMPORT __declspec(dllimport)
#else
#define _ZN_STL_DLLIMPORT
#endif
// (mingw-w64's _mingw.h defines it empty for a compiler without GCC's
// attribute spelling of __declspec.)
#undef _CRTIMP2
#define _CRTIMP2 _ZN_STL_DLLIMPORT
#ifndef _MRTIMP2
#define _MRTIMP2 _ZN_STL_DLLIMPORT
#endif
#ifndef _CRT_SATELLITE_1
#define _CRT_SATELLITE_1 _ZN_STL_DLLIMPORT
#endif
#ifndef _CRT_SATELLITE_2
#define _CRT_SATELLITE_2 _ZN_STL_DLLIMPORT
#endif
// The ids of the char16_t and char32_t conversion facets live in a satellite
// DLL Wine does not ship; a module that uses those facets defines them.
#ifndef _CRT_SATELLITE_CODECVT_IDS
#define _CRT_SATELLITE_CODECVT_IDS
#endif
#ifndef _CRT_SATELLITE_CODECVT_IDS_NOIMPORT
#define _CRT_SATELLITE_CODECVT_IDS_NOIMPORT
#endif
// Functions of the UCRT (ucrtbase.dll).
#ifndef _ACRTIMP
#define _ACRTIMP __declspec(dllimport)
#endif
// Annotations of Microsoft's source-code annotation language that mingw-w64's
// sal.h does not define.
#ifndef _Deref_post_opt_valid_
#define _Deref_post_opt_valid_
#endif

// The library is built with C++ exceptions.
#ifndef _HAS_EXCEPTIONS
#define _HAS_EXCEPTIONS 1
#endif

// No managed code: the CLR calling conventions are the native ones.
#define __CLR_OR_THIS_CALL
#define __CLRCALL_OR_CDECL __cdecl
#define __CLRCALL_PURE_OR_CDECL __cdecl
#define __CLRCALL_PURE_OR_STDCALL __stdcall

#ifndef _CRT_GUARDOVERFLOW
#define _CRT_GUARDOVERFLOW
#endif
#ifndef _CRTRESTRICT
#define _CRTRESTRICT
#endif
#ifndef _CRTALLOCATOR
#define _CRTALLOCATOR
#endif
#define _VCRT_ALLOCATOR
#define _VCRT_RESTRICT
#define _VCRT_NOALIAS
#define _CRT_JIT_INTRINSIC
#define _VCRT_ALIGN(x) __declspec(align(x))
#ifndef _CRT_HYBRIDPATCHABLE
#define _CRT_HYBRIDPATCHABLE
#endif
#ifndef _CRT_DECLARE_NONSTDC_NAMES
#define _CRT_DECLARE_NONSTDC_NAMES 1
#endif
#ifndef _CRT_INSECURE_DEPRECATE
#define _CRT_INSECURE_DEPRECATE(_Replacement)
#endif
#ifndef _CRT_DEPRECATE_TEXT
#define _CRT_DEPRECATE_TEXT(_Text) __declspec(deprecated(_Text))
#endif
#define _VCRT_EXPORT_STD

// The language mode the standard library's headers switch on.
#ifdef _MSVC_LANG
#define _STL_LANG _MSVC_LANG
#elif defined(__cplusplus)
#define _STL_LANG __cplusplus
#else
#define _STL_LANG 0L
#endif
#ifndef _HAS_CXX17
#define _HAS_CXX17 (_STL_LANG > 201402L)
#endif
#ifndef _HAS_CXX20
#define _HAS_CXX20 (_HAS_CXX17 && _STL_LANG > 201703L)
#endif
#ifndef _HAS_CXX23
#define _HAS_CXX23 (_HAS_CXX20 && _STL_LANG > 202002L)
#endif

// A checked function met an argument outside its contract: the UCRT's
// invalid-parameter handler ends the process.
#ifndef _CRT_SECURE_INVALID_PARAMETER
#ifdef __cplusplus
extern "C" __declspec(dllimport) __declspec(noreturn) void __cdecl _invalid_parameter_noinfo_noreturn(void);
#define _CRT_SECURE_INVALID_PARAMETER(expr) ::_invalid_parameter_noinfo_noreturn()
#endif
#endif

#ifndef _CRT_UNUSED
#define _CRT_UNUSED(x) (void)x
#endif
#ifndef __crt_countof
#define __crt_countof(_Array) (sizeof(_Array) / sizeof(_Array[0]))
#endif

#ifndef _HAS_NODISCARD
#define _HAS_NODISCARD 1
#endif
#if _HAS_NODISCARD && defined(__cplusplus)
#define _NODISCARD [[nodiscard]]
#else
#define _NODISCARD
#endif

#ifdef __cplusplus
typedef bool __vcrt_bool;
#endif

// The UCRT declares the multibyte conversion state (_Mbstatet) before any
// header of the standard library reads it; mingw-w64 declares it in wchar.h.
#include <wchar.h>
