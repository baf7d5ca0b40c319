// The entry point of the HTTP client DLL. At process attach it only turns off
// the per-thread notifications, which it has no use for; everything else is
// made on demand by the client objects.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE hModule, DWORD dwReason, LPVOID /*lpReserved*/) {
  if (dwReason == DLL_PROCESS_ATTACH) ::DisableThreadLibraryCalls(hModule);
  return TRUE;
}
