// The scope holder of a zn::CHttpClient, with one addition to the plain
// holder: a call that runs through it holds the holder's lock in shared mode
// for the length of the run, and the client's destruction takes the lock
// exclusively to invalidate it. So a notification that has already started on
// the notify task finishes before the client's fields go away, and one that
// has not started yet finds the holder invalid and is dropped. A client
// destroyed from inside one of its own calls (a host that deletes it from a
// callback) does not wait for itself.
//
// Threads: any. Owns nothing; the target is borrowed until Shutdown.
#pragma once

#include <mutex>
#include <shared_mutex>

#include "base/znrefcount.h"

namespace zn {

class CHttpClient;

class CHttpClientScopeHolder final : public CScopeHolder<CHttpClient> {
 public:
  explicit CHttpClientScopeHolder(CHttpClient* pClient) : CScopeHolder<CHttpClient>(pClient) {}

  // Calls fn(client) while the client lives; its destruction waits for fn.
  template <class Fn>
  void RunGuarded(Fn fn) {
    std::shared_lock<std::shared_mutex> lock(m_mutex);
    CHttpClient* pClient = target();
    if (!pClient) return;
    CHttpClientScopeHolder* pOuter = t_pInCall;
    t_pInCall = this;
    fn(pClient);
    t_pInCall = pOuter;
  }

  // Invalidates the holder once no call runs through it on another thread.
  void Shutdown() {
    if (t_pInCall == this) {
      Invalidate();
      return;
    }
    std::unique_lock<std::shared_mutex> lock(m_mutex);
    Invalidate();
  }

 private:
  std::shared_mutex m_mutex;  // shared: a call runs; exclusive: the client dies
  // The holder whose call runs on this thread, or null.
  static thread_local CHttpClientScopeHolder* t_pInCall;
};

}  // namespace zn
