// Thread-safe initialisation of function-local statics. The compiler keeps a
// guard per static: 0 before initialisation, -1 while one thread runs it,
// afterwards the value of a global epoch that only grows. Each thread caches
// the epoch it last saw; a guard above that value sends the thread here.
#include <limits.h>

#include "internal.h"

int _Init_global_epoch = INT_MIN;
__declspec(thread) int _Init_thread_epoch = INT_MIN;

static SRWLOCK g_lock = SRWLOCK_INIT;
static CONDITION_VARIABLE g_done = CONDITION_VARIABLE_INIT;

enum { kUninitialized = 0, kBeingInitialized = -1 };

// Returns with *guard == -1 when the caller is to run the initialisation,
// otherwise once another thread has finished it.
void __cdecl _Init_thread_header(int* guard) {
  AcquireSRWLockExclusive(&g_lock);
  while (*guard == kBeingInitialized) SleepConditionVariableSRW(&g_done, &g_lock, INFINITE, 0);
  if (*guard == kUninitialized) {
    *guard = kBeingInitialized;
  } else {
    _Init_thread_epoch = _Init_global_epoch;
  }
  ReleaseSRWLockExclusive(&g_lock);
}

void __cdecl _Init_thread_footer(int* guard) {
  AcquireSRWLockExclusive(&g_lock);
  ++_Init_global_epoch;
  *guard = _Init_global_epoch;
  _Init_thread_epoch = _Init_global_epoch;
  ReleaseSRWLockExclusive(&g_lock);
  WakeAllConditionVariable(&g_done);
}

// The initialisation threw: the next thread to arrive tries again.
void __cdecl _Init_thread_abort(int* guard) {
  AcquireSRWLockExclusive(&g_lock);
  *guard = kUninitialized;
  ReleaseSRWLockExclusive(&g_lock);
  WakeAllConditionVariable(&g_done);
}
