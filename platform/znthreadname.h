// Internal to the platform library: gives the calling thread a name that
// debuggers and the system's tools show (a task's threads carry the task's
// name). Implemented in znthreadname_posix.cpp and znthreadname_win.cpp.
#pragma once

namespace znplatform {

// The caller cuts the name to what every system takes (15 characters).
void NameCurrentThread(const char* name);

}  // namespace znplatform
