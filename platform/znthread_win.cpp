// Threads on Windows: _beginthreadex, so that the C runtime knows the thread,
// with the stack size taken as the reservation. Without that flag the size is
// only the first commit, and the reservation stays the executable's.
#include <windows.h>

#include <process.h>

#include <cstring>
#include <new>

#include "platform/znsocketutil.h"
#include "platform/znthread.h"

namespace znplatform {

namespace {

struct StartRecord {
  NativeThread::Entry entry;
  void* arg;
};

unsigned __stdcall ThreadMain(void* p) {
  const StartRecord record = *static_cast<StartRecord*>(p);
  delete static_cast<StartRecord*>(p);
  record.entry(record.arg);
  return 0;
}

HANDLE ToHandle(uintptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

bool NativeThread::Start(Entry entry, void* arg, size_t stackBytes, std::string& error) {
  StartRecord* record = new (std::nothrow) StartRecord{entry, arg};
  if (!record) {
    error = "out of memory";
    return false;
  }
  unsigned id = 0;
  const uintptr_t handle = _beginthreadex(nullptr, static_cast<unsigned>(stackBytes), &ThreadMain, record,
                                          STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
  if (handle == 0) {
    const DWORD err = ::GetLastError();
    delete record;
    error = ErrorText(static_cast<int>(err));
    return false;
  }
  m_handle = handle;
  m_id = id;
  m_bJoinable = true;
  return true;
}

bool NativeThread::IsCurrent() const { return m_bJoinable && m_id == ::GetCurrentThreadId(); }

void NativeThread::Join() {
  if (!m_bJoinable) return;
  m_bJoinable = false;
  ::WaitForSingleObject(ToHandle(m_handle), INFINITE);
  ::CloseHandle(ToHandle(m_handle));
}

void NativeThread::Detach() {
  if (!m_bJoinable) return;
  m_bJoinable = false;
  ::CloseHandle(ToHandle(m_handle));
}

}  // namespace znplatform
