// Tasks: posting order, the thread calls run on, stops from inside and outside,
// what becomes of queued calls, restarts and self-release.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/znlock.h"
#include "base/znplatform.h"
#include "support/TestNet.h"
#include "support/TestOs.h"
#include "base/zntask.h"

namespace {

const int64_t kBoundMs = 5000;  // upper bound of every wait that must succeed

// The argument of a posted call: runs a function, and counts its own
// destruction so that a test sees every copy released.
class FnArg final : public CRefCountSafe {
 public:
  FnArg(std::function<void()> fn, std::atomic<int>* destroyed) : m_fn(std::move(fn)), m_pDestroyed(destroyed) {}
  ~FnArg() override {
    if (m_pDestroyed) ++*m_pDestroyed;
  }
  static int Trampoline(void* /*object*/, CRefCount* arg) {
    static_cast<FnArg*>(arg)->m_fn();
    return 0;
  }

 private:
  std::function<void()> m_fn;
  std::atomic<int>* m_pDestroyed;  // borrowed, may be null; outlives the argument
};

// Posts fn to task; the argument is released by the platform's copy.
bool Post(CZNTaskBase* task, std::function<void()> fn, std::atomic<int>* destroyed = nullptr) {
  FnArg* arg = new FnArg(std::move(fn), destroyed);
  CScopeCall call(nullptr, nullptr, &FnArg::Trampoline, arg);
  arg->Release();
  return CZNTaskBase::PushTask(task, call);
}

// Waits, bounded, until pred holds; pred must read atomics only.
bool WaitUntil(const std::function<bool()>& pred) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(ZnTaskTest, CallsRunInPostingOrderOnTheTaskThread) {
  CZNTaskIO* task = new CZNTaskIO("HttpClient", 50, 1);
  EXPECT_EQ(task->getthreadid(), 0u);
  ASSERT_TRUE(task->Start());
  EXPECT_FALSE(task->Start()) << "a second Start of a running task";
  const uint64_t taskThread = task->getthreadid();
  ASSERT_NE(taskThread, 0u);
  ASSERT_NE(taskThread, znthread_selfid());
  EXPECT_EQ(CZNTaskBase::Current(), nullptr);
  // Two producers; each one's calls must keep their relative order.
  const int kPerProducer = 2000, kBaseB = 100000;
  std::mutex mu;
  std::vector<int> seen;  // guarded by mu
  std::atomic<int> wrong{0}, inside{0};
  auto produce = [&](int base) {
    for (int i = 0; i < kPerProducer; ++i) {
      ASSERT_TRUE(Post(task, [&, v = base + i] {
        wrong += ++inside != 1 || znthread_selfid() != taskThread || CZNTaskBase::Current() != task;
        {
          std::lock_guard<std::mutex> lock(mu);
          seen.push_back(v);
        }
        --inside;
      }));
    }
  };
  std::thread a(produce, 0), b(produce, kBaseB);
  a.join();
  b.join();
  task->Waiting(kBoundMs);
  std::lock_guard<std::mutex> lock(mu);
  ASSERT_EQ(seen.size(), 2u * kPerProducer);
  int next[2] = {0, kBaseB};
  for (int v : seen) EXPECT_EQ(v, next[v >= kBaseB]++);
  EXPECT_EQ(wrong.load(), 0) << "a call overlapped another or ran off the task";
  task->Stop();
  EXPECT_FALSE(task->IsStarted());
  EXPECT_EQ(task->getthreadid(), 0u);
  task->Release();
}

// Armed by a call on a task's thread; its destructor runs when that thread
// ends, so a release that returns before then shows in the count.
struct ThreadEndSentinel {
  std::atomic<int>* ended = nullptr;
  ~ThreadEndSentinel() {
    if (ended) ++*ended;
  }
};
thread_local ThreadEndSentinel t_threadEnd;

// Every task thread reserves 1 MiB of stack, whatever the system or the host
// program would give by default.
TEST(ZnTaskTest, ThreadNameIsTheTaskNameCutTo15CharactersAndItsStackIsReserved) {
  const struct {
    const char* name;
    const char* expected;
    bool win;  // a window-message task runs calls like an I/O task
  } cases[] = {{"HttpClient", "HttpClient", false}, {"AVeryLongTaskNameIndeed", "AVeryLongTaskNa", false}, {"win", "win", true}};
  for (const auto& c : cases) {
    CZNTaskBase* task = c.win ? static_cast<CZNTaskBase*>(new CZNTaskWin(c.name)) : new CZNTaskIO(c.name, 0, 0);
    ASSERT_TRUE(task->Start());
    std::string name;
    uint64_t thread = 0;
    size_t stack = 0;
    // Static, so that a thread outliving the release still counts into live memory.
    static std::atomic<int> ended;
    ended = 0;
    ASSERT_TRUE(zntest::RunOn(task, [&] {
      name = zntest::CurrentThreadName();
      stack = zntest::CurrentThreadStackReservation();
      thread = znthread_selfid();
      t_threadEnd.ended = &ended;
    }));
    EXPECT_EQ(name, c.expected);
    EXPECT_GT(stack, 960u * 1024) << c.name;  // a guard page may come off the reservation
    EXPECT_LE(stack, 1024u * 1024) << c.name;
    EXPECT_EQ(thread, task->getthreadid());
    task->Release();  // the destructor stops and joins
    EXPECT_EQ(ended.load(), 1) << "the release returned while the task's thread still ran";
  }
}

// A task class of the host's: OnStart takes a while, so a Start that did not
// wait for it would return first. Stops in its destructor, as such classes must.
class HookedTask final : public CZNTaskIO {
 public:
  HookedTask() : CZNTaskIO("hooked", 0, 0) {}
  ~HookedTask() override { Stop(); }
  void OnStart() override {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    startedOn = znthread_selfid();
  }
  void OnStop() override { stoppedOn = znthread_selfid(); }
  std::atomic<uint64_t> startedOn{0}, stoppedOn{0};
};

// A host's hooks run on the task's thread, OnStart before Start returns, at
// every start; the library's own tasks have their thread's id at once, and
// one released right after its start goes cleanly.
TEST(ZnTaskTest, HooksAndTheThreadIdAreThereWhenStartReturns) {
  HookedTask* hooked = new HookedTask;
  for (int run = 0; run < 2; ++run) {
    ASSERT_TRUE(hooked->Start());
    EXPECT_NE(hooked->startedOn.load(), 0u);
    EXPECT_EQ(hooked->startedOn.load(), hooked->getthreadid());
    const uint64_t thread = hooked->getthreadid();
    hooked->Stop();
    EXPECT_EQ(hooked->stoppedOn.load(), thread);
    hooked->startedOn = 0;
  }
  hooked->Release();
  // (The thread name test checks that a call sees the id Start reported.)
  for (int i = 0; i < 50; ++i) {
    CZNTaskIO* task = new CZNTaskIO("shortlived", 0, 0);
    ASSERT_TRUE(task->Start());
    ASSERT_NE(task->getthreadid(), 0u);
    task->Release();
  }
}

TEST(ZnTaskTest, PushToNullUnstartedStoppedOrRefusedTaskFailsAndReleasesTheCopy) {
  CZNTaskIO* stopped = new CZNTaskIO("stopped", 0, 0);
  ASSERT_TRUE(stopped->Start());
  stopped->Stop();
  CZNTaskIO* unstarted = new CZNTaskIO("unstarted", 0, 0);
  // A thread the system refuses: Start says so, and the task stays unstarted.
  CZNTaskIO* refused = new CZNTaskIO("refused", 0, 0);
  zntask_failstarts(1);
  EXPECT_FALSE(refused->Start());
  EXPECT_FALSE(refused->IsStarted());
  EXPECT_EQ(refused->getthreadid(), 0u);
  for (CZNTaskBase* target : {static_cast<CZNTaskIO*>(nullptr), unstarted, stopped, refused}) {
    std::atomic<int> destroyed{0}, ran{0};
    EXPECT_FALSE(Post(target, [&] { ++ran; }, &destroyed));
    EXPECT_EQ(destroyed.load(), 1);  // the refused copy is gone already
    EXPECT_EQ(ran.load(), 0);
  }
  EXPECT_TRUE(refused->Start());  // the next start gets its thread
  stopped->Release();
  unstarted->Release();
  refused->Release();
}

TEST(ZnTaskTest, StopFromInsideACallEndsTheLoopAfterThatCallAndTheTaskRestarts) {
  CZNTaskIO* task = new CZNTaskIO("selfstop", 0, 0);
  ASSERT_TRUE(task->Start());
  CZNEvent gate(true, false);
  std::atomic<int> destroyed{0}, ranAfter{0};
  std::atomic<bool> stoppedInside{false}, pushAfterStop{true}, callFinished{false};
  ASSERT_TRUE(Post(task, [&] {
    gate.Wait(kBoundMs);  // hold the loop until the next calls are queued
    task->Stop();         // must return without joining its own thread
    stoppedInside = !task->IsStarted();
    pushAfterStop = Post(task, [&] { ++ranAfter; }, &destroyed);
    callFinished = true;
  }));
  const int kQueued = 5;
  for (int i = 0; i < kQueued; ++i) ASSERT_TRUE(Post(task, [&] { ++ranAfter; }, &destroyed));
  gate.Post();
  ASSERT_TRUE(WaitUntil([&] { return callFinished.load(); }));
  EXPECT_TRUE(stoppedInside.load());
  EXPECT_FALSE(pushAfterStop.load());
  // Queued calls are destroyed without running, the refused one at once.
  ASSERT_TRUE(WaitUntil([&] { return destroyed.load() == kQueued + 1; }));
  task->Stop();  // joins the finished thread
  EXPECT_EQ(ranAfter.load(), 0);
  // The same object can run again; its thread was joined by this Start.
  ASSERT_TRUE(task->Start());
  EXPECT_TRUE(zntest::RunOn(task, [] {}));
  EXPECT_EQ(ranAfter.load(), 0) << "a call dropped by the stop ran after the restart";
  task->Release();
}

TEST(ZnTaskTest, StopOrLastReleaseFromAnotherThreadDestroysQueuedCallsWithoutRunningThem) {
  for (const bool release : {false, true}) {
    SCOPED_TRACE(release ? "last Release" : "Stop");
    CZNTaskIO* task = new CZNTaskIO("extstop", 0, 0);
    ASSERT_TRUE(task->Start());
    CZNEvent entered(true, false), gate(true, false);
    std::atomic<int> destroyed{0}, ranAfter{0};
    ASSERT_TRUE(Post(task, [&] {
      entered.Post();
      gate.Wait(kBoundMs);
    }));
    const int kQueued = 8;
    for (int i = 0; i < kQueued; ++i) ASSERT_TRUE(Post(task, [&] { ++ranAfter; }, &destroyed));
    ASSERT_TRUE(entered.Wait(kBoundMs));
    std::atomic<bool> returned{false};
    std::thread stopper([&] {
      release ? (void)task->Release() : task->Stop();
      returned = true;
    });
    // The stop takes effect at once; the join waits for the running call (so
    // the object is still there to ask).
    ASSERT_TRUE(WaitUntil([&] { return !task->IsStarted(); }));
    EXPECT_FALSE(returned.load());
    gate.Post();
    stopper.join();
    EXPECT_EQ(ranAfter.load(), 0);
    EXPECT_EQ(destroyed.load(), kQueued);
    if (!release) task->Release();
  }
}

TEST(ZnTaskTest, EveryCallRunsOrIsReleasedWhenStopRacesPosting) {
  for (int round = 0; round < 20; ++round) {
    CZNTaskIO* task = new CZNTaskIO("race", 0, 0);
    ASSERT_TRUE(task->Start());
    std::atomic<int> destroyed{0}, ran{0}, accepted{0};
    const int kCalls = 200;
    std::thread producer([&] {
      for (int i = 0; i < kCalls; ++i) accepted += Post(task, [&] { ++ran; }, &destroyed);
    });
    task->Stop();
    producer.join();
    task->Release();
    EXPECT_EQ(destroyed.load(), kCalls) << "a call record leaked";
    EXPECT_LE(ran.load(), accepted.load());
  }
}

TEST(ZnTaskTest, ReleasingTheLastReferenceFromTheTaskThreadDoesNotDeadlock) {
  CZNTaskIO* task = new CZNTaskIO("selfrelease", 0, 0);
  ASSERT_TRUE(task->Start());
  std::atomic<int> destroyed{0};
  std::atomic<bool> released{false}, currentCleared{false};
  // The call holds the only reference from here on. It waits until the second
  // call is queued: once it has released the task, nothing may post to it.
  CZNEvent queued(true, false);
  ASSERT_TRUE(Post(task, [&] {
    queued.Wait(kBoundMs);
    task->Release();
    currentCleared = CZNTaskBase::Current() == nullptr;
    released = true;
  }));
  ASSERT_TRUE(Post(task, [] {}, &destroyed));
  queued.Post();
  ASSERT_TRUE(WaitUntil([&] { return released.load(); }));
  EXPECT_TRUE(currentCleared.load());
  EXPECT_TRUE(WaitUntil([&] { return destroyed.load() == 1; }));  // dropped by the destructor's stop
}

}  // namespace
