// CZNLockRW: per-thread nesting over the platform reader-writer lock.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/znlockrw.h"

namespace {

const int64_t kBoundMs = 5000;  // upper bound of every wait that must succeed

// True when another thread could take the lock in that mode now. Asked only
// where the answer should be false: a successful try is not recorded.
bool OtherThreadCan(CZNLockRW& lock, bool write) {
  bool got = false;
  std::thread t([&] { got = write ? lock.TryLockWR() : lock.TryLockRD(); });
  t.join();
  return got;
}

// Another thread asks for the write lock and reports when it has it.
class Writer final {
 public:
  explicit Writer(CZNLockRW& lock)
      : m_thread([this, &lock] {
          m_started.Post();
          lock.LockRW();
          m_acquired.Post();
          m_release.Wait(kBoundMs);
          lock.Unlock();
        }) {}
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  ~Writer() {
    m_release.Post();
    m_thread.join();
  }
  CZNEvent m_started{true, false};
  CZNEvent m_acquired{true, false};
  CZNEvent m_release{true, false};

 private:
  std::thread m_thread;  // last: starts after the events exist
};

TEST(ZnLockRWTest, ReadNestingReleasesAtTheLastUnlock) {
  CZNLockRW lock;
  lock.LockRD();
  lock.LockRD();
  {
    Writer writer(lock);
    ASSERT_TRUE(writer.m_started.Wait(kBoundMs));
    lock.Unlock();
    EXPECT_FALSE(writer.m_acquired.IsSignaled());  // one hold remains
    EXPECT_FALSE(OtherThreadCan(lock, true));
    lock.Unlock();
    EXPECT_TRUE(writer.m_acquired.Wait(kBoundMs));
    EXPECT_FALSE(OtherThreadCan(lock, false));  // the writer shuts readers out
  }
  lock.LockRW();
  lock.Unlock();
}

TEST(ZnLockRWTest, NestedRequestsKeepTheFirstModeAndStrayUnlocksDoNothing) {
  struct Case {
    bool firstWrite, secondWrite;
    bool othersMayRead;  // while both holds are kept
  } cases[] = {
      {false, true, true},   // a reader asking for write goes on as a reader
      {true, false, false},  // a writer asking for read goes on as a writer
      {true, true, false},
      {false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.firstWrite << c.secondWrite);
    CZNLockRW lock;
    lock.Unlock();  // nothing held anywhere: nothing happens
    c.firstWrite ? lock.LockRW() : lock.LockRD();
    c.secondWrite ? lock.LockRW() : lock.LockRD();  // must not deadlock
    std::thread stranger([&] { lock.Unlock(); });  // must not release this thread's hold
    stranger.join();
    EXPECT_FALSE(OtherThreadCan(lock, true));
    if (c.othersMayRead) {
      std::thread reader([&] { lock.LockRD(); lock.Unlock(); });
      reader.join();
    } else {
      EXPECT_FALSE(OtherThreadCan(lock, false));
    }
    lock.Unlock();
    EXPECT_FALSE(OtherThreadCan(lock, true));
    lock.Unlock();
    Writer writer(lock);
    EXPECT_TRUE(writer.m_acquired.Wait(kBoundMs));
  }
}

TEST(ZnLockRWTest, GuardsNestAndExclude) {
  CZNLockRW lock;
  long shared[2] = {0, 0};  // writers keep both equal
  std::atomic<bool> torn{false};
  const int kRounds = 3000;
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        CZNAutolockReadWrite w(lock);
        ++shared[0];
        CZNAutolockReadonly nested(lock);  // re-entry by the writer
        ++shared[1];
      }
    });
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        CZNAutolockReadonly r(lock);
        CZNAutolockReadonly nested(lock);
        if (shared[0] != shared[1]) torn = true;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(torn);
  EXPECT_EQ(2 * kRounds, shared[0]);
  EXPECT_EQ(2 * kRounds, shared[1]);
}

}  // namespace
