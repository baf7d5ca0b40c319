// Timers: one-shot and repeating schedules, zero delay, kills and re-arms (of
// due timers too) on the timer's own thread, destruction inside the callback,
// the task a timer fires on, and the platform's timer thread.
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
#include "support/TestNet.h"

namespace {

const int64_t kBoundMs = 5000;  // upper bound of every wait that must succeed
const uint32_t kSentinelId = 999;
const uint32_t kAll = 0xFFFFFFFF;

// Records every firing (id and thread) and lets a test react inside OnTimer.
// Used on its task's thread; the record is guarded for the test thread.
class RecordingTimer : public CZNTimer {
 public:
  explicit RecordingTimer(CZNTaskBase* task = nullptr) : CZNTimer(0, task) {}

  void OnTimer(unsigned int id) override {
    std::function<void(unsigned)> hook;
    {
      std::lock_guard<std::mutex> lock(m_mu);
      m_fired.push_back(id);
      m_threads.push_back(znthread_selfid());
      hook = m_hook;
    }
    if (id == kSentinelId) {
      m_sentinel.Post();  // the waiter may destroy this object: nothing follows
    } else if (hook) {
      hook(id);  // may delete this object: nothing follows
    }
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
  bool AwaitSentinel(zntest::TaskThread& task, uint32_t ms) {
    bool armed = false;
    return task.Run([&] { armed = SetTimer(ms, kSentinelId, true); }) && armed && m_sentinel.Wait(kBoundMs);
  }

 private:
  std::mutex m_mu;  // guards the fields below
  std::vector<unsigned> m_fired;
  std::vector<uint64_t> m_threads;
  std::function<void(unsigned)> m_hook;
  CZNEvent m_sentinel{false, false};
};

// Holds the task's thread for ms, so that timers armed before fall due inside the call.
void Block(uint32_t ms) { EXPECT_FALSE(CZNEvent(true, false).Wait(ms)); }

class ZnTimerTest : public ::testing::Test {
 protected:
  zntest::TaskThread m_task{"timers"};
};

TEST_F(ZnTimerTest, OneShotFiresOnceAndRepeatingFiresUntilKilledInsideItsCallback) {
  const struct {
    bool once;
    int killAt;  // the firing count at which the callback kills it (0: never)
    int expected;
  } cases[] = {{true, 0, 1}, {false, 3, 3}, {false, 1, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "once=" << c.once << " killAt=" << c.killAt);
    RecordingTimer timer(m_task.task());
    std::atomic<int> fired{0};
    CZNEvent enough(true, false);
    timer.SetHook([&](unsigned id) {
      const int n = id == 1 ? ++fired : 0;
      if (n == c.killAt) timer.KillTimer(1);
      if (n == c.expected) enough.Post();
    });
    ASSERT_TRUE(timer.SetTimer(5, 1, c.once));
    ASSERT_TRUE(enough.Wait(kBoundMs));
    ASSERT_TRUE(timer.AwaitSentinel(m_task, 60));  // well after another period of 5 ms
    EXPECT_EQ(timer.Count(1), c.expected);
    for (uint64_t t : timer.Threads()) EXPECT_EQ(t, m_task.task()->getthreadid());
  }
}

// Kills and re-arms on the timer's own thread, as a connection does for its
// receive time-out on every piece it reads: whatever happened before, even a
// timer already due, it fires exactly as its last arming says, and never
// inside the call that armed it (zero delay included).
TEST_F(ZnTimerTest, KillsAndReArmsOnItsThreadFollowTheLastArming) {
  struct Op {
    char what;  // 'S' SetTimer(ms, id, once), 'K' KillTimer(id), 'B' block the thread ms
    uint32_t id, ms;
    bool once;
  };
  std::vector<Op> churn;  // many kill-and-re-arms, then a short one
  for (int i = 0; i < 1000; ++i) churn.insert(churn.end(), {{'K', 1, 0, true}, {'S', 1, 60000, true}});
  churn.insert(churn.end(), {{'K', 1, 0, true}, {'S', 1, 20, true}});
  const Op dueBoth[] = {{'S', 1, 1, true}, {'S', 2, 1, false}, {'B', 0, 20, true}};  // both due after this
  auto due = [&](std::vector<Op> then) {
    then.insert(then.begin(), std::begin(dueBoth), std::end(dueBoth));
    return then;
  };
  const struct {
    const char* name;
    std::vector<Op> ops;
    int fires1, fires2;  // before a sentinel due at 300 ms
  } rows[] = {
      {"due, both killed", due({{'K', 1, 0, true}, {'K', 2, 0, true}}), 0, 0},
      {"due, all killed at once", due({{'K', kAll, 0, true}}), 0, 0},
      {"due, both re-armed later", due({{'S', 1, 100000, true}, {'S', 2, 100000, false}}), 0, 0},
      {"many kill-and-re-arms, then a short one", churn, 1, 0},
      {"re-armed earlier", {{'S', 1, 60000, true}, {'S', 1, 20, true}}, 1, 0},
      {"killed, then re-armed later", {{'S', 1, 20, true}, {'K', 1, 0, true}, {'S', 1, 60000, true}}, 0, 0},
      {"re-armed later without a kill", {{'S', 1, 20, true}, {'S', 1, 60000, true}}, 0, 0},
      {"zero delay", {{'S', 1, 0, true}, {'B', 0, 5, true}}, 1, 0},
      {"zero delay killed", {{'S', 1, 0, true}, {'K', 1, 0, true}}, 0, 0},
      {"zero delay re-armed later", {{'S', 1, 0, true}, {'S', 1, 60000, true}}, 0, 0},
      {"zero delay over a killed wait that ends later", {{'S', 1, 30, true}, {'K', 1, 0, true}, {'S', 1, 0, true}}, 1, 0},
      {"a wait re-armed to zero delay and back", {{'S', 1, 60000, true}, {'S', 1, 0, true}, {'S', 1, 40, true}}, 1, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RecordingTimer timer;
    ASSERT_TRUE(m_task.Run([&] {
      for (const Op& op : row.ops) {
        EXPECT_TRUE(op.what != 'S' || timer.SetTimer(op.ms, op.id, op.once));
        if (op.what == 'K') timer.KillTimer(op.id);
        if (op.what == 'B') Block(op.ms);
      }
      EXPECT_EQ(timer.Count(1) + timer.Count(2), 0);
    }));
    ASSERT_TRUE(timer.AwaitSentinel(m_task, 300));
    EXPECT_EQ(timer.Count(1), row.fires1);
    EXPECT_EQ(timer.Count(2), row.fires2);
    ASSERT_TRUE(m_task.Run([&] { timer.KillTimer(kAll); }));
  }
}

TEST_F(ZnTimerTest, DeletingOrDestroyingTheTimerStopsAllItsTimers) {
  // Several armed ids, due together: deleted inside the callback of one of
  // them or before any, none may run afterwards, nor touch the freed object (ASan).
  for (const bool insideCallback : {true, false}) {
    SCOPED_TRACE(insideCallback ? "inside its callback" : "on its thread, all due");
    std::atomic<int> firedAfterDelete{0};
    std::atomic<bool> deleted{false};
    RecordingTimer* doomed = new RecordingTimer(m_task.task());
    doomed->SetHook([&](unsigned id) {
      if (deleted) ++firedAfterDelete;
      if (id != 1) return;
      deleted = true;
      delete doomed;
    });
    ASSERT_TRUE(m_task.Run([&] {
      ASSERT_TRUE(doomed->SetTimer(2, 1, false));
      ASSERT_TRUE(doomed->SetTimer(2, 2, true));
      ASSERT_TRUE(doomed->SetTimer(0, 3, false));
      Block(10);  // all three due before the loop turns
      if (!insideCallback) {
        deleted = true;
        delete doomed;
      }
    }));
    RecordingTimer witness(m_task.task());
    ASSERT_TRUE(witness.AwaitSentinel(m_task, 40));
    EXPECT_TRUE(deleted.load());
    EXPECT_EQ(firedAfterDelete.load(), 0);
  }
}

TEST_F(ZnTimerTest, FiresOnTheTaskSetOrElseOnTheArmingThreadsTask) {
  zntest::TaskThread other("other");
  const uint64_t mine = m_task.task()->getthreadid(), theirs = other.task()->getthreadid();
  const struct {
    const char* what;
    CZNTaskBase* timerTask;      // given to SetTimerTask (null: none)
    zntest::TaskThread* armOn;  // the task whose thread arms (null: the test thread)
    uint64_t expectedThread;     // 0: arming fails
  } cases[] = {
      {"no task, armed on mine", nullptr, &m_task, mine},
      {"no task, armed on theirs", nullptr, &other, theirs},
      {"no task, armed off any task", nullptr, nullptr, 0},
      {"set to theirs, armed on mine", other.task(), &m_task, theirs},
      {"set to theirs, armed off any task", other.task(), nullptr, theirs},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RecordingTimer timer;
    timer.SetTimerTask(c.timerTask);
    CZNEvent fired(true, false);
    timer.SetHook([&](unsigned) { fired.Post(); });
    bool armed = false;
    auto arm = [&] { armed = timer.SetTimer(1, 5, true); };
    if (c.armOn) {
      ASSERT_TRUE(c.armOn->Run(arm));
    } else {
      arm();
    }
    ASSERT_EQ(armed, c.expectedThread != 0);
    if (!armed) continue;
    ASSERT_TRUE(fired.Wait(kBoundMs));
    EXPECT_EQ(timer.Threads(), std::vector<uint64_t>{c.expectedThread});
  }
}

TEST_F(ZnTimerTest, SetTimerTaskHoldsACountedReference) {
  CZNTaskIO* other = new CZNTaskIO("counted", 0, 0);
  {
    RecordingTimer timer(other);
    EXPECT_EQ(other->RefCount(), 2);
    timer.SetTimerTask(m_task.task());
    EXPECT_EQ(other->RefCount(), 1);
    timer.SetTimerTask(other);
    timer.SetTimerTask(nullptr);
    EXPECT_EQ(other->RefCount(), 1);
    EXPECT_EQ(timer.GetTimerTask(), nullptr);
    timer.SetTimerTask(other);
  }
  EXPECT_EQ(other->RefCount(), 1) << "the destructor released the task";
  RecordingTimer idle(other);
  EXPECT_FALSE(idle.SetTimer(1, 1, true));  // the task is not running
  idle.SetTimerTask(nullptr);
  other->Release();
}

TEST_F(ZnTimerTest, ArmedTimerOutlivesItsStoppedAndReleasedTask) {
  // The reactor must stay valid for the timer's cleanup after the task is gone (ASan).
  RecordingTimer* timer = new RecordingTimer;
  {
    zntest::TaskThread shortLived("short");
    ASSERT_TRUE(shortLived.Run([&] {
      ASSERT_TRUE(timer->SetTimer(100000, 1, true));
      ASSERT_TRUE(timer->SetTimer(100000, 2, false));
    }));
  }
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
  } timer;
  ASSERT_TRUE(timer.SetTimer(1, 1, false));
  ASSERT_TRUE(timer.SetTimer(2, 2, false));
  ASSERT_TRUE(timer.done.Wait(kBoundMs));
  std::lock_guard<std::mutex> lock(timer.mu);
  const uint64_t first = timer.threads[1][0];
  EXPECT_NE(first, znthread_selfid());
  for (auto& entry : timer.threads) EXPECT_EQ(entry.second, std::vector<uint64_t>(3, first));
}

}  // namespace
