// Internal to the platform library: a thread started with a stack reservation
// of our own choosing, so that neither the shell's limit (8 MiB on Linux) nor
// the host executable's header (2 MiB for mingw programs on Windows) decides
// how many tasks fit into a 32-bit address space. Implemented in
// znthread_posix.cpp and znthread_win.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace znplatform {

// The stack every task thread reserves: 1 MiB, the reservation Windows gives a
// thread of a program built by Microsoft's tools, and so the stack that host
// code written for Windows already expects of any thread it is called on. The
// library's own deepest path (a TLS handshake under a receive with its 16 KiB
// buffer) stays far below it, which leaves the rest to the host's callbacks
// that run in place on the worker when the host gives no notify task.
// Only address space is reserved; pages are committed as the stack grows.
constexpr size_t kTaskStackReservation = 1024 * 1024;

// One system thread, joined or detached by its owner. Not thread-safe: the
// owner serialises Start, Join and Detach (the task does it under its lock).
// A thread still joinable when the object dies is the owner's fault.
class NativeThread final {
 public:
  typedef void (*Entry)(void* arg);

  NativeThread() = default;
  NativeThread(const NativeThread&) = delete;
  NativeThread& operator=(const NativeThread&) = delete;

  // Runs entry(arg) on a new thread with stackBytes of reserved stack. False,
  // with the system's reason in error, when the system refuses the thread;
  // entry then never runs. Must not be called while joinable.
  bool Start(Entry entry, void* arg, size_t stackBytes, std::string& error);
  bool Joinable() const { return m_bJoinable; }
  // True on the thread this object started.
  bool IsCurrent() const;
  // Waits for the thread to end; not from the thread itself.
  void Join();
  // Lets the thread end on its own.
  void Detach();

 private:
  uintptr_t m_handle = 0;  // pthread_t, or the thread's HANDLE; valid while joinable
  uint64_t m_id = 0;       // the system's thread id where the handle cannot tell (Windows)
  bool m_bJoinable = false;
};

}  // namespace znplatform
