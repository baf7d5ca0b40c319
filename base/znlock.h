// Mutex, guards and events over the platform library's primitives.
//
// CZNLock is not re-entrant. The guards hold the lock for their scope.
// CZNEvent may be signalled and waited on from any thread.
#pragma once

#include "base/znplatform.h"

class ZNBASE_API CZNLock {
 public:
  CZNLock() { znlock_init(&m_lock); }
  CZNLock(const CZNLock&) = delete;
  CZNLock& operator=(const CZNLock&) = delete;
  ~CZNLock() { znlock_destroy(&m_lock); }
  void Lock() { znlock_lock(&m_lock); }
  void Unlock() { znlock_unlock(&m_lock); }
  bool Try() { return znlock_trylock(&m_lock) == 0; }

 private:
  znlock_t m_lock;
};

class CZNAutolock {
 public:
  explicit CZNAutolock(CZNLock& lock) : m_lock(lock) { m_lock.Lock(); }
  CZNAutolock(const CZNAutolock&) = delete;
  CZNAutolock& operator=(const CZNAutolock&) = delete;
  ~CZNAutolock() { m_lock.Unlock(); }

 private:
  CZNLock& m_lock;  // borrowed; outlives the guard
};

// Like CZNAutolock, and does nothing at all for a null lock.
class CZNAutolockex {
 public:
  explicit CZNAutolockex(CZNLock* lock) : m_pLock(lock) {
    if (m_pLock) m_pLock->Lock();
  }
  CZNAutolockex(const CZNAutolockex&) = delete;
  CZNAutolockex& operator=(const CZNAutolockex&) = delete;
  ~CZNAutolockex() {
    if (m_pLock) m_pLock->Unlock();
  }

 private:
  CZNLock* m_pLock;  // borrowed, may be null
};

// Tries the lock once; unlocks at destruction only if it was taken.
class CZNAutoTrylock {
 public:
  explicit CZNAutoTrylock(CZNLock& lock) : m_lock(lock), m_bLocked(lock.Try()) {}
  CZNAutoTrylock(const CZNAutoTrylock&) = delete;
  CZNAutoTrylock& operator=(const CZNAutoTrylock&) = delete;
  ~CZNAutoTrylock() {
    if (m_bLocked) m_lock.Unlock();
  }
  bool IsLocked() const { return m_bLocked; }

 private:
  CZNLock& m_lock;  // borrowed
  bool m_bLocked;   // the constructor's try succeeded
};

class ZNBASE_API CZNEvent {
 public:
  CZNEvent() : CZNEvent(false, false) {}
  CZNEvent(bool manualReset, bool initialState) : m_hEvent(znevent_create(manualReset, initialState)) {}
  CZNEvent(const CZNEvent&) = delete;
  CZNEvent& operator=(const CZNEvent&) = delete;
  virtual ~CZNEvent() {
    if (m_hEvent) znevent_destory(m_hEvent);
  }
  // True when signalled within ms milliseconds (negative: no limit).
  bool Wait(int64_t ms) { return znevent_timedwait(m_hEvent, ms) == 0; }
  void Post() { znevent_signal(m_hEvent); }
  void Reset() { znevent_reset(m_hEvent); }
  bool IsSignaled() { return znevent_issignaled(m_hEvent); }

 private:
  znevent_t m_hEvent;  // owned
};
