// Thread names on Windows: the thread description, which belongs to the
// thread itself (every module sees it, whatever runtime it carries). The
// call exists from Windows 10 on; older systems keep threads unnamed.
#include <windows.h>

#include <string>

#include "platform/znthreadname.h"

namespace znplatform {

void NameCurrentThread(const char* name) {
  typedef HRESULT(WINAPI * SetThreadDescriptionFn)(HANDLE, PCWSTR);
  static const auto setDescription = reinterpret_cast<SetThreadDescriptionFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  wchar_t wide[64] = {};
  if (setDescription && ::MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, 63) > 0) {
    setDescription(::GetCurrentThread(), wide);
  }
}

}  // namespace znplatform
