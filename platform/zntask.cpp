// Tasks: a thread running one asio::io_context, with a queue of posted calls.
//
// The posted calls live in a queue of our own rather than inside Asio's
// handler queue, so that a stop can destroy them at once (releasing their
// references) instead of leaving them in the reactor until it dies or runs
// again. Each PushTask also posts one drain token to the reactor; a token runs
// the oldest queued call, if any. Tokens are interchangeable and there are
// never fewer tokens than queued calls, so calls run in posting order and one
// at a time, interleaved with the timer and socket events of the same reactor.

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <typeinfo>
#include <utility>

#include "base/znplatform.h"
#include "base/zntask.h"
#include "platform/znreactor.h"
#include "platform/znthread.h"
#include "platform/znthreadid.h"
#include "platform/znthreadname.h"

namespace {

const char kLogTag[] = "znbase.task";
// Linux limits a thread name to 15 characters and the terminator.
constexpr size_t kMaxThreadNameLength = 15;
const char kDefaultTaskName[] = "ZNTask";

// Task starts still to be refused as if the system had no thread to give
// (zntask_failstarts); tests reach the failure path through it.
std::atomic<uint32_t> g_nFailStarts{0};

// The functions every task thread runs as it ends (zntask_atthreadexit), in
// order from the first slot; the filled slots come first. A thread runs them
// under g_exitHooksLock, so that a module that removes its function as it is
// unloaded (zntask_removethreadexit) waits for a run of it to end.
constexpr size_t kMaxThreadExitHooks = 8;
zntask_threadexit_t g_exitHooks[kMaxThreadExitHooks];
std::mutex g_exitHooksLock;

struct TaskCore;

// The task whose thread is the calling thread (not counted), and its core.
// Set by the task's thread when it starts; the task's destructor clears the
// task pointer when it runs on that thread.
thread_local CZNTaskBase* t_pCurrentTask = nullptr;
thread_local TaskCore* t_pCurrentCore = nullptr;

// The state shared by a task object, its thread, and every timer and socket
// that registered with its reactor. Owned through shared_ptr, so the reactor
// outlives the task object for as long as anything still uses it.
//
// Handlers queued in `ctx` must never hold a shared_ptr to this core (that
// would be a cycle through the reactor); they hold a plain pointer, which is
// safe because only `ctx` itself can run them.
struct TaskCore final {
  explicit TaskCore(std::string taskName) : name(std::move(taskName)) {}
  TaskCore(const TaskCore&) = delete;
  TaskCore& operator=(const TaskCore&) = delete;

  ~TaskCore() {
    // A task released from one of its own calls leaves its thread to whoever
    // lets go of the core last: the thread itself as it ends (it detaches), or
    // another thread after the loop has ended (the join returns at once).
    if (thread.Joinable()) {
      if (thread.IsCurrent()) {
        thread.Detach();
      } else {
        thread.Join();
      }
    }
  }

  // Runs the oldest queued call, if the task still accepts calls. The body of
  // a drain token: runs on the task's thread only.
  void RunOne() {
    std::optional<CScopeCall> call;
    {
      std::lock_guard<std::mutex> lock(mu);
      if (!accepting || queue.empty()) return;
      call.emplace(queue.front());
      queue.pop_front();
    }
    call->Run();
    // The copy dies here, on the task's thread, releasing its references.
    call.reset();
    std::lock_guard<std::mutex> lock(mu);
    ++ran;
    stateChanged.notify_all();
  }

  // Stops accepting calls and hands back the ones still queued, so that the
  // caller destroys them outside the lock. Caller holds mu.
  std::deque<CScopeCall> StopLocked() {
    accepting = false;
    threadId = 0;
    ++generation;
    ran += queue.size();  // dropped calls count as done for Waiting
    workGuard.reset();
    ctx.stop();
    stateChanged.notify_all();
    return std::move(queue);
  }

  const std::string name;  // the thread's name, as given to the task
  asio::io_context ctx;    // one reactor for the task's whole life, restarted by each Start

  std::mutex mu;  // guards every field below up to threadMu
  // True from Start until Stop: PushTask accepts calls only then.
  bool accepting = false;
  // znthread_selfid of the task's thread, reserved by Start before the thread
  // runs; 0 while not accepting.
  uint64_t threadId = 0;
  // The generation whose thread has run OnStart.
  uint64_t startedGeneration = 0;
  // Bumped by every Start and Stop, so a waiter can tell that the run it
  // waited on is over.
  uint64_t generation = 0;
  // Calls posted and not yet taken by a drain token; empty while not accepting.
  std::deque<CScopeCall> queue;
  // Calls ever queued, and calls run (or dropped) so far: queued - ran is the
  // queue plus the call running now.
  uint64_t queued = 0;
  uint64_t ran = 0;
  // Signalled when `ran`, `startedGeneration` or `generation` moves.
  std::condition_variable stateChanged;
  // Keeps run() waiting for work while the task accepts calls.
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> workGuard;
  // The object this core belongs to (borrowed); null once its destructor began.
  CZNTaskBase* owner = nullptr;

  // Guards `thread` (start, join, detach). Never taken by the task's thread
  // while it runs calls, so a stop that joins cannot deadlock with it.
  std::mutex threadMu;
  znplatform::NativeThread thread;
};

// The thread's body. Holds a reference to the core for as long as it runs, so
// that the reactor cannot die inside its own run() even when the task object
// is released from one of its calls. With hooks (a class that may override
// OnStart and OnStop), Start waits until OnStart has run, so the owner is
// alive and whole then; without them Start does not wait, and the thread
// never calls into the owner, which may already be on its way out.
struct ThreadStart {
  std::shared_ptr<TaskCore> core;  // the thread's own reference
  CZNTaskBase* owner;              // borrowed; touched only with hooks
  uint64_t generation;
  uint64_t threadId;
  bool hooks;
};

void TaskThreadMain(std::shared_ptr<TaskCore> core, CZNTaskBase* owner, uint64_t generation,
                    uint64_t threadId, bool hooks) {
  znplatform::AdoptThreadId(threadId);
  const std::string name = core->name.substr(0, kMaxThreadNameLength);
  znplatform::NameCurrentThread(name.c_str());
  t_pCurrentTask = owner;
  t_pCurrentCore = core.get();

  if (hooks) {
    owner->OnStart();
    std::lock_guard<std::mutex> lock(core->mu);
    if (core->generation == generation) core->startedGeneration = generation;
    core->stateChanged.notify_all();
  }
  core->ctx.run();

  CZNTaskBase* stillOwner = nullptr;
  if (hooks) {
    std::lock_guard<std::mutex> lock(core->mu);
    stillOwner = core->owner;
  }
  if (stillOwner && t_pCurrentTask == stillOwner) stillOwner->OnStop();
  t_pCurrentTask = nullptr;
  t_pCurrentCore = nullptr;
  std::lock_guard<std::mutex> lock(g_exitHooksLock);
  for (const zntask_threadexit_t fn : g_exitHooks) {
    if (!fn) break;
    fn();
  }
}

// The entry of a task's thread: takes the start record. The core may die on
// this thread as the record's reference goes.
void TaskThreadEntry(void* arg) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
  TaskThreadMain(std::move(start->core), start->owner, start->generation, start->threadId, start->hooks);
}

// Whether task may override the hooks: the library's own task classes leave
// them empty, so their threads need not call them.
bool MayHaveHooks(const CZNTaskBase& task) {
  const std::type_info& type = typeid(task);
  return type != typeid(CZNTaskIO) && type != typeid(CZNTaskWin) && type != typeid(CZNTaskBase);
}

}  // namespace

// The platform-owned part of a task object: one counted handle to the core.
struct CZNTaskBase::Impl final {
  explicit Impl(const char* name)
      : core(std::make_shared<TaskCore>(name && *name ? name : kDefaultTaskName)) {}
  std::shared_ptr<TaskCore> core;  // shared with the thread, timers and sockets; never null
};

namespace {

TaskCore* CoreOf(const CZNTaskBase* task) { return task->impl()->core.get(); }

// Gives the task object a core with the given thread name.
void RenameTask(CZNTaskBase* task, void** handle, const char* name) {
  delete task->impl();
  *handle = new CZNTaskBase::Impl(name);
  CoreOf(task)->owner = task;
}

// Stops the task, joining its thread unless the caller is that thread.
void StopCore(std::shared_ptr<TaskCore> core) {
  std::deque<CScopeCall> dropped;
  {
    std::lock_guard<std::mutex> lock(core->mu);
    if (core->accepting) dropped = core->StopLocked();
  }
  if (t_pCurrentCore != core.get()) {
    std::lock_guard<std::mutex> lock(core->threadMu);
    core->thread.Join();
  }
  // `dropped` is destroyed here, outside every lock: the calls never ran and
  // their destruction releases their holders and arguments.
}

// The first step of every task destructor: stop while the most derived
// overrides are still in place, so the thread never calls into a
// half-destroyed object.
void EndTask(const std::shared_ptr<TaskCore>& core) {
  {
    std::lock_guard<std::mutex> lock(core->mu);
    core->owner = nullptr;
  }
  StopCore(core);
}

}  // namespace

CZNTaskBase::CZNTaskBase() : m_pImpl(new Impl(nullptr)) { CoreOf(this)->owner = this; }

CZNTaskBase::~CZNTaskBase() {
  std::shared_ptr<TaskCore> core = impl()->core;
  EndTask(core);
  if (t_pCurrentCore == core.get()) {
    // Released from one of its own calls: the loop ends after this call and
    // the thread cannot join itself. It finishes on its own, holding the core
    // until then; the core settles the thread when it dies (a thread joining
    // this one meanwhile may hold threadMu, so the lock is not taken here).
    t_pCurrentTask = nullptr;
  }
  delete impl();
  m_pImpl = nullptr;
}

bool CZNTaskBase::Release() { return CRefCountSafe::Release(); }

// The number of posted calls waiting to run.
int64_t CZNTaskBase::Eachloop() {
  std::lock_guard<std::mutex> lock(CoreOf(this)->mu);
  return static_cast<int64_t>(CoreOf(this)->queue.size());
}

void CZNTaskBase::OnStart() {}

void CZNTaskBase::OnStop() {}

void CZNTaskBase::Runloop() {
  // The task's thread runs the reactor itself; there is no loop to lend to
  // another thread.
}

// Wakes the loop with an empty turn.
void CZNTaskBase::Signal() { asio::post(CoreOf(this)->ctx, [] {}); }

// Blocks the caller until every call posted before now has run, the task
// stopped, or ms milliseconds passed (negative: no limit). Returns at once on
// the task's own thread, where those calls could never run meanwhile.
void CZNTaskBase::Waiting(int64_t ms) {
  TaskCore* core = CoreOf(this);
  if (t_pCurrentCore == core) return;
  std::unique_lock<std::mutex> lock(core->mu);
  if (!core->accepting) return;
  const uint64_t target = core->queued;
  const uint64_t generation = core->generation;
  auto done = [&] { return core->generation != generation || core->ran >= target; };
  if (ms < 0) {
    core->stateChanged.wait(lock, done);
  } else {
    core->stateChanged.wait_for(lock, std::chrono::milliseconds(ms), done);
  }
}

bool CZNTaskBase::Start() {
  std::shared_ptr<TaskCore> core = impl()->core;
  if (t_pCurrentCore == core.get()) {
    znsyslog(1, kLogTag, __LINE__, "CZNTaskBase::Start task[%s] cannot restart from its own thread",
             core->name.c_str());
    return false;
  }
  std::lock_guard<std::mutex> threadLock(core->threadMu);
  uint64_t generation = 0;
  uint64_t threadId = 0;
  const bool hooks = MayHaveHooks(*this);
  {
    std::lock_guard<std::mutex> lock(core->mu);
    if (core->accepting) return false;
  }
  // A stop from the task's own thread leaves its thread to be joined here.
  core->thread.Join();
  {
    std::lock_guard<std::mutex> lock(core->mu);
    core->ctx.restart();
    core->workGuard.emplace(core->ctx.get_executor());
    core->accepting = true;
    threadId = znplatform::ReserveThreadId();
    core->threadId = threadId;
    generation = ++core->generation;
  }
  std::string error = "refused for a test";
  bool created = false;
  uint32_t failures = g_nFailStarts.load(std::memory_order_relaxed);
  while (failures > 0 && !g_nFailStarts.compare_exchange_weak(failures, failures - 1, std::memory_order_relaxed)) {
  }
  if (failures == 0) {
    ThreadStart* start = new ThreadStart{core, this, generation, threadId, hooks};
    created = core->thread.Start(&TaskThreadEntry, start, znplatform::kTaskStackReservation, error);
    if (!created) delete start;
  }
  if (!created) {
    znsyslog(1, kLogTag, __LINE__, "CZNTaskBase::Start task[%s] thread create fail [%s]", core->name.c_str(),
             error.c_str());
    std::deque<CScopeCall> dropped;
    {
      std::lock_guard<std::mutex> lock(core->mu);
      dropped = core->StopLocked();
    }
    return false;
  }
  // The id is known already. A class that may override OnStart gets it run
  // before Start returns; the library's own tasks do not wait for their new
  // thread to be scheduled, which under load takes longer than the rest of
  // the start.
  if (hooks) {
    std::unique_lock<std::mutex> lock(core->mu);
    core->stateChanged.wait(lock,
                            [&] { return core->startedGeneration == generation || core->generation != generation; });
  }
  return true;
}

void CZNTaskBase::Stop() { StopCore(impl()->core); }

bool CZNTaskBase::IsStarted() const {
  std::lock_guard<std::mutex> lock(CoreOf(this)->mu);
  return CoreOf(this)->accepting;
}

uint64_t CZNTaskBase::getthreadid() const {
  std::lock_guard<std::mutex> lock(CoreOf(this)->mu);
  return CoreOf(this)->threadId;
}

CZNTaskBase* CZNTaskBase::Current() { return t_pCurrentTask; }

bool zntask_atthreadexit(zntask_threadexit_t fn) {
  if (!fn) return false;
  std::lock_guard<std::mutex> lock(g_exitHooksLock);
  for (zntask_threadexit_t& hook : g_exitHooks) {
    if (hook == fn) return true;
    if (!hook) {
      hook = fn;
      return true;
    }
  }
  return false;
}

void zntask_removethreadexit(zntask_threadexit_t fn) {
  std::lock_guard<std::mutex> lock(g_exitHooksLock);
  zntask_threadexit_t* const end = std::remove(std::begin(g_exitHooks), std::end(g_exitHooks), fn);
  std::fill(end, std::end(g_exitHooks), nullptr);
}

void zntask_failstarts(uint32_t count) { g_nFailStarts.store(count, std::memory_order_relaxed); }

bool CZNTaskBase::PushTask(CZNTaskBase* task, const CScopeCall& call) {
  if (!task) return false;
  TaskCore* core = CoreOf(task);
  {
    std::lock_guard<std::mutex> lock(core->mu);
    if (!core->accepting) return false;
    core->queue.push_back(call);
    ++core->queued;
  }
  asio::post(core->ctx, [core] { core->RunOne(); });
  return true;
}

CZNTaskIO::CZNTaskIO(const char* name, int n, int priority) {
  // Only the name matters on this platform: the integer is reserved and the
  // priority is a hint that an ordinary thread does not take.
  (void)n;
  (void)priority;
  RenameTask(this, &m_pImpl, name);
}

CZNTaskIO::~CZNTaskIO() { EndTask(impl()->core); }

int64_t CZNTaskIO::Eachloop() { return CZNTaskBase::Eachloop(); }

void CZNTaskIO::Signal() { CZNTaskBase::Signal(); }

void CZNTaskIO::Waiting(int64_t ms) { CZNTaskBase::Waiting(ms); }

CZNTaskWin::CZNTaskWin(const char* name) { RenameTask(this, &m_pImpl, name); }

CZNTaskWin::~CZNTaskWin() { EndTask(impl()->core); }

void CZNTaskWin::OnStart() {}

void CZNTaskWin::OnStop() {}

namespace znplatform {

asio::io_context& TaskReactor(CZNTaskBase* task) { return CoreOf(task)->ctx; }

std::shared_ptr<asio::io_context> TaskReactorShared(CZNTaskBase* task) {
  if (!task) return nullptr;
  const std::shared_ptr<TaskCore>& core = task->impl()->core;
  return std::shared_ptr<asio::io_context>(core, &core->ctx);
}

std::shared_ptr<asio::io_context> CurrentReactorShared() { return TaskReactorShared(t_pCurrentTask); }

bool IsReactorThread(const asio::io_context& ctx) {
  return t_pCurrentCore != nullptr && &t_pCurrentCore->ctx == &ctx;
}

}  // namespace znplatform
