// Timers on the reactors of tasks.
//
// Each armed id has an entry with an arming serial and the time it is due.
// A zero-delay one-shot arming is a call posted to the reactor; every other
// arming is served by an asio::steady_timer wait. The posted call and the
// wait's handler run OnTimer only while the entry is still armed with what
// they serve: a kill or a re-arm changes or removes the entry, so a call or a
// wait that was already due when the kill happened does nothing.
//
// Re-arming is cheap on the reactor's own thread, because a connection re-arms
// its receive time-out for every piece it reads: a kill there leaves the wait
// in flight (the entry is kept, not armed), and a re-arm whose due time is not
// earlier than that wait's expiry keeps the wait; when it ends early it waits
// again for the rest. So the usual kill-and-re-arm costs neither an
// allocation nor a system call to reprogram the reactor's timer descriptor.
// From another thread the wait in flight cannot be touched (Asio timers are not
// thread-safe), so such an arming makes a new timer and cancels the old one
// on its reactor.
//
// The handlers reach the object through a state record shared with them
// (TimerState), never through the object itself; the object's destructor
// clears the state's owner, so the object may be destroyed at any point of its
// own OnTimer, and nothing touches it after OnTimer returns.
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "base/znplatform.h"
#include "base/zntimer.h"
#include "platform/znreactor.h"

namespace {

const char kLogTag[] = "znbase.timer";
// The id that KillTimer reads as "every timer of this object".
constexpr uint32_t kAllTimers = 0xFFFFFFFF;
const char kTimerThreadName[] = "ZNTimer";
// Serial of an entry that is kept only for its wait in flight: nothing armed.
constexpr uint64_t kNotArmed = 0;

using Clock = std::chrono::steady_clock;

// One id: armed, or kept only while its wait is in flight.
struct TimerEntry {
  // Keeps the reactor alive while the entry exists. Declared first so that it
  // is released after the timer below, which must not outlive its reactor.
  std::shared_ptr<asio::io_context> ctx;
  // The timer whose wait is in flight for this id, or null. Shared with that
  // wait's handler. Once made it is touched only on ctx's thread.
  std::shared_ptr<asio::steady_timer> timer;
  uint64_t waitSerial = 0;  // the wait in flight on timer; older waits are stale
  uint64_t serial = kNotArmed;  // the arming; unique within its TimerState
  Clock::time_point due;        // when the armed timer fires; the wait in flight
                                // never ends later than this (unless posted)
  std::chrono::milliseconds period{0};
  bool once = true;
  bool posted = false;  // a zero-delay one-shot: a posted call fires it, not the wait
};

// Shared by a timer object and the handlers of its pending waits and calls.
struct TimerState {
  std::mutex mu;  // guards every field below
  // The timer object (borrowed); null once its destructor began.
  CZNTimerBase* owner = nullptr;
  uint64_t lastSerial = 0;  // the serial given to the latest arming or wait
  std::map<uint32_t, TimerEntry> entries;
};

// What m_pTimerImpl points at: the object's counted handle to its state.
struct TimerHandle {
  std::shared_ptr<TimerState> state;
};

std::shared_ptr<TimerState>& StateOf(void* impl) { return static_cast<TimerHandle*>(impl)->state; }

// Stops an entry's wait. Off the reactor's thread the cancel travels there;
// the entry is gone already, which has made the wait harmless, the cancel only
// frees it early.
void CancelEntry(TimerEntry& entry) {
  if (!entry.timer) return;
  if (znplatform::IsReactorThread(*entry.ctx)) {
    entry.timer->cancel();
  } else {
    asio::post(*entry.ctx, [timer = entry.timer] { timer->cancel(); });
  }
}

void WaitFor(const std::shared_ptr<TimerState>& state, uint32_t id, uint64_t waitSerial,
             const std::shared_ptr<asio::steady_timer>& timer);

using EntryIt = std::map<uint32_t, TimerEntry>::iterator;

// The end of a wait or of a posted call for id, on the reactor's thread.
// Under the state's lock, settle decides what becomes of the entry: it
// returns whether the owner's callback is due, and moves an entry that ends
// here into its second argument. That entry is released outside the lock and
// before the callback, after which the owner may be gone.
template <typename Settle>
void Fire(const std::shared_ptr<TimerState>& state, uint32_t id, Settle settle) {
  CZNTimerBase* owner = nullptr;
  TimerEntry finished;
  {
    std::lock_guard<std::mutex> lock(state->mu);
    auto it = state->entries.find(id);
    if (!state->owner || it == state->entries.end()) return;
    if (settle(it, finished)) owner = state->owner;
  }
  finished = TimerEntry();
  if (owner) owner->OnTimer(id);
}

// A wait ended.
void OnWaitDone(const std::shared_ptr<TimerState>& state, uint32_t id, uint64_t waitSerial,
                const std::shared_ptr<asio::steady_timer>& timer, const std::error_code& ec) {
  if (ec) return;  // cancelled, or re-aimed at an earlier time by a re-arm
  Fire(state, id, [&](EntryIt it, TimerEntry& finished) {
    TimerEntry& entry = it->second;
    if (entry.timer != timer || entry.waitSerial != waitSerial) return false;  // a stale wait
    if (entry.serial == kNotArmed) {
      // Killed (or fired as a posted call) while this wait was in flight.
      finished = std::move(entry);
      state->entries.erase(it);
      return false;
    }
    if (entry.posted) {
      entry.timer.reset();  // the posted call serves the arming; the wait is idle
      return false;
    }
    if (Clock::now() < entry.due) {
      // Re-armed for later while this wait was in flight: wait for the rest.
      timer->expires_at(entry.due);
      entry.waitSerial = ++state->lastSerial;
      WaitFor(state, id, entry.waitSerial, timer);
      return false;
    }
    if (entry.once) {
      finished = std::move(entry);
      state->entries.erase(it);
      return true;
    }
    // Re-armed before the callback, so that the callback may kill or re-arm
    // it like any other armed timer.
    entry.due = Clock::now() + entry.period;
    timer->expires_at(entry.due);
    entry.waitSerial = ++state->lastSerial;
    WaitFor(state, id, entry.waitSerial, timer);
    return true;
  });
}

void WaitFor(const std::shared_ptr<TimerState>& state, uint32_t id, uint64_t waitSerial,
             const std::shared_ptr<asio::steady_timer>& timer) {
  timer->async_wait([state, id, waitSerial, timer](const std::error_code& ec) {
    OnWaitDone(state, id, waitSerial, timer, ec);
  });
}

// The posted call of a zero-delay one-shot arming.
void OnPostedDue(const std::shared_ptr<TimerState>& state, uint32_t id, uint64_t serial) {
  Fire(state, id, [&](EntryIt it, TimerEntry& finished) {
    if (!it->second.posted || it->second.serial != serial) return false;
    if (it->second.timer) {
      // A wait is still in flight: keep the entry, unarmed, for a re-arm to reuse.
      it->second.serial = kNotArmed;
      it->second.posted = false;
    } else {
      finished = std::move(it->second);
      state->entries.erase(it);
    }
    return true;
  });
}

// Arms (or re-arms) id on the reactor ctx.
bool Arm(void* impl, const std::shared_ptr<asio::io_context>& ctx, uint32_t ms, uint32_t id, bool once) {
  std::shared_ptr<TimerState>& state = StateOf(impl);
  const bool onReactor = znplatform::IsReactorThread(*ctx);
  const Clock::time_point due = Clock::now() + std::chrono::milliseconds(ms);
  TimerEntry replaced;
  {
    std::lock_guard<std::mutex> lock(state->mu);
    if (!state->owner) return false;
    TimerEntry& entry = state->entries[id];
    // The wait in flight can be reused only on its own reactor's thread.
    if (entry.timer && !(onReactor && entry.ctx == ctx)) {
      replaced = std::move(entry);
      entry = TimerEntry();
    }
    entry.ctx = ctx;
    entry.serial = ++state->lastSerial;
    entry.due = due;
    entry.period = std::chrono::milliseconds(ms);
    entry.once = once;
    entry.posted = once && ms == 0;
    if (entry.posted) {
      // Runs on a later turn of the loop, never inside this call.
      asio::post(*ctx, [state, id, serial = entry.serial] { OnPostedDue(state, id, serial); });
    } else if (!entry.timer || entry.timer->expiry() > due) {
      if (!entry.timer) entry.timer = std::make_shared<asio::steady_timer>(*ctx);
      // On a timer with a wait in flight this also aborts that wait.
      entry.timer->expires_at(due);
      entry.waitSerial = ++state->lastSerial;
      WaitFor(state, id, entry.waitSerial, entry.timer);
    }
    // Otherwise the wait in flight ends no later than due and waits on from there.
  }
  CancelEntry(replaced);
  return true;
}

void Kill(void* impl, uint32_t id) {
  std::shared_ptr<TimerState>& state = StateOf(impl);
  std::vector<TimerEntry> killed;
  {
    std::lock_guard<std::mutex> lock(state->mu);
    if (id == kAllTimers) {
      for (auto& item : state->entries) killed.push_back(std::move(item.second));
      state->entries.clear();
    } else {
      auto it = state->entries.find(id);
      if (it == state->entries.end()) return;
      TimerEntry& entry = it->second;
      if (entry.timer && znplatform::IsReactorThread(*entry.ctx)) {
        // Keep the wait in flight for the next arming of this id; its handler
        // finds nothing armed.
        entry.serial = kNotArmed;
        entry.posted = false;
        return;
      }
      killed.push_back(std::move(entry));
      state->entries.erase(it);
    }
  }
  // Outside the lock: dropping an entry may release the last hold on a
  // reactor, whose destruction destroys pending handlers.
  for (TimerEntry& entry : killed) CancelEntry(entry);
}

// Ends the object's part in its state: no callback reaches it any more, and
// every armed timer is killed.
void Disown(void* impl) {
  {
    std::shared_ptr<TimerState>& state = StateOf(impl);
    std::lock_guard<std::mutex> lock(state->mu);
    state->owner = nullptr;
  }
  Kill(impl, kAllTimers);
}

// The platform's timer thread for CZNTimer_MultiThread: started on first use,
// stopped and joined when the process ends its static objects.
class TimerThread final {
 public:
  TimerThread() : m_pTask(new CZNTaskIO(kTimerThreadName, 0, 0)) {
    if (!m_pTask->Start()) znsyslog(1, kLogTag, __LINE__, "timer thread start fail");
  }
  TimerThread(const TimerThread&) = delete;
  TimerThread& operator=(const TimerThread&) = delete;
  ~TimerThread() {
    m_pTask->Stop();
    m_pTask->Release();
  }
  CZNTaskBase* task() const { return m_pTask; }

 private:
  CZNTaskIO* m_pTask;  // counted reference, never null
};

CZNTaskBase* TimerThreadTask() {
  static TimerThread thread;
  return thread.task();
}

}  // namespace

CZNTimerBase::CZNTimerBase() : m_pTimerImpl(new TimerHandle{std::make_shared<TimerState>()}) {
  StateOf(m_pTimerImpl)->owner = this;
}

CZNTimerBase::~CZNTimerBase() {
  Disown(m_pTimerImpl);
  delete static_cast<TimerHandle*>(m_pTimerImpl);
  m_pTimerImpl = nullptr;
}

CZNTimer::CZNTimer(int n, CZNTaskBase* task) {
  (void)n;  // reserved
  SetTimerTask(task);
}

CZNTimer::~CZNTimer() {
  Disown(m_pTimerImpl);
  SetTimerTask(nullptr);
}

void CZNTimer::SetTimerTask(CZNTaskBase* task) {
  if (task) task->AddRef();
  CZNTaskBase* old = m_pTask;
  m_pTask = task;
  if (old) old->Release();
}

bool CZNTimer::SetTimer(uint32_t ms, uint32_t id, bool once) {
  CZNTaskBase* target = m_pTask ? m_pTask : CZNTaskBase::Current();
  if (!target || !target->IsStarted()) {
    znsyslog(1, kLogTag, __LINE__, "CZNTimer::SetTimer id[%u] has no running task", static_cast<unsigned>(id));
    return false;
  }
  return Arm(m_pTimerImpl, znplatform::TaskReactorShared(target), ms, id, once);
}

void CZNTimer::KillTimer(uint32_t id) { Kill(m_pTimerImpl, id); }

CZNTimer_MultiThread::CZNTimer_MultiThread() = default;

CZNTimer_MultiThread::~CZNTimer_MultiThread() { Disown(m_pTimerImpl); }

bool CZNTimer_MultiThread::SetTimer(uint32_t ms, uint32_t id, bool once) {
  CZNTaskBase* target = TimerThreadTask();
  if (!target->IsStarted()) {
    znsyslog(1, kLogTag, __LINE__, "CZNTimer_MultiThread::SetTimer id[%u] timer thread not running",
             static_cast<unsigned>(id));
    return false;
  }
  return Arm(m_pTimerImpl, znplatform::TaskReactorShared(target), ms, id, once);
}

void CZNTimer_MultiThread::KillTimer(uint32_t id) { Kill(m_pTimerImpl, id); }
