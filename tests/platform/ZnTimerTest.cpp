// Timers: one-shot and repeating schedules, zero delay, kills (of due timers,
// from inside the callback), destruction inside the callback, the task a timer
// fires on, and the platform's timer thread.
//
// "Did not fire" is never concluded from elapsed time alone: each such check
// arms a sentinel timer on the same task, due after the timer under test, and
// waits for the sentinel. Timers of one task fire in the order they fall due.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "base/znlock.h"
#include "base/znplatform.h"
#include "base/zntimer.h"

namespace {

const int64_t kBoundMs = 5000;   // upper bound of every wait that must succeed
const uint32_t kSentinelId = 999;

// Posts fn to task as a call record.
class FnArg final : public CRefCountSafe {
 public:
  explicit FnArg(std::function<void()> fn) : m_fn(std::move(fn)) {}
  static int Trampoline(void* /*object*/, CRefCount* arg) {
    static_cast<FnArg*>(arg)->m_fn();
    return 0;
  }

 private:
  std::function<void()> m_fn;
};

bool Post(CZNTaskBase* task, std::function<void()> fn) {
  FnArg* arg = new FnArg(std::move(fn));
  CScopeCall call(nullptr, nullptr, &FnArg::Trampoline, arg);
  arg->Release();
  return CZNTaskBase::PushTask(task, call);
}

// Runs fn on the task's thread and waits for it.
void RunOn(CZNTaskBase* task, const std::function<void()>& fn) {
  CZNEvent done(true, false);
  ASSERT_TRUE(Post(task, [&] {
    fn();
    done.Post();
  }));
  ASSERT_TRUE(done.Wait(kBoundMs));
}

// Records every firing (id and thread) and lets a test react inside OnTimer.
// Used on its task's thread; the record is guarded for the test thread.
class RecordingTimer : public CZNTimer {
 public:
  explicit RecordingTimer(CZNTaskBase* task = nullptr) : CZNTimer(0, task) {}

  void OnTimer(unsigned int id) override {
    {
      std::lock_guard<std::mutex> lock(m_mu);
      m_fired.push_back(id);
      m_threads.push_back(znthread_selfid());
    }
    if (id == kSentinelId) {
      m_sentinel.Post();  // the waiter may destroy this object: nothing follows
      return;
    }
    std::function<void(unsigned)> hook;
    {
      std::lock_guard<std::mutex> lock(m_mu);
      hook = m_hook;
    }
    if (hook) hook(id);  // may delete this object: nothing follows
  }

  void SetHook(std::function<void(unsigned)> hook) {
    std::lock_guard<std::mutex> lock(m_mu);
    m_hook = std::move(hook);
  }
  int Count(unsigned id) {
    std::lock_guard<std::mutex> lock(m_mu);
    int n = 0;
    for (unsigned v : m_fired) n += v == id;
    return n;
  }
  std::vector<uint64_t> Threads() {
    std::lock_guard<std::mutex> lock(m_mu);
    return m_threads;
  }
  // Arms the sentinel (from the task's thread) and waits until it fired.
  bool AwaitSentinel(CZNTaskBase* task, uint32_t ms) {
    bool armed = false;
    RunOn(task, [&] { armed = SetTimer(ms, kSentinelId, true); });
    return armed && m_sentinel.Wait(kBoundMs);
  }

 private:
  std::mutex m_mu;  // guards the fields below
  std::vector<unsigned> m_fired;
  std::vector<uint64_t> m_threads;
  std::function<void(unsigned)> m_hook;
  CZNEvent m_sentinel{false, false};
};

class ZnTimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_pTask = new CZNTaskIO("timers", 0, 0);
    ASSERT_TRUE(m_pTask->Start());
  }
  void TearDown() override { m_pTask->Release(); }

  CZNTaskIO* m_pTask = nullptr;  // counted reference
};

TEST_F(ZnTimerTest, OneShotFiresOnceAndRepeatingFiresUntilKilledInsideItsCallback) {
  const struct {
    bool once;
    int killAt;  // the firing count at which the callback kills it (0: never)
    int expected;
  } cases[] = {
      {true, 0, 1},
      {false, 3, 3},
      {false, 1, 1},
  };
  for (const auto& c : cases) {
    RecordingTimer timer(m_pTask);
    std::atomic<int> fired{0};
    CZNEvent enough(true, false);
    timer.SetHook([&](unsigned id) {
      if (id != 1) return;
      const int n = ++fired;
      if (n == c.killAt) timer.KillTimer(1);
      if (n == c.expected) enough.Post();
    });
    ASSERT_TRUE(timer.SetTimer(5, 1, c.once));
    ASSERT_TRUE(enough.Wait(kBoundMs));
    // Well after another period of 5 ms would have fired it again.
    ASSERT_TRUE(timer.AwaitSentinel(m_pTask, 60));
    EXPECT_EQ(timer.Count(1), c.expected) << "once=" << c.once << " killAt=" << c.killAt;
    for (uint64_t t : timer.Threads()) EXPECT_EQ(t, m_pTask->getthreadid());
  }
}

TEST_F(ZnTimerTest, ZeroDelayRunsOnALaterTurnNeverInsideTheCall) {
  RecordingTimer timer;
  std::atomic<bool> callDone{false};
  std::atomic<bool> firedInside{false};
  CZNEvent fired(true, false);
  timer.SetHook([&](unsigned id) {
    if (id != 1) return;
    if (!callDone) firedInside = true;
    fired.Post();
  });
  ASSERT_TRUE(Post(m_pTask, [&] {
    EXPECT_TRUE(timer.SetTimer(0, 1, true));
    EXPECT_EQ(timer.Count(1), 0);
    callDone = true;
  }));
  ASSERT_TRUE(fired.Wait(kBoundMs));
  EXPECT_FALSE(firedInside.load());
  RunOn(m_pTask, [&] { timer.KillTimer(0xFFFFFFFF); });
}

TEST_F(ZnTimerTest, KillOrReArmOfADueTimerOnItsThreadPreventsTheCallback) {
  enum Action { kKillOne, kKillAll, kReArmLater };
  const Action actions[] = {kKillOne, kKillAll, kReArmLater};
  for (Action action : actions) {
    RecordingTimer timer;
    RunOn(m_pTask, [&] {
      ASSERT_TRUE(timer.SetTimer(1, 1, true));
      ASSERT_TRUE(timer.SetTimer(1, 2, false));
      // Block this call until both are certainly due.
      CZNEvent never(true, false);
      EXPECT_FALSE(never.Wait(20));
      switch (action) {
        case kKillOne:
          timer.KillTimer(1);
          timer.KillTimer(2);
          break;
        case kKillAll:
          timer.KillTimer(0xFFFFFFFF);
          break;
        case kReArmLater:
          // A new schedule replaces the due one.
          ASSERT_TRUE(timer.SetTimer(100000, 1, true));
          ASSERT_TRUE(timer.SetTimer(100000, 2, false));
          break;
      }
    });
    ASSERT_TRUE(timer.AwaitSentinel(m_pTask, 30));
    EXPECT_EQ(timer.Count(1), 0) << "action " << action;
    EXPECT_EQ(timer.Count(2), 0) << "action " << action;
    RunOn(m_pTask, [&] { timer.KillTimer(0xFFFFFFFF); });
  }
}

// Kills and re-arms on the timer's own thread, as a connection does for its
// receive time-out on every piece it reads: whatever happened before, the
// timer fires exactly as its last arming says.
TEST_F(ZnTimerTest, ReArmsOnItsThreadFollowTheLastArming) {
  struct Row {
    const char* name;
    std::function<void(RecordingTimer&)> steps;  // run on the task's thread
    int fires;                                   // firings of id 1 before a sentinel due at 300 ms
  };
  const Row rows[] = {
      {"many kill-and-re-arms, then a short one",
       [](RecordingTimer& t) {
         for (int i = 0; i < 1000; ++i) {
           t.KillTimer(1);
           ASSERT_TRUE(t.SetTimer(60000, 1, true));
         }
         t.KillTimer(1);
         ASSERT_TRUE(t.SetTimer(20, 1, true));
       },
       1},
      {"re-armed earlier",
       [](RecordingTimer& t) {
         ASSERT_TRUE(t.SetTimer(60000, 1, true));
         ASSERT_TRUE(t.SetTimer(20, 1, true));
       },
       1},
      {"killed, then re-armed later",
       [](RecordingTimer& t) {
         ASSERT_TRUE(t.SetTimer(20, 1, true));
         t.KillTimer(1);
         ASSERT_TRUE(t.SetTimer(60000, 1, true));
       },
       0},
      {"re-armed later without a kill",
       [](RecordingTimer& t) {
         ASSERT_TRUE(t.SetTimer(20, 1, true));
         ASSERT_TRUE(t.SetTimer(60000, 1, true));
       },
       0},
      {"zero delay killed",
       [](RecordingTimer& t) {
         ASSERT_TRUE(t.SetTimer(0, 1, true));
         t.KillTimer(1);
       },
       0},
      {"zero delay re-armed later",
       [](RecordingTimer& t) {
         ASSERT_TRUE(t.SetTimer(0, 1, true));
         ASSERT_TRUE(t.SetTimer(60000, 1, true));
       },
       0},
      {"zero delay over a killed wait that ends later",
       [](RecordingTimer& t) {
         ASSERT_TRUE(t.SetTimer(30, 1, true));
         t.KillTimer(1);
         ASSERT_TRUE(t.SetTimer(0, 1, true));
       },
       1},
      {"a wait re-armed to zero delay and back",
       [](RecordingTimer& t) {
         ASSERT_TRUE(t.SetTimer(60000, 1, true));
         ASSERT_TRUE(t.SetTimer(0, 1, true));
         ASSERT_TRUE(t.SetTimer(40, 1, true));
       },
       1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RecordingTimer timer;
    RunOn(m_pTask, [&] { row.steps(timer); });
    ASSERT_TRUE(timer.AwaitSentinel(m_pTask, 300));
    EXPECT_EQ(timer.Count(1), row.fires);
    RunOn(m_pTask, [&] { timer.KillTimer(0xFFFFFFFF); });
  }
}

TEST_F(ZnTimerTest, DeletingTheTimerInsideItsOwnCallbackIsSafe) {
  // Several armed ids, one of them due with the one that deletes: none may
  // run after the delete, and nothing may touch the freed object (ASan).
  RecordingTimer* doomed = new RecordingTimer(m_pTask);
  std::atomic<int> firedAfterDelete{0};
  std::atomic<bool> deleted{false};
  doomed->SetHook([&](unsigned id) {
    if (deleted) ++firedAfterDelete;
    if (id == 1) {
      deleted = true;
      delete doomed;
    }
  });
  RunOn(m_pTask, [&] {
    ASSERT_TRUE(doomed->SetTimer(2, 1, false));
    ASSERT_TRUE(doomed->SetTimer(2, 2, false));
    ASSERT_TRUE(doomed->SetTimer(0, 3, false));
    CZNEvent never(true, false);
    EXPECT_FALSE(never.Wait(10));  // all three due before the loop turns
  });
  RecordingTimer witness(m_pTask);
  ASSERT_TRUE(witness.AwaitSentinel(m_pTask, 40));
  EXPECT_TRUE(deleted.load());
  EXPECT_EQ(firedAfterDelete.load(), 0);
}

TEST_F(ZnTimerTest, DestroyingTheTimerKillsAllItsTimers) {
  std::atomic<int> fired{0};
  RecordingTimer witness(m_pTask);
  RunOn(m_pTask, [&] {
    RecordingTimer* timer = new RecordingTimer(m_pTask);
    timer->SetHook([&](unsigned) { ++fired; });
    for (uint32_t id = 1; id <= 3; ++id) ASSERT_TRUE(timer->SetTimer(1, id, id != 2));
    CZNEvent never(true, false);
    EXPECT_FALSE(never.Wait(10));
    delete timer;
  });
  ASSERT_TRUE(witness.AwaitSentinel(m_pTask, 30));
  EXPECT_EQ(fired.load(), 0);
}

TEST_F(ZnTimerTest, FiresOnTheTaskSetOrElseOnTheArmingThreadsTask) {
  CZNTaskIO* other = new CZNTaskIO("other", 0, 0);
  ASSERT_TRUE(other->Start());
  const uint64_t mine = m_pTask->getthreadid();
  const uint64_t theirs = other->getthreadid();

  const struct {
    const char* what;
    CZNTaskBase* timerTask;  // given to SetTimerTask (null: none)
    CZNTaskBase* armOn;      // the task whose thread arms (null: the test thread)
    bool armed;
    uint64_t expectedThread;
  } cases[] = {
      {"no task, armed on mine", nullptr, m_pTask, true, mine},
      {"no task, armed on theirs", nullptr, other, true, theirs},
      {"no task, armed off any task", nullptr, nullptr, false, 0},
      {"set to theirs, armed on mine", other, m_pTask, true, theirs},
      {"set to theirs, armed off any task", other, nullptr, true, theirs},
  };
  for (const auto& c : cases) {
    RecordingTimer timer;
    timer.SetTimerTask(c.timerTask);
    CZNEvent fired(true, false);
    timer.SetHook([&](unsigned id) {
      if (id == 5) fired.Post();
    });
    bool armed = false;
    if (c.armOn) {
      RunOn(c.armOn, [&] { armed = timer.SetTimer(1, 5, true); });
    } else {
      armed = timer.SetTimer(1, 5, true);
    }
    ASSERT_EQ(armed, c.armed) << c.what;
    if (!c.armed) continue;
    ASSERT_TRUE(fired.Wait(kBoundMs)) << c.what;
    ASSERT_EQ(timer.Threads().size(), 1u) << c.what;
    EXPECT_EQ(timer.Threads()[0], c.expectedThread) << c.what;
  }
  other->Release();
}

TEST_F(ZnTimerTest, SetTimerTaskHoldsACountedReference) {
  CZNTaskIO* other = new CZNTaskIO("counted", 0, 0);
  {
    RecordingTimer timer(other);
    EXPECT_EQ(other->RefCount(), 2);
    EXPECT_EQ(timer.GetTimerTask(), other);
    timer.SetTimerTask(m_pTask);
    EXPECT_EQ(other->RefCount(), 1);
    timer.SetTimerTask(other);
    timer.SetTimerTask(nullptr);
    EXPECT_EQ(other->RefCount(), 1);
    EXPECT_EQ(timer.GetTimerTask(), nullptr);
    timer.SetTimerTask(other);
  }
  EXPECT_EQ(other->RefCount(), 1) << "the destructor released the task";
  // Arming on a task that is not running fails.
  RecordingTimer idle(other);
  EXPECT_FALSE(idle.SetTimer(1, 1, true));
  idle.SetTimerTask(nullptr);
  other->Release();
}

TEST_F(ZnTimerTest, ArmedTimerOutlivesItsStoppedAndReleasedTask) {
  // The reactor must stay valid for the timer's cleanup after the task is
  // gone (ASan checks the cleanup).
  CZNTaskIO* shortLived = new CZNTaskIO("short", 0, 0);
  ASSERT_TRUE(shortLived->Start());
  RecordingTimer* timer = new RecordingTimer;
  RunOn(shortLived, [&] {
    ASSERT_TRUE(timer->SetTimer(100000, 1, true));
    ASSERT_TRUE(timer->SetTimer(100000, 2, false));
  });
  shortLived->Release();
  timer->KillTimer(1);
  EXPECT_EQ(timer->Count(1) + timer->Count(2), 0);
  delete timer;
}

TEST(ZnTimerMultiThreadTest, CallbacksRunOnOnePlatformThread) {
  class MultiTimer final : public CZNTimer_MultiThread {
   public:
    void OnTimer(unsigned int id) override {
      std::lock_guard<std::mutex> lock(mu);
      threads[id].push_back(znthread_selfid());
      if (threads[id].size() == 3) {
        KillTimer(id);
        if (++killed == 2) done.Post();
      }
    }
    std::mutex mu;  // guards the fields below
    std::map<unsigned, std::vector<uint64_t>> threads;
    int killed = 0;
    CZNEvent done{true, false};
  };
  MultiTimer timer;
  ASSERT_TRUE(timer.SetTimer(1, 1, false));
  ASSERT_TRUE(timer.SetTimer(2, 2, false));
  ASSERT_TRUE(timer.done.Wait(kBoundMs));
  std::lock_guard<std::mutex> lock(timer.mu);
  const uint64_t first = timer.threads[1][0];
  EXPECT_NE(first, znthread_selfid());
  for (auto& entry : timer.threads) {
    EXPECT_EQ(entry.second.size(), 3u);
    for (uint64_t t : entry.second) EXPECT_EQ(t, first);
  }
}

}  // namespace
