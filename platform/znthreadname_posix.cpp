// Thread names on POSIX systems.
#include <pthread.h>

#include "platform/znthreadname.h"

namespace znplatform {

void NameCurrentThread(const char* name) { pthread_setname_np(pthread_self(), name); }

}  // namespace znplatform
