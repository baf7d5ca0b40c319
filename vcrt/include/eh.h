// The exception-handling entry points of the C runtime that <exception>
// brings into namespace std. The UCRT exports them with C names.
#pragma once
#include <vcruntime.h>
#ifndef __cplusplus
#error eh.h is only for C++
#endif

#pragma pack(push, _CRT_PACKING)
extern "C" {
typedef void(__cdecl* terminate_handler)();
typedef void(__cdecl* terminate_function)();
typedef void(__cdecl* unexpected_handler)();
typedef void(__cdecl* unexpected_function)();
struct _EXCEPTION_POINTERS;
typedef void(__cdecl* _se_translator_function)(unsigned int, struct _EXCEPTION_POINTERS*);

__declspec(dllimport) __declspec(noreturn) void __cdecl terminate() noexcept;
__declspec(dllimport) terminate_handler __cdecl set_terminate(terminate_handler) noexcept;
__declspec(dllimport) terminate_handler __cdecl _get_terminate() noexcept;
_VCRTIMP void __cdecl unexpected() noexcept(false);
_VCRTIMP unexpected_handler __cdecl set_unexpected(unexpected_handler) noexcept;
_VCRTIMP unexpected_handler __cdecl _get_unexpected() noexcept;
_VCRTIMP _se_translator_function __cdecl _set_se_translator(_se_translator_function);
_VCRTIMP bool __cdecl __uncaught_exception();
_VCRTIMP int __cdecl __uncaught_exceptions();
}
#pragma pack(pop)
