// CZNLockRW: per-thread nesting over the platform reader-writer lock.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/znlockrw.h"

namespace {

const int64_t kBoundMs = 5000;  // upper bound of every wait that must succeed

// True when another thread could take the underlying lock for writing right
// now. Only called when the answer is expected to be false, because a
// successful try is not recorded and could not be released through Unlock.
bool OtherThreadCanWrite(CZNLockRW& lock) {
  bool got = false;
  std::thread t([&] { got = lock.TryLockWR(); });
  t.join();
  return got;
}

bool OtherThreadCanRead(CZNLockRW& lock) {
  bool got = false;
  std::thread t([&] { got = lock.TryLockRD(); });
  t.join();
  return got;
}

// Another thread asks for the write lock and reports when it has it.
class Writer final {
 public:
  explicit Writer(CZNLockRW& lock)
      : m_started(true, false), m_acquired(true, false), m_release(true, false), m_thread([this, &lock] {
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
  CZNEvent m_started;
  CZNEvent m_acquired;
  CZNEvent m_release;

 private:
  std::thread m_thread;
};

TEST(ZnLockRWTest, ReadNestingReleasesAtTheLastUnlock) {
  CZNLockRW lock;
  lock.LockRD();
  lock.LockRD();
  {
    Writer writer(lock);
    ASSERT_TRUE(writer.m_started.Wait(kBoundMs));
    lock.Unlock();
    // One hold remains: the writer cannot have the lock yet.
    EXPECT_FALSE(writer.m_acquired.IsSignaled());
    EXPECT_FALSE(OtherThreadCanWrite(lock));
    lock.Unlock();
    EXPECT_TRUE(writer.m_acquired.Wait(kBoundMs));
    // Now the writer holds it: readers elsewhere are shut out.
    EXPECT_FALSE(OtherThreadCanRead(lock));
  }
  // Released by the writer: this thread may take it again.
  lock.LockRW();
  lock.Unlock();
}

TEST(ZnLockRWTest, NestedRequestsKeepTheFirstMode) {
  struct Case {
    bool firstWrite;
    bool secondWrite;
    bool othersMayRead;  // while both holds are kept
  } cases[] = {
      {false, true, true},   // a reader asking for write goes on as a reader
      {true, false, false},  // a writer asking for read goes on as a writer
      {true, true, false},
      {false, false, true},
  };
  for (const Case& c : cases) {
    CZNLockRW lock;
    c.firstWrite ? lock.LockRW() : lock.LockRD();
    c.secondWrite ? lock.LockRW() : lock.LockRD();  // must not deadlock
    EXPECT_FALSE(OtherThreadCanWrite(lock));
    if (!c.othersMayRead) {
      EXPECT_FALSE(OtherThreadCanRead(lock));
    }
    if (c.othersMayRead) {
      // A reader on another thread gets in (and leaves) through the nesting path.
      std::thread reader([&] {
        lock.LockRD();
        lock.Unlock();
      });
      reader.join();
    }
    lock.Unlock();
    EXPECT_FALSE(OtherThreadCanWrite(lock));
    lock.Unlock();
    Writer writer(lock);
    EXPECT_TRUE(writer.m_acquired.Wait(kBoundMs)) << c.firstWrite << c.secondWrite;
  }
}

TEST(ZnLockRWTest, UnlockWithoutHoldDoesNothing) {
  CZNLockRW lock;
  lock.Unlock();  // nothing held anywhere
  lock.LockRD();
  std::thread stranger([&] { lock.Unlock(); });
  stranger.join();
  // The stranger's Unlock must not have released this thread's hold.
  EXPECT_FALSE(OtherThreadCanWrite(lock));
  lock.Unlock();
  Writer writer(lock);
  EXPECT_TRUE(writer.m_acquired.Wait(kBoundMs));
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
