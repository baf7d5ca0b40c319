// Initialisers and atexit() for one module. A program registers with the
// process's table (the UCRT's exit() runs it); a DLL keeps a table of its own,
// run when it is unloaded or the process ends.
#include <process.h>
#include <stdlib.h>

#include <corecrt_startup.h>

#include "internal.h"

// The UCRT's start-up exports (mingw-w64 declares the table functions only).
int __cdecl _initterm_e(_PIFV*, _PIFV*);
void __cdecl _initterm(_PVFV*, _PVFV*);

static _onexit_table_t g_table;
static BOOL g_module_table = FALSE;

void __zn_use_module_onexit_table(void) {
  _initialize_onexit_table(&g_table);
  g_module_table = TRUE;
}

_onexit_t __cdecl _onexit(_onexit_t function) {
  if (g_module_table) return _register_onexit_function(&g_table, function) == 0 ? function : NULL;
  return _crt_atexit((_PVFV)function) == 0 ? function : NULL;
}

int __cdecl atexit(_PVFV function) { return _onexit((_onexit_t)function) ? 0 : -1; }

BOOL __zn_initialize_module(void) {
  if (_initterm_e(__xi_a, __xi_z) != 0) return FALSE;
  _initterm(__xc_a, __xc_z);
  return TRUE;
}

void __zn_uninitialize_module(void) {
  if (g_module_table) _execute_onexit_table(&g_table);
}
