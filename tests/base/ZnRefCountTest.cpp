// Reference counts, the scope holder and the scope call record.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/znlock.h"
#include "base/zntask.h"

namespace {

const int64_t kBoundMs = 5000;  // upper bound of every wait that must succeed

// Counts its own destructions.
class Counted final : public CRefCountSafe {
 public:
  explicit Counted(std::atomic<int>* destroyed) : m_pDestroyed(destroyed) {}
  ~Counted() override { ++*m_pDestroyed; }

 private:
  std::atomic<int>* m_pDestroyed;  // borrowed; outlives this object
};

// An object reachable from queued work through its holder, as the client is.
class Target final {
 public:
  typedef CScopeHolder<Target, 0, CRefCountSafe> Holder;
  Target() : m_pHolder(new Holder(this)) {}
  Target(const Target&) = delete;
  Target& operator=(const Target&) = delete;
  ~Target() {
    m_pHolder->Invalidate();
    m_pHolder->Release();
  }
  static int OnCall(void* object, CRefCount* /*arg*/) {
    static_cast<Target*>(object)->m_nCalls++;
    return 1;
  }
  Holder* m_pHolder;  // counted: this object's own reference
  std::atomic<int> m_nCalls{0};
};

TEST(ZnRefCountTest, SafeCountsFromManyThreadsDestroyOnce) {
  std::atomic<int> destroyed{0};
  Counted* obj = new Counted(&destroyed);
  const int kThreads = 4;
  const int kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([obj] {
      for (int i = 0; i < kRounds; ++i) {
        obj->AddRef();
        EXPECT_FALSE(obj->Release());
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(1, obj->RefCount());
  EXPECT_EQ(0, destroyed);
  EXPECT_TRUE(obj->Release());
  EXPECT_EQ(1, destroyed);
}

TEST(ZnRefCountTest, SetArgTakesTheNewReferenceBeforeReleasingTheOld) {
  std::atomic<int> destroyed{0};
  Counted* arg = new Counted(&destroyed);
  {
    CScopeCall call;
    EXPECT_EQ(nullptr, call.getArg());
    call.setArg(arg);
    arg->Release();  // the record now holds the only reference
    call.setArg(call.getArg());  // re-setting the same argument must not free it
    EXPECT_EQ(0, destroyed);
    EXPECT_EQ(1, arg->RefCount());
    CScopeCall copy(call);
    EXPECT_EQ(2, arg->RefCount());
    call.setArg(nullptr);
    EXPECT_EQ(1, arg->RefCount());
  }
  EXPECT_EQ(1, destroyed);
}

TEST(ZnRefCountTest, RunDropsTheCallOnceTheTargetDied) {
  Target* target = new Target;
  Target::Holder* holder = target->m_pHolder;
  CScopeCall call(holder, target, &Target::OnCall, nullptr);
  EXPECT_EQ(1, call.Run());
  EXPECT_EQ(1, target->m_nCalls);
  delete target;
  // The record keeps the holder alive; it must not reach the dead object.
  EXPECT_FALSE(holder->IsValid());
  EXPECT_EQ(nullptr, holder->SafeInstance());
  EXPECT_EQ(0, call.Run());
}  // the record's release frees the holder (a leak or double free shows under ASan)

TEST(ZnRefCountTest, CallQueuedOnATaskWhoseTargetDiedDoesNothing) {
  CZNTaskIO* task = new CZNTaskIO("scopetest", 0, 1);
  ASSERT_TRUE(task->Start());
  Target* target = new Target;
  CZNEvent gate(true, false);
  CZNEvent done(true, false);
  std::atomic<int> targetCallsBeforeDeath{0};

  // Holds the task until the target is gone, so the guarded call is still queued.
  CScopeCall block(nullptr, &gate, [](void* ev, CRefCount*) { return static_cast<CZNEvent*>(ev)->Wait(kBoundMs) ? 0 : 1; },
                   nullptr);
  ASSERT_TRUE(CZNTaskBase::PushTask(task, block));
  CScopeCall guarded(target->m_pHolder, target, &Target::OnCall, nullptr);
  ASSERT_TRUE(CZNTaskBase::PushTask(task, guarded));
  CScopeCall finish(nullptr, &done, [](void* ev, CRefCount*) {
    static_cast<CZNEvent*>(ev)->Post();
    return 0;
  }, nullptr);
  ASSERT_TRUE(CZNTaskBase::PushTask(task, finish));

  targetCallsBeforeDeath = target->m_nCalls.load();
  delete target;  // a call that still touched it would be a use after free
  gate.Post();
  EXPECT_TRUE(done.Wait(kBoundMs));
  EXPECT_EQ(0, targetCallsBeforeDeath);
  task->Stop();
  task->Release();
}

}  // namespace
