// Threads on POSIX systems: pthreads with an explicit stack size.
#include <pthread.h>

#include <cstring>
#include <new>

#include "platform/znthread.h"

namespace znplatform {

namespace {

static_assert(sizeof(pthread_t) <= sizeof(uintptr_t), "a pthread_t is kept in a uintptr_t");

struct StartRecord {
  NativeThread::Entry entry;
  void* arg;
};

void* ThreadMain(void* p) {
  const StartRecord record = *static_cast<StartRecord*>(p);
  delete static_cast<StartRecord*>(p);
  record.entry(record.arg);
  return nullptr;
}

pthread_t ToPthread(uintptr_t handle) {
  pthread_t t;
  std::memcpy(&t, &handle, sizeof(t));
  return t;
}

}  // namespace

bool NativeThread::Start(Entry entry, void* arg, size_t stackBytes, std::string& error) {
  StartRecord* record = new (std::nothrow) StartRecord{entry, arg};
  if (!record) {
    error = "out of memory";
    return false;
  }
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc == 0) {
    rc = pthread_attr_setstacksize(&attr, stackBytes);
    pthread_t t;
    if (rc == 0) rc = pthread_create(&t, &attr, &ThreadMain, record);
    pthread_attr_destroy(&attr);
    if (rc == 0) {
      m_handle = 0;
      std::memcpy(&m_handle, &t, sizeof(t));
      m_bJoinable = true;
      return true;
    }
  }
  delete record;
  error = std::strerror(rc);
  return false;
}

bool NativeThread::IsCurrent() const { return m_bJoinable && pthread_equal(ToPthread(m_handle), pthread_self()); }

void NativeThread::Join() {
  if (!m_bJoinable) return;
  m_bJoinable = false;
  pthread_join(ToPthread(m_handle), nullptr);
}

void NativeThread::Detach() {
  if (!m_bJoinable) return;
  m_bJoinable = false;
  pthread_detach(ToPthread(m_handle));
}

}  // namespace znplatform
