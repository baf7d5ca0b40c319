// Timers of a task.
//
// A timer fires on the task set by SetTimerTask; without one, on the task of
// the thread that armed it (arming on a thread that is no task's fails).
// SetTimer(ms, id, once): once fires a single time (0 ms means the next turn of
// the loop, never inside the call); otherwise it repeats every period until
// killed. After KillTimer returns on the timer's own thread, that timer's
// callback does not run, even if it was due. Destroying the object kills all of
// its timers; the owner may destroy it from inside OnTimer.
//
// Thread safety: arm, kill and destroy on the task's thread. Arming and killing
// from another thread work too, but then a callback already due may still run;
// destroying from another thread is safe only while no callback can run (the
// task stopped, or nothing armed).
#pragma once

#include "base/zntask.h"

class ZNBASE_API CZNTimerBase {
 public:
  CZNTimerBase();
  CZNTimerBase(const CZNTimerBase&) = delete;
  CZNTimerBase& operator=(const CZNTimerBase&) = delete;
  virtual void OnTimer(unsigned int id) = 0;
  virtual ~CZNTimerBase();

 protected:
  void* m_pTimerImpl;  // platform-owned: the armed timers of this object
};

class ZNBASE_API CZNTimer : public CZNTimerBase {
 public:
  explicit CZNTimer(int n = 0, CZNTaskBase* task = nullptr);
  ~CZNTimer() override;
  // Takes a counted reference to the task (null detaches) and releases the old one.
  void SetTimerTask(CZNTaskBase* task);
  CZNTaskBase* GetTimerTask() const { return m_pTask; }
  bool SetTimer(uint32_t ms, uint32_t id, bool once);
  // id −1 (0xFFFFFFFF) kills all of this object's timers.
  void KillTimer(uint32_t id);

 protected:
  CZNTaskBase* m_pTask = nullptr;  // counted reference, may be null
};

// A timer whose callbacks run on the platform's own timer thread.
class ZNBASE_API CZNTimer_MultiThread : public CZNTimerBase {
 public:
  CZNTimer_MultiThread();
  ~CZNTimer_MultiThread() override;
  bool SetTimer(uint32_t ms, uint32_t id, bool once);
  void KillTimer(uint32_t id);
};
