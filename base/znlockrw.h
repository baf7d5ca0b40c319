// CZNLockRW: a reader-writer lock that a thread may re-enter, and its guards.
//
// The underlying platform lock is taken once per thread: the first LockRD or
// LockRW of a thread takes it (read or write), further calls of the same thread
// only count, and the Unlock that brings the count back to 0 releases it. A
// nested call never changes the mode: a reader asking for write goes on under
// its read hold, a writer asking for read under its write hold.
//
// Usable from any thread. m_lock serialises the nesting table only, never the
// wait for the underlying lock.
#pragma once

#include "base/znlock.h"
#include "base/znmap.h"
#include "base/znplatform.h"

class CZNLockRW final {
 public:
  CZNLockRW() : m_hLock(znrwlock_alloc()) {}
  CZNLockRW(const CZNLockRW&) = delete;
  CZNLockRW& operator=(const CZNLockRW&) = delete;
  ~CZNLockRW() { znrwlock_destroy(m_hLock); }

  void LockRD() { Enter(false); }
  void LockRW() { Enter(true); }
  void Unlock() {
    const unsigned long id = static_cast<unsigned long>(znthread_selfid());
    m_lock.Lock();
    Nest::Node* node = m_mapNest.findnode(id);
    if (!node) {
      m_lock.Unlock();  // this thread holds nothing
      return;
    }
    if (--node->getValue() != 0) {
      m_lock.Unlock();
      return;
    }
    m_mapNest.erase(id);
    m_lock.Unlock();
    znrwlock_unlock(m_hLock);
  }
  // One attempt at the underlying lock; the nesting table is not touched.
  bool TryLockRD() { return znrwlock_tryrdlock(m_hLock) == 0; }
  bool TryLockWR() { return znrwlock_tryrwlock(m_hLock) == 0; }

 private:
  typedef znstl::map<unsigned long, unsigned int> Nest;

  void Enter(bool write) {
    const unsigned long id = static_cast<unsigned long>(znthread_selfid());
    m_lock.Lock();
    Nest::Node* node = m_mapNest.findnode(id);
    if (node) {
      ++node->getValue();
      m_lock.Unlock();
      return;
    }
    m_mapNest.insert(id, 1);
    m_lock.Unlock();
    // Only this thread reads its own entry, so it may block outside the guard.
    if (write) {
      znrwlock_wrlock(m_hLock);
    } else {
      znrwlock_rdlock(m_hLock);
    }
  }

  znrwlock_t m_hLock;  // owned platform lock
  CZNLock m_lock;      // guards m_mapNest
  Nest m_mapNest;      // thread id -> nested holds (>= 1) of a thread that holds m_hLock
};

// Holds a CZNLockRW for reading for its scope.
class CZNAutolockReadonly final {
 public:
  explicit CZNAutolockReadonly(CZNLockRW& lock) : m_lock(lock) { m_lock.LockRD(); }
  CZNAutolockReadonly(const CZNAutolockReadonly&) = delete;
  CZNAutolockReadonly& operator=(const CZNAutolockReadonly&) = delete;
  ~CZNAutolockReadonly() { m_lock.Unlock(); }

 private:
  CZNLockRW& m_lock;  // borrowed; outlives the guard
};

// Holds a CZNLockRW for writing for its scope.
class CZNAutolockReadWrite final {
 public:
  explicit CZNAutolockReadWrite(CZNLockRW& lock) : m_lock(lock) { m_lock.LockRW(); }
  CZNAutolockReadWrite(const CZNAutolockReadWrite&) = delete;
  CZNAutolockReadWrite& operator=(const CZNAutolockReadWrite&) = delete;
  ~CZNAutolockReadWrite() { m_lock.Unlock(); }

 private:
  CZNLockRW& m_lock;  // borrowed; outlives the guard
};
