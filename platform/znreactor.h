// Internal to the platform library: the reactor behind each task.
//
// Every task object owns one asio::io_context for its whole life; its thread
// runs it while the task is started (a restart reuses it). Sockets, timers and
// connecting sockets made on a task's thread register with that context, so
// that all their callbacks run on the task's thread, never at the same time as
// a posted call. Nothing outside platform/ includes this header.
//
// Lifetime: the context belongs to state shared by the task object, its thread
// and whoever took TaskReactorShared; it lives until the last of them lets go.
// A handler queued in a context must not hold a TaskReactorShared reference to
// that same context (the context owns its queued handlers: that would be a
// cycle); keep the reference in the object that owns the I/O object instead,
// and destroy the I/O object before dropping the reference.
#pragma once

#include <asio/io_context.hpp>

#include <memory>

#include "base/zntask.h"

namespace znplatform {

// The reactor of a task; valid from construction until the task object dies.
asio::io_context& TaskReactor(CZNTaskBase* task);

// The same reactor, held: it stays alive (though perhaps no longer run by any
// thread) after the task object dies. Null for a null task.
std::shared_ptr<asio::io_context> TaskReactorShared(CZNTaskBase* task);

// The reactor of the task whose thread is the calling thread, or null.
std::shared_ptr<asio::io_context> CurrentReactorShared();

// True when the calling thread is the thread that runs ctx.
bool IsReactorThread(const asio::io_context& ctx);

// The task whose thread is the calling thread, or null (not counted). The same
// as CZNTaskBase::Current().
inline CZNTaskBase* CurrentTask() { return CZNTaskBase::Current(); }

}  // namespace znplatform
