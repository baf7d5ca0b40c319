// Locks, guards and events.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/znlock.h"

namespace {

const int64_t kBoundMs = 5000;  // upper bound of every wait that must succeed

TEST(ZnLockTest, AutolockexWithNullDoesNothing) {
  { CZNAutolockex guard(nullptr); }
  CZNLock lock;
  {
    CZNAutolockex guard(&lock);
    EXPECT_FALSE(lock.Try());
  }
  EXPECT_TRUE(lock.Try());
  lock.Unlock();
}

TEST(ZnLockTest, AutoTrylockOnLockHeldByAnotherThread) {
  CZNLock lock;
  CZNEvent held(true, false);
  CZNEvent release(true, false);
  std::thread owner([&] {
    CZNAutolock guard(lock);
    held.Post();
    release.Wait(kBoundMs);
  });
  ASSERT_TRUE(held.Wait(kBoundMs));
  {
    CZNAutoTrylock tryGuard(lock);
    EXPECT_FALSE(tryGuard.IsLocked());
  }
  // The failed try must not have unlocked the owner's hold.
  EXPECT_FALSE(lock.Try());
  release.Post();
  owner.join();
  {
    CZNAutoTrylock tryGuard(lock);
    EXPECT_TRUE(tryGuard.IsLocked());
    std::thread other([&] { EXPECT_FALSE(lock.Try()); });
    other.join();
  }
  EXPECT_TRUE(lock.Try());
  lock.Unlock();
}

TEST(ZnLockTest, MutualExclusion) {
  CZNLock lock;
  int counter = 0;
  const int kThreads = 4;
  const int kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        CZNAutolock guard(lock);
        ++counter;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(kThreads * kRounds, counter);
}

TEST(ZnLockTest, EventResetModes) {
  struct Case {
    bool manual;
    bool initial;
    bool firstWait;
    bool secondWait;  // without a new signal
  } cases[] = {
      {false, false, false, false},
      {false, true, true, false},  // auto-reset: one wait consumes the signal
      {true, true, true, true},    // manual: stays signalled
      {true, false, false, false},
  };
  for (const auto& c : cases) {
    CZNEvent ev(c.manual, c.initial);
    EXPECT_EQ(c.initial, ev.IsSignaled());
    EXPECT_EQ(c.firstWait, ev.Wait(0)) << c.manual << c.initial;
    EXPECT_EQ(c.secondWait, ev.Wait(0)) << c.manual << c.initial;
    ev.Post();
    EXPECT_TRUE(ev.IsSignaled());
    ev.Reset();
    EXPECT_FALSE(ev.IsSignaled());
    EXPECT_FALSE(ev.Wait(1));
  }
  CZNEvent def;
  EXPECT_FALSE(def.IsSignaled());
}

TEST(ZnLockTest, EventWakesWaiterOnAnotherThread) {
  CZNEvent ev;
  std::atomic<bool> woke{false};
  std::thread waiter([&] { woke = ev.Wait(kBoundMs); });
  ev.Post();
  waiter.join();
  EXPECT_TRUE(woke);

  // A manual event releases every waiter.
  CZNEvent gate(true, false);
  std::atomic<int> passed{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (gate.Wait(kBoundMs)) ++passed;
    });
  }
  gate.Post();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(3, passed);
}

TEST(ZnLockTest, RwlockReadersShareWritersExclude) {
  znrwlock_t rw = znrwlock_alloc();
  ASSERT_NE(nullptr, rw);
  ASSERT_EQ(0, znrwlock_rdlock(rw));
  std::thread reader([&] {
    EXPECT_EQ(0, znrwlock_tryrdlock(rw));
    znrwlock_unlock(rw);
    EXPECT_NE(0, znrwlock_tryrwlock(rw));
  });
  reader.join();
  znrwlock_unlock(rw);
  ASSERT_EQ(0, znrwlock_wrlock(rw));
  std::thread other([&] {
    EXPECT_NE(0, znrwlock_tryrdlock(rw));
    EXPECT_NE(0, znrwlock_tryrwlock(rw));
  });
  other.join();
  znrwlock_unlock(rw);
  znrwlock_destroy(rw);
}

}  // namespace
