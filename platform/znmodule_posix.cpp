// Keeping a library loaded on Linux: the loader's no-delete flag, set on the
// library's first hold. A later dlclose then leaves it mapped for the life of
// the process, which costs one mapping and never unloads running code.
#include <dlfcn.h>

#include "base/znplatform.h"
#include "platform/znmodule.h"

namespace znplatform {

void PinModule(const void* address) {
  Dl_info info;
  if (!dladdr(address, &info) || !info.dli_fname) return;
  // The program itself is not found by name; nothing to do for it.
  void* handle = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
  if (handle) dlclose(handle);  // the flag stays; the count is as it was
}

}  // namespace znplatform

void znmodule_hold(const void* address) { znplatform::PinModule(address); }

void znmodule_release(const void*) {}
