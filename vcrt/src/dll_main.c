// Entry point of a DLL: runs its initialisers before its DllMain sees the
// attach, and what its atexit() registered after DllMain has seen the detach.
#include "internal.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

BOOL WINAPI _DllMainCRTStartup(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    __zn_use_module_onexit_table();
    if (!__zn_initialize_module()) return FALSE;
    if (!DllMain(instance, reason, reserved)) {
      __zn_uninitialize_module();
      return FALSE;
    }
    return TRUE;
  }
  BOOL result = DllMain(instance, reason, reserved);
  if (reason == DLL_PROCESS_DETACH) __zn_uninitialize_module();
  return result;
}
