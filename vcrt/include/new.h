// The C runtime's view of the allocation functions: <new>'s declarations and
// the runtime's new-handler hook.
#pragma once
#include <vcruntime_new.h>
extern "C" {
typedef int(__cdecl* _PNH)(size_t);
__declspec(dllimport) _PNH __cdecl _set_new_handler(_PNH);
__declspec(dllimport) int __cdecl _set_new_mode(int);
__declspec(dllimport) int __cdecl _query_new_mode();
__declspec(dllimport) int __cdecl _callnewh(size_t);
}
