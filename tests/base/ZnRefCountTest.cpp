// Reference counts, the scope holder and the scope call record: the references
// a record takes and gives back, and when its run reaches the function.
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

// An object reachable from queued work only through its holder, as the client is.
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
  static int Touch(void* object, CRefCount* /*arg*/) {
    ++static_cast<Target*>(object)->m_nCalls;  // a use after free here shows under ASan
    return 7;
  }
  Holder* m_pHolder;  // counted: this object's own reference
  std::atomic<int> m_nCalls{0};
};

int ReturnArgCount(void* /*object*/, CRefCount* arg) { return arg ? arg->RefCount() : -1; }

TEST(ZnRefCountTest, SafeCountsFromManyThreadsDestroyOnce) {
  std::atomic<int> destroyed{0};
  Counted* obj = new Counted(&destroyed);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([obj] {
      for (int i = 0; i < 20000; ++i) {
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

TEST(ZnRefCountTest, CallRecordsCountTheirHolderAndArgument) {
  std::atomic<int> destroyed{0};
  Counted* holder = new Counted(&destroyed);
  Counted* arg = new Counted(&destroyed);
  {
    CScopeCall call(holder, nullptr, &ReturnArgCount, arg);
    EXPECT_EQ(2, holder->RefCount());
    EXPECT_EQ(2, arg->RefCount());
    {
      CScopeCall copy(call);
      CScopeCall assigned;
      assigned = copy;
      assigned = assigned;  // self-assignment must not drop the references
      EXPECT_EQ(4, holder->RefCount());
      EXPECT_EQ(4, arg->RefCount());
      EXPECT_EQ(4, assigned.Run());
    }
    EXPECT_EQ(2, holder->RefCount());
    EXPECT_EQ(2, arg->RefCount());
  }
  EXPECT_EQ(1, holder->RefCount());
  holder->Release();

  // setArg takes the new reference before it releases the old one.
  {
    CScopeCall call;
    EXPECT_EQ(nullptr, call.getArg());
    call.setArg(arg);
    arg->Release();              // the record now holds the only reference
    call.setArg(call.getArg());  // re-setting the same argument must not free it
    EXPECT_EQ(1, arg->RefCount());
    CScopeCall copy(call);
    EXPECT_EQ(2, arg->RefCount());
    call.setArg(nullptr);
    EXPECT_EQ(1, arg->RefCount());
    EXPECT_EQ(1, destroyed);
  }
  EXPECT_EQ(2, destroyed);
}

TEST(ZnRefCountTest, RunCallsOnlyWithAValidOrAbsentHolderAndAFunction) {
  Target* target = new Target;
  Target::Holder* holder = target->m_pHolder;
  Target::Holder* never = new Target::Holder(nullptr);
  const struct {
    const char* what;
    CRefCount* holder;
    CScopeCall::Function fn;
    int expected;
    int calls;  // the target's call count after the run
  } cases[] = {
      {"valid holder", holder, &Target::Touch, 7, 1},
      {"no holder", nullptr, &Target::Touch, 7, 2},
      {"holder without target", never, &Target::Touch, 0, 2},
      {"no function", holder, nullptr, 0, 2},
  };
  for (const auto& c : cases) {
    CScopeCall call(c.holder, target, c.fn, nullptr);
    EXPECT_EQ(c.expected, call.Run()) << c.what;
    EXPECT_EQ(c.calls, target->m_nCalls) << c.what;
  }
  never->Release();
  CScopeCall call(holder, target, &Target::Touch, nullptr);
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
  CZNEvent gate(true, false), done(true, false);
  // Holds the task until the target is gone, so the guarded call is still queued.
  CScopeCall block(nullptr, &gate, [](void* ev, CRefCount*) { return static_cast<CZNEvent*>(ev)->Wait(kBoundMs) ? 0 : 1; },
                   nullptr);
  ASSERT_TRUE(CZNTaskBase::PushTask(task, block));
  ASSERT_TRUE(CZNTaskBase::PushTask(task, CScopeCall(target->m_pHolder, target, &Target::Touch, nullptr)));
  CScopeCall finish(nullptr, &done, [](void* ev, CRefCount*) { return static_cast<CZNEvent*>(ev)->Post(), 0; }, nullptr);
  ASSERT_TRUE(CZNTaskBase::PushTask(task, finish));
  EXPECT_EQ(0, target->m_nCalls);
  delete target;  // a call that still touched it would be a use after free
  gate.Post();
  EXPECT_TRUE(done.Wait(kBoundMs));
  task->Stop();
  task->Release();
}

}  // namespace
