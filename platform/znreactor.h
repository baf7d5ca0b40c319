// Internal to the platform library: the reactor behind each task.
//
// Every started task runs one asio::io_context on its thread. Sockets, timers
// and connecting sockets made on a task's thread register with that context, so
// that all their callbacks run on the task's thread, never at the same time as a
// posted call. Nothing outside platform/ includes this header.
#pragma once

#include <asio/io_context.hpp>

#include "base/zntask.h"

namespace znplatform {

// The reactor of a task; valid from construction until the task object dies.
asio::io_context& TaskReactor(CZNTaskBase* task);

// The task whose thread is the calling thread, or null (not counted). The same
// as CZNTaskBase::Current().
inline CZNTaskBase* CurrentTask() { return CZNTaskBase::Current(); }

}  // namespace znplatform
