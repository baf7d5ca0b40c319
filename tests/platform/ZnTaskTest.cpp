// Tasks: posting order, the thread calls run on, stops from inside and outside,
// what becomes of queued calls, restarts and self-release.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/znlock.h"
#include "base/znplatform.h"
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

// Waits, with a bound, until pred holds; pred is read under no lock, so it
// must read atomics only.
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
  EXPECT_FALSE(task->IsStarted());
  ASSERT_TRUE(task->Start());
  EXPECT_FALSE(task->Start()) << "a second Start of a running task";
  ASSERT_TRUE(task->IsStarted());
  const uint64_t taskThread = task->getthreadid();
  ASSERT_NE(taskThread, 0u);
  ASSERT_NE(taskThread, znthread_selfid());
  EXPECT_EQ(CZNTaskBase::Current(), nullptr);

  // Two producers; each one's calls must keep their relative order.
  const int kPerProducer = 2000;
  std::mutex mu;
  std::vector<int> seen;
  std::atomic<int> wrongThread{0};
  std::atomic<int> wrongCurrent{0};
  std::atomic<int> inside{0};
  std::atomic<int> overlapped{0};
  auto produce = [&](int base) {
    for (int i = 0; i < kPerProducer; ++i) {
      ASSERT_TRUE(Post(task, [&, v = base + i] {
        if (++inside != 1) ++overlapped;
        if (znthread_selfid() != taskThread) ++wrongThread;
        if (CZNTaskBase::Current() != task) ++wrongCurrent;
        {
          std::lock_guard<std::mutex> lock(mu);
          seen.push_back(v);
        }
        --inside;
      }));
    }
  };
  std::thread a(produce, 0);
  std::thread b(produce, 100000);
  a.join();
  b.join();
  task->Waiting(kBoundMs);

  std::lock_guard<std::mutex> lock(mu);
  ASSERT_EQ(seen.size(), 2u * kPerProducer);
  int nextA = 0;
  int nextB = 100000;
  for (int v : seen) {
    if (v < 100000) {
      EXPECT_EQ(v, nextA++);
    } else {
      EXPECT_EQ(v, nextB++);
    }
  }
  EXPECT_EQ(wrongThread.load(), 0);
  EXPECT_EQ(wrongCurrent.load(), 0);
  EXPECT_EQ(overlapped.load(), 0);
  task->Stop();
  EXPECT_FALSE(task->IsStarted());
  EXPECT_EQ(task->getthreadid(), 0u);
  task->Release();
}

TEST(ZnTaskTest, ThreadNameIsTheTaskNameCutTo15Characters) {
  const struct {
    const char* name;
    const char* expected;
  } cases[] = {
      {"HttpClient", "HttpClient"},
      {"AVeryLongTaskNameIndeed", "AVeryLongTaskNa"},
  };
  for (const auto& c : cases) {
    CZNTaskIO* task = new CZNTaskIO(c.name, 0, 0);
    ASSERT_TRUE(task->Start());
    std::string name;
    CZNEvent done(true, false);
    ASSERT_TRUE(Post(task, [&] {
      char buf[32] = {};
      pthread_getname_np(pthread_self(), buf, sizeof(buf));
      name = buf;
      done.Post();
    }));
    ASSERT_TRUE(done.Wait(kBoundMs));
    EXPECT_EQ(name, c.expected);
    task->Release();  // the destructor stops and joins
  }
}

TEST(ZnTaskTest, PushToNullUnstartedOrStoppedTaskFailsAndReleasesTheCopy) {
  CZNTaskIO* stopped = new CZNTaskIO("stopped", 0, 0);
  ASSERT_TRUE(stopped->Start());
  stopped->Stop();
  CZNTaskIO* unstarted = new CZNTaskIO("unstarted", 0, 0);
  CZNTaskBase* targets[] = {nullptr, unstarted, stopped};
  for (CZNTaskBase* target : targets) {
    std::atomic<int> destroyed{0};
    std::atomic<int> ran{0};
    EXPECT_FALSE(Post(target, [&] { ++ran; }, &destroyed));
    // Post released its own reference; the refused copy must be gone already.
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(ran.load(), 0);
  }
  stopped->Release();
  unstarted->Release();
}

TEST(ZnTaskTest, StopFromInsideACallEndsTheLoopAfterThatCall) {
  CZNTaskIO* task = new CZNTaskIO("selfstop", 0, 0);
  ASSERT_TRUE(task->Start());
  CZNEvent gate(true, false);
  std::atomic<int> destroyed{0};
  std::atomic<int> ranAfter{0};
  std::atomic<bool> stoppedInside{false};
  std::atomic<bool> pushAfterStop{true};
  std::atomic<bool> callFinished{false};
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
  EXPECT_EQ(destroyed.load(), kQueued + 1);

  // The same object can run again; its thread was joined by this Start.
  ASSERT_TRUE(task->Start());
  CZNEvent ran(true, false);
  ASSERT_TRUE(Post(task, [&] { ran.Post(); }));
  EXPECT_TRUE(ran.Wait(kBoundMs));
  EXPECT_EQ(ranAfter.load(), 0) << "a call dropped by the stop ran after the restart";
  task->Release();
}

TEST(ZnTaskTest, StopFromAnotherThreadDestroysQueuedCallsWithoutRunningThem) {
  CZNTaskIO* task = new CZNTaskIO("extstop", 0, 0);
  ASSERT_TRUE(task->Start());
  CZNEvent entered(true, false);
  CZNEvent gate(true, false);
  std::atomic<int> destroyed{0};
  std::atomic<int> ranAfter{0};
  ASSERT_TRUE(Post(task, [&] {
    entered.Post();
    gate.Wait(kBoundMs);
  }));
  const int kQueued = 8;
  for (int i = 0; i < kQueued; ++i) ASSERT_TRUE(Post(task, [&] { ++ranAfter; }, &destroyed));
  ASSERT_TRUE(entered.Wait(kBoundMs));
  std::atomic<bool> stopReturned{false};
  std::thread stopper([&] {
    task->Stop();
    stopReturned = true;
  });
  // The stop takes effect at once; the join waits for the running call.
  ASSERT_TRUE(WaitUntil([&] { return !task->IsStarted(); }));
  EXPECT_FALSE(stopReturned.load());
  gate.Post();
  stopper.join();
  EXPECT_EQ(ranAfter.load(), 0);
  EXPECT_EQ(destroyed.load(), kQueued);
  task->Release();
}

TEST(ZnTaskTest, EveryCallRunsOrIsReleasedWhenStopRacesPosting) {
  for (int round = 0; round < 20; ++round) {
    CZNTaskIO* task = new CZNTaskIO("race", 0, 0);
    ASSERT_TRUE(task->Start());
    std::atomic<int> destroyed{0};
    std::atomic<int> ran{0};
    std::atomic<int> accepted{0};
    const int kCalls = 200;
    std::thread producer([&] {
      for (int i = 0; i < kCalls; ++i) {
        if (Post(task, [&] { ++ran; }, &destroyed)) ++accepted;
      }
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
  std::atomic<bool> released{false};
  std::atomic<bool> currentCleared{false};
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
  // The call queued behind it is dropped by the destructor's stop.
  EXPECT_TRUE(WaitUntil([&] { return destroyed.load() == 1; }));
}

TEST(ZnTaskTest, DestructorStopsARunningTaskAndReleasesItsQueue) {
  std::atomic<int> destroyed{0};
  CZNEvent gate(true, false);
  CZNEvent entered(true, false);
  CZNTaskIO* task = new CZNTaskIO("dtor", 0, 0);
  ASSERT_TRUE(task->Start());
  ASSERT_TRUE(Post(task, [&] {
    entered.Post();
    gate.Wait(kBoundMs);
  }));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Post(task, [] {}, &destroyed));
  ASSERT_TRUE(entered.Wait(kBoundMs));
  std::thread opener([&] {
    // Opened once the destructor's stop has taken effect; the destructor is
    // then joining the running call, so the object is still there to ask.
    WaitUntil([&] { return !task->IsStarted(); });
    gate.Post();
  });
  task->Release();
  opener.join();
  EXPECT_EQ(destroyed.load(), 3);
}

TEST(ZnTaskTest, WinTaskRunsCallsLikeAnIoTask) {
  CZNTaskWin* task = new CZNTaskWin("win");
  ASSERT_TRUE(task->Start());
  CZNEvent ran(true, false);
  std::atomic<uint64_t> thread{0};
  ASSERT_TRUE(Post(task, [&] {
    thread = znthread_selfid();
    ran.Post();
  }));
  ASSERT_TRUE(ran.Wait(kBoundMs));
  EXPECT_EQ(thread.load(), task->getthreadid());
  task->Release();
}

}  // namespace
