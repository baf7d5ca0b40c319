// Locks, guards and events.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/znlock.h"

namespace {

const int64_t kBoundMs = 5000;  // upper bound of every wait that must succeed

TEST(ZnLockTest, GuardsTakeAndGiveBackOnlyTheirOwnHold) {
  { CZNAutolockex guard(nullptr); }  // no lock: nothing happens
  CZNLock lock;
  {
    CZNAutolockex guard(&lock);
    EXPECT_FALSE(lock.Try());
  }
  EXPECT_TRUE(lock.Try());
  lock.Unlock();

  CZNEvent held(true, false), release(true, false);
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
  EXPECT_FALSE(lock.Try());  // the failed try must not have unlocked the owner's hold
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
  const int kThreads = 4, kRounds = 20000;
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

TEST(ZnLockTest, EventResetModesAndWaitersOnOtherThreads) {
  struct Case {
    bool manual, initial, firstWait, secondWait;  // the waits without a new signal
  } cases[] = {
      {false, false, false, false},
      {false, true, true, false},  // auto-reset: one wait consumes the signal
      {true, true, true, true},    // manual: stays signalled
      {true, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.manual << c.initial);
    CZNEvent ev(c.manual, c.initial);
    EXPECT_EQ(c.initial, ev.IsSignaled());
    EXPECT_EQ(c.firstWait, ev.Wait(0));
    EXPECT_EQ(c.secondWait, ev.Wait(0));
    ev.Post();
    EXPECT_TRUE(ev.IsSignaled());
    ev.Reset();
    EXPECT_FALSE(ev.Wait(1));
    // A post wakes a waiter on another thread; a manual event every waiter.
    const int kWaiters = c.manual ? 3 : 1;
    std::atomic<int> passed{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) waiters.emplace_back([&] { passed += ev.Wait(kBoundMs); });
    ev.Post();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(kWaiters, passed);
  }
  EXPECT_FALSE(CZNEvent().IsSignaled());
}

}  // namespace
