// The scope holder of a zn::CHttpClient, with one addition to the plain
// holder: a call that runs through it holds the holder's lock in shared mode
// for the length of the run, and the client's destruction takes the lock
// exclusively to invalidate it. So a notification that has already started on
// the notify task finishes before the client's fields go away, and one that
// has not started yet finds the holder invalid and is dropped. A client
// destroyed from inside one of its own calls (a host that deletes it from a
// callback) does not wait for itself.
//
// The lock is the platform's reader-writer lock, not std::shared_mutex:
// mingw's std::shared_mutex keeps 276 bytes of its first exclusive lock after
// its destruction, which grew a Windows host by that much per client.
//
// The holder also keeps this library loaded while it lives: it outlives its
// client and every call record made for it, whose code a host that unloads
// the library early (FreeLibrary before deleting the client) still needs.
//
// Threads: any. Owns its lock and, from allocation to deallocation, one hold
// on the library; the target is
// borrowed until Shutdown.
#pragma once

#include "base/znplatform.h"
#include "base/znrefcount.h"

namespace zn {

class CHttpClient;

// An address inside this library, which names it to the platform's holds.
inline const char g_cHttpLibraryMark = 0;

// The allocation of an object that keeps this library loaded while it lives
// (a client, a scope holder): the hold is taken with the memory and given back
// after it, the last step of a deleting destructor, which leaves nothing of
// this library to run but returns.
inline void* AllocateHoldingLibrary(size_t n) {
  void* p = ::operator new(n);
  znmodule_hold(&g_cHttpLibraryMark);
  return p;
}
inline void FreeHoldingLibrary(void* p) {
  ::operator delete(p);
  znmodule_release(&g_cHttpLibraryMark);
}

class CHttpClientScopeHolder final : public CScopeHolder<CHttpClient> {
 public:
  explicit CHttpClientScopeHolder(CHttpClient* pClient)
      : CScopeHolder<CHttpClient>(pClient), m_hLock(znrwlock_alloc()) {}
  ~CHttpClientScopeHolder() override { znrwlock_destroy(m_hLock); }
  static void* operator new(size_t n) { return AllocateHoldingLibrary(n); }
  static void operator delete(void* p) { FreeHoldingLibrary(p); }

  // Calls fn(client) while the client lives; its destruction waits for fn.
  template <class Fn>
  void RunGuarded(Fn fn) {
    znrwlock_rdlock(m_hLock);
    CHttpClient* pClient = target();
    if (pClient) {
      CHttpClientScopeHolder* pOuter = t_pInCall;
      t_pInCall = this;
      fn(pClient);
      t_pInCall = pOuter;
    }
    znrwlock_unlock(m_hLock);
  }

  // Invalidates the holder once no call runs through it on another thread.
  void Shutdown() {
    if (t_pInCall == this) {
      Invalidate();
      return;
    }
    znrwlock_wrlock(m_hLock);
    Invalidate();
    znrwlock_unlock(m_hLock);
  }

 private:
  znrwlock_t m_hLock;  // owned; read: a call runs; write: the client dies
  // The holder whose call runs on this thread, or null.
  static thread_local CHttpClientScopeHolder* t_pInCall;
};

}  // namespace zn
