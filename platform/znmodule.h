// Internal to the platform library: keeps the platform library itself loaded.
// Implemented in znmodule_posix.cpp and znmodule_win.cpp, with the holds of
// znplatform.h.
#pragma once

namespace znplatform {

// Loads the module holding address for good. The platform library does so
// with the first hold a module takes on itself: the releaser, and the task
// threads of that module's objects, run the platform library's code while or
// after the module goes, which may have been the platform library's only user.
void PinModule(const void* address);

}  // namespace znplatform
