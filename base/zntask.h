// Tasks: a thread with a queue of posted calls, and its timers and sockets.
//
// Posted calls run one at a time, in posting order, on the task's thread;
// timers and socket events of the task run on the same thread and never at the
// same time as a posted call. Stop() from another thread stops the loop and
// joins the thread; Stop() from the task's own thread asks the loop to end
// after the current call and returns. Calls still queued when a task stops are
// destroyed without running (their destruction releases their references).
//
// Tasks are reference-counted (CRefCountSafe) and may be shared across threads;
// every member may be called from any thread. Releasing the last reference
// from one of the task's own calls is allowed: the loop ends after that call
// and the thread finishes on its own. A stopped task may be started again.
// Subclasses that override the hooks stop the task in their own destructor.
#pragma once

#include "base/znrefcount.h"

class ZNBASE_API CZNTaskBase : public CRefCountSafe {
 public:
  CZNTaskBase();
  ~CZNTaskBase() override;
  bool Release() override;

  // The number of posted calls waiting to run.
  virtual int64_t Eachloop();
  // Hooks run on the task's thread: OnStart before its first call, OnStop
  // after its last one, unless the object is being destroyed by then. For a
  // class derived from the task classes, Start returns after OnStart; the
  // task classes themselves leave the hooks empty, and Start does not wait
  // for their thread to run.
  virtual void OnStart();
  virtual void OnStop();
  // Does nothing: the task's thread runs its own loop.
  virtual void Runloop();
  // Wakes the loop for an empty turn.
  virtual void Signal();
  // Blocks until the calls posted before it have run, the task stops, or ms
  // milliseconds pass (negative: no limit). Returns at once on the task's
  // own thread.
  virtual void Waiting(int64_t ms);

  // Starts the thread, with a stack reservation of 1 MiB on every system;
  // false when it is already started or the system refuses the thread (then
  // logged at level 1, and the task takes no calls).
  bool Start();
  void Stop();
  bool IsStarted() const;
  // Id (znthread_selfid) of the task's thread; 0 while not started.
  uint64_t getthreadid() const;
  // The task whose thread is the calling thread, or null (not counted).
  static CZNTaskBase* Current();

  // Queues a copy of the call to run on the task's thread. False when the task
  // is null or not running; the copy is then destroyed at once.
  static bool PushTask(CZNTaskBase* task, const CScopeCall& call);

  // The platform-owned handle.
  operator void**() { return &m_pImpl; }

  struct Impl;
  Impl* impl() const { return static_cast<Impl*>(m_pImpl); }

 protected:
  void* m_pImpl;  // platform-owned state: queue, reactor, thread
};

// Registers fn to run on every task thread as it ends, after its last call:
// for a library that keeps state per thread which nothing else frees when a
// thread ends (a statically linked OpenSSL on Windows). A function registered
// twice runs once; room for 8, false when full or fn is null.
typedef void (*zntask_threadexit_t)();
ZNBASE_API bool zntask_atthreadexit(zntask_threadexit_t fn);
// Takes fn back, once no thread runs it: for a library being unloaded.
ZNBASE_API void zntask_removethreadexit(zntask_threadexit_t fn);

// For tests: the next count task starts fail as when the system refuses a
// thread (Start logs and returns false). 0 ends it.
ZNBASE_API void zntask_failstarts(uint32_t count);

class ZNBASE_API CZNTaskIO : public CZNTaskBase {
 public:
  // name: the thread's name; n: reserved; priority: a scheduling hint.
  CZNTaskIO(const char* name, int n, int priority);
  ~CZNTaskIO() override;
  int64_t Eachloop() override;
  void Signal() override;
  void Waiting(int64_t ms) override;

 private:
  uintptr_t m_nWord = 0;  // platform-owned
};

class ZNBASE_API CZNTaskWin : public CZNTaskBase {
 public:
  explicit CZNTaskWin(const char* name);
  ~CZNTaskWin() override;
  void OnStart() override;
  void OnStop() override;
};
