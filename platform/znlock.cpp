// Mutexes, reader-writer locks and events.
//
// A mutex lives inside its owner's znlock_t record; reader-writer locks and
// events are heap objects owned by their handle until destroyed. Every
// function may be called from any thread.
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>

#include "base/znlock.h"  // its classes are exported from here
#include "base/znplatform.h"

namespace {

const char kLockTag[] = "znlock";

static_assert(sizeof(pthread_mutex_t) <= sizeof(znlock_t), "znlock_t too small for a mutex");
static_assert(alignof(pthread_mutex_t) <= alignof(znlock_t), "znlock_t under-aligned");

pthread_mutex_t* AsMutex(znlock_t* lock) {
  return reinterpret_cast<pthread_mutex_t*>(lock->opaque);
}

pthread_rwlock_t* AsRwlock(znrwlock_t lock) {
  return static_cast<pthread_rwlock_t*>(lock);
}

// An event in the manner of Windows: manual-reset events stay signalled until
// reset; auto-reset events release one waiter and go back to unsignalled.
struct Event final {
  Event(bool manual, bool initial) : m_bManual(manual), m_bSignaled(initial) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  std::mutex m_mutex;              // guards m_bSignaled
  std::condition_variable m_cond;  // notified on every signal
  const bool m_bManual;
  bool m_bSignaled;
};

}  // namespace

// ---- mutex ----------------------------------------------------------------------

void znlock_init(znlock_t* lock) {
  pthread_mutex_init(AsMutex(lock), nullptr);
}

void znlock_lock(znlock_t* lock) {
  const int rc = pthread_mutex_lock(AsMutex(lock));
  if (rc != 0) znsyslog(1, kLockTag, __LINE__, "mutex lock fail [%d]", rc);
}

int znlock_trylock(znlock_t* lock) {
  return pthread_mutex_trylock(AsMutex(lock));
}

void znlock_unlock(znlock_t* lock) {
  pthread_mutex_unlock(AsMutex(lock));
}

void znlock_destroy(znlock_t* lock) {
  pthread_mutex_destroy(AsMutex(lock));
}

// ---- reader-writer lock -----------------------------------------------------------

znrwlock_t znrwlock_alloc() {
  pthread_rwlock_t* lock = new (std::nothrow) pthread_rwlock_t;
  if (!lock) {
    znsyslog(1, kLockTag, __LINE__, "rwlock alloc fail");
    return nullptr;
  }
  pthread_rwlock_init(lock, nullptr);
  return lock;
}

int znrwlock_rdlock(znrwlock_t lock) {
  return lock ? pthread_rwlock_rdlock(AsRwlock(lock)) : -1;
}

int znrwlock_wrlock(znrwlock_t lock) {
  return lock ? pthread_rwlock_wrlock(AsRwlock(lock)) : -1;
}

int znrwlock_tryrdlock(znrwlock_t lock) {
  return lock ? pthread_rwlock_tryrdlock(AsRwlock(lock)) : -1;
}

int znrwlock_tryrwlock(znrwlock_t lock) {
  return lock ? pthread_rwlock_trywrlock(AsRwlock(lock)) : -1;
}

int znrwlock_unlock(znrwlock_t lock) {
  return lock ? pthread_rwlock_unlock(AsRwlock(lock)) : -1;
}

void znrwlock_destroy(znrwlock_t lock) {
  if (!lock) return;
  pthread_rwlock_destroy(AsRwlock(lock));
  delete AsRwlock(lock);
}

// ---- events -------------------------------------------------------------------------

znevent_t znevent_create(bool manualReset, bool initialState) {
  Event* ev = new (std::nothrow) Event(manualReset, initialState);
  if (!ev) znsyslog(1, kLockTag, __LINE__, "event alloc fail");
  return ev;
}

void znevent_signal(znevent_t handle) {
  Event* ev = static_cast<Event*>(handle);
  if (!ev) return;
  // Notified under the mutex: a waiter that wakes may destroy the event at
  // once, so nothing may touch it after the mutex is released.
  std::lock_guard<std::mutex> guard(ev->m_mutex);
  ev->m_bSignaled = true;
  if (ev->m_bManual) {
    ev->m_cond.notify_all();
  } else {
    ev->m_cond.notify_one();
  }
}

void znevent_reset(znevent_t handle) {
  Event* ev = static_cast<Event*>(handle);
  if (!ev) return;
  std::lock_guard<std::mutex> guard(ev->m_mutex);
  ev->m_bSignaled = false;
}

int znevent_timedwait(znevent_t handle, int64_t ms) {
  Event* ev = static_cast<Event*>(handle);
  if (!ev) return -1;
  std::unique_lock<std::mutex> guard(ev->m_mutex);
  auto signaled = [ev] { return ev->m_bSignaled; };
  if (ms < 0) {
    ev->m_cond.wait(guard, signaled);
  } else if (!ev->m_cond.wait_for(guard, std::chrono::milliseconds(ms), signaled)) {
    return 1;
  }
  if (!ev->m_bManual) ev->m_bSignaled = false;
  return 0;
}

bool znevent_issignaled(znevent_t handle) {
  Event* ev = static_cast<Event*>(handle);
  if (!ev) return false;
  std::lock_guard<std::mutex> guard(ev->m_mutex);
  return ev->m_bSignaled;
}

void znevent_destory(znevent_t handle) {
  delete static_cast<Event*>(handle);
}
