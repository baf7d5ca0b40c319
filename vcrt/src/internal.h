// What the stand-ins for the start-up code share between their files.
#pragma once
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void(__cdecl* _PVFV)(void);
typedef int(__cdecl* _PIFV)(void);

// Bounds of the initialiser tables the compiler and the linker fill
// (sections .CRT$XIA..XIZ for C, .CRT$XCA..XCZ for C++, .CRT$XDA..XDZ for
// thread_local variables, .CRT$XLA..XLZ for TLS callbacks).
extern _PIFV __xi_a[], __xi_z[];
extern _PVFV __xc_a[], __xc_z[];
extern _PVFV __xd_a[], __xd_z[];

// Runs the C and C++ initialisers of this module; false when a C initialiser
// failed.
BOOL __zn_initialize_module(void);
// Makes atexit() of this module register in a table of its own, run by
// __zn_uninitialize_module (a DLL); without it, atexit() registers with the
// process (a program, whose exit() runs them).
void __zn_use_module_onexit_table(void);
// Runs what this module registered with atexit(), newest first.
void __zn_uninitialize_module(void);
// Runs the destructors of the calling thread's thread_local objects.
void __zn_run_thread_local_destructors(void);

#ifdef __cplusplus
}
#endif
