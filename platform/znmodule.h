// Internal to the platform library: keeps the platform library itself loaded.
// Implemented in znmodule_posix.cpp and znmodule_win.cpp, with the holds of
// znplatform.h.
#pragma once

namespace znplatform {

// Loads the module holding address for good. The platform library does so
// before its first task thread starts: such a thread runs its code until it
// has ended, which may be after every module that used it was unloaded.
void PinModule(const void* address);

}  // namespace znplatform
