// Timers on the reactors of tasks.
//
// Each armed id owns one asio::steady_timer on the reactor of the task it
// fires on, and an arming serial. The wait's handler carries the serial it was
// armed with and runs OnTimer only while the object's entry for that id still
// carries the same serial: a kill or a re-arm replaces or removes the entry,
// so a wait that was already due when the kill happened finds a different
// serial (or none) and does nothing.
//
// The handler reaches the object through a state record shared with it
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

// One armed id.
struct TimerEntry {
  // Keeps the reactor alive while armed. Declared first so that it is
  // released after the timer below, which must not outlive its reactor.
  std::shared_ptr<asio::io_context> ctx;
  std::shared_ptr<asio::steady_timer> timer;  // shared with the pending wait's handler
  uint64_t serial = 0;                        // unique within its TimerState
  std::chrono::milliseconds period{0};
  bool once = true;
};

// Shared by a timer object and the handlers of its pending waits.
struct TimerState {
  std::mutex mu;  // guards every field below
  // The timer object (borrowed); null once its destructor began.
  CZNTimerBase* owner = nullptr;
  uint64_t lastSerial = 0;  // the serial given to the latest arming
  std::map<uint32_t, TimerEntry> entries;  // the armed ids
};

// What m_pTimerImpl points at: the object's counted handle to its state.
struct TimerHandle {
  std::shared_ptr<TimerState> state;
};

std::shared_ptr<TimerState>& StateOf(void* impl) { return static_cast<TimerHandle*>(impl)->state; }

// Stops an entry's wait. Asio timers are not safe to touch from two threads,
// so off the reactor's thread the cancel travels there; the serial check has
// already made the wait harmless, the cancel only frees it early.
void CancelEntry(TimerEntry& entry) {
  if (!entry.timer) return;
  if (znplatform::IsReactorThread(*entry.ctx)) {
    entry.timer->cancel();
  } else {
    asio::post(*entry.ctx, [timer = entry.timer] { timer->cancel(); });
  }
}

void WaitFor(const std::shared_ptr<TimerState>& state, uint32_t id, uint64_t serial,
             const std::shared_ptr<asio::steady_timer>& timer);

// A wait of (id, serial) ended; runs on the reactor's thread.
void OnWaitDone(const std::shared_ptr<TimerState>& state, uint32_t id, uint64_t serial,
                const std::shared_ptr<asio::steady_timer>& timer, const std::error_code& ec) {
  if (ec) return;  // cancelled: the entry was killed or replaced
  CZNTimerBase* owner = nullptr;
  TimerEntry finished;
  {
    std::lock_guard<std::mutex> lock(state->mu);
    owner = state->owner;
    if (!owner) return;
    auto it = state->entries.find(id);
    if (it == state->entries.end() || it->second.serial != serial) return;
    if (it->second.once) {
      finished = std::move(it->second);
      state->entries.erase(it);
    } else {
      // Re-armed before the callback, so that the callback may kill or
      // re-arm it like any other armed timer.
      timer->expires_after(it->second.period);
      WaitFor(state, id, serial, timer);
    }
  }
  // Released before the callback: after it the object may be gone.
  finished = TimerEntry();
  owner->OnTimer(id);
}

void WaitFor(const std::shared_ptr<TimerState>& state, uint32_t id, uint64_t serial,
             const std::shared_ptr<asio::steady_timer>& timer) {
  timer->async_wait([state, id, serial, timer](const std::error_code& ec) {
    OnWaitDone(state, id, serial, timer, ec);
  });
}

// Arms (or re-arms) id on the reactor ctx.
bool Arm(void* impl, const std::shared_ptr<asio::io_context>& ctx, uint32_t ms, uint32_t id, bool once) {
  std::shared_ptr<TimerState>& state = StateOf(impl);
  auto timer = std::make_shared<asio::steady_timer>(*ctx);
  // A zero delay is an expired timer: Asio completes it on a later turn of
  // the loop, never inside this call.
  timer->expires_after(std::chrono::milliseconds(ms));
  TimerEntry replaced;
  {
    std::lock_guard<std::mutex> lock(state->mu);
    if (!state->owner) return false;
    TimerEntry& entry = state->entries[id];
    replaced = std::move(entry);
    entry.ctx = ctx;
    entry.timer = timer;
    entry.serial = ++state->lastSerial;
    entry.period = std::chrono::milliseconds(ms);
    entry.once = once;
    WaitFor(state, id, entry.serial, timer);
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
      killed.push_back(std::move(it->second));
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
