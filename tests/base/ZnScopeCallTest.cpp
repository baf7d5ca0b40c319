// The scope call and the scope holder: the references a call record takes and
// gives back, and when its run reaches the function. (A call queued on a task
// whose target died meanwhile is covered with the reference counts.)
#include <gtest/gtest.h>

#include <atomic>

#include "base/znrefcount.h"

namespace {

// Counts its own destruction.
class Counted final : public CRefCountSafe {
 public:
  explicit Counted(std::atomic<int>* destroyed) : m_pDestroyed(destroyed) {}
  ~Counted() override { ++*m_pDestroyed; }

 private:
  std::atomic<int>* m_pDestroyed;  // borrowed; outlives the object
};

// An object reachable from queued work only through its holder.
class Target final {
 public:
  typedef CScopeHolder<Target> Holder;
  Target() : m_pHolder(new Holder(this)) {}
  Target(const Target&) = delete;
  Target& operator=(const Target&) = delete;
  ~Target() {
    m_pHolder->Invalidate();
    m_pHolder->Release();
  }
  Holder* holder() const { return m_pHolder; }

  static int Touch(void* object, CRefCount* /*arg*/) {
    Target* self = static_cast<Target*>(object);
    ++self->m_nTouched;  // a use after free here is what ASan would catch
    return 7;
  }
  int touched() const { return m_nTouched; }

 private:
  Holder* m_pHolder;  // counted reference (one), never null
  int m_nTouched = 0;
};

int ReturnArgCount(void* /*object*/, CRefCount* arg) { return arg ? arg->RefCount() : -1; }

TEST(ZnScopeCallTest, CopiesTakeAndReleaseReferencesOnHolderAndArgument) {
  std::atomic<int> destroyed{0};
  Counted* holder = new Counted(&destroyed);
  Counted* arg = new Counted(&destroyed);
  {
    CScopeCall call(holder, nullptr, &ReturnArgCount, arg);
    EXPECT_EQ(holder->RefCount(), 2);
    EXPECT_EQ(arg->RefCount(), 2);
    {
      CScopeCall copy(call);
      EXPECT_EQ(holder->RefCount(), 3);
      EXPECT_EQ(arg->RefCount(), 3);
      CScopeCall assigned;
      assigned = copy;
      assigned = assigned;  // self-assignment must not drop the references
      EXPECT_EQ(holder->RefCount(), 4);
      EXPECT_EQ(arg->RefCount(), 4);
      EXPECT_EQ(assigned.Run(), 4);
    }
    EXPECT_EQ(holder->RefCount(), 2);
    EXPECT_EQ(arg->RefCount(), 2);
  }
  EXPECT_EQ(holder->RefCount(), 1);
  EXPECT_EQ(arg->RefCount(), 1);
  holder->Release();
  arg->Release();
  EXPECT_EQ(destroyed.load(), 2);
}

TEST(ZnScopeCallTest, RunCallsOnlyWithAValidOrAbsentHolderAndAFunction) {
  Target target;
  Target::Holder* dead = new Target::Holder(nullptr);
  const struct {
    const char* what;
    CRefCount* holder;
    CScopeCall::Function fn;
    int expected;
    int touched;  // the target's touch count after the run
  } cases[] = {
      {"valid holder", target.holder(), &Target::Touch, 7, 1},
      {"no holder", nullptr, &Target::Touch, 7, 2},
      {"invalid holder", dead, &Target::Touch, 0, 2},
      {"no function", target.holder(), nullptr, 0, 2},
  };
  for (const auto& c : cases) {
    CScopeCall call(c.holder, &target, c.fn, nullptr);
    EXPECT_EQ(call.Run(), c.expected) << c.what;
    EXPECT_EQ(target.touched(), c.touched) << c.what;
  }
  dead->Release();
}

}  // namespace
