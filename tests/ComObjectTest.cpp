// The COM object base: creation with Initialize under a held count, the
// object count, and what happens when creation cannot complete.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "com/ComObject.h"
#include "com/ComPtr.h"

namespace kel {
namespace {

int destroyed = 0;

// Takes and drops a reference to itself in Initialize, as code called from
// there may; fails there when asked to.
class Probe final : public TComClass<> {
 public:
  Probe(IUnknown* outer, bool fail) : TComClass(outer), fail_(fail) {}

 protected:
  ~Probe() override { ++destroyed; }
  void Initialize() override {
    AddRef();
    Release();
    if (fail_) throw std::runtime_error("Initialize failed");
  }
  void* FindInterface(REFIID) override { return nullptr; }

 private:
  bool fail_;
};

TEST(ComObject, InitializeRunsWithTheCountHeldAtOne) {
  destroyed = 0;
  const LONG objects = ObjectCount();
  ComPtr<IUnknown> unknown;
  ASSERT_EQ(S_OK, TComObject::Create<Probe>(nullptr, IID_IUnknown, unknown.PutVoid(), false));
  EXPECT_EQ(0, destroyed);  // the Release inside Initialize did not destroy it
  EXPECT_EQ(objects + 1, ObjectCount());
  unknown = nullptr;
  EXPECT_EQ(1, destroyed);
  EXPECT_EQ(objects, ObjectCount());
}

TEST(ComObject, UnansweredInterfaceDestroysTheNewObject) {
  destroyed = 0;
  const LONG objects = ObjectCount();
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, TComObject::Create<Probe>(nullptr, IID_IInternetProtocol, &out, false));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(1, destroyed);
  EXPECT_EQ(objects, ObjectCount());
}

TEST(ComObject, FailingInitializeDestroysAndPassesTheFailureOn) {
  destroyed = 0;
  const LONG objects = ObjectCount();
  void* out = nullptr;
  EXPECT_THROW(TComObject::Create<Probe>(nullptr, IID_IUnknown, &out, true), std::runtime_error);
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(1, destroyed);
  EXPECT_EQ(objects, ObjectCount());
}

// An unlock without its lock (a host's bug, or a double unlock) must not
// take away the count of a live object: the module would be unloaded under it.
TEST(ModuleCounts, UnmatchedUnlockLeavesLiveObjectsCounted) {
  ComPtr<IUnknown> live;
  ASSERT_EQ(S_OK, TComObject::Create<Probe>(nullptr, IID_IUnknown, live.PutVoid(), false));
  const LONG objects = ObjectCount();
  ASSERT_EQ(0, LockCount());
  EXPECT_EQ(0, CountLock(false));
  EXPECT_EQ(0, CountLock(false));
  EXPECT_EQ(objects, ObjectCount());
  EXPECT_FALSE(ModuleUnused());

  EXPECT_EQ(1, CountLock(true));
  live = nullptr;
  EXPECT_FALSE(ModuleUnused()) << "a server lock is held";
  EXPECT_EQ(0, CountLock(false));
  EXPECT_EQ(objects - 1, ObjectCount());
  EXPECT_EQ(objects - 1 == 0 && FactoryCount() == 0, ModuleUnused());
}

// Unlocks racing at 0 with locks: the count never goes below 0 and ends
// where the matched pairs leave it.
TEST(ModuleCounts, RacingUnlocksStopAtZero) {
  ASSERT_EQ(0, LockCount());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 20000; ++i) {
        if (t % 2 == 0) {
          CountLock(false);  // unmatched
        } else {
          CountLock(true);
          EXPECT_GE(CountLock(false), 0);
        }
        EXPECT_GE(LockCount(), 0);
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(0, LockCount());
}

TEST(ComPtr, CountsEveryReferenceItHolds) {
  destroyed = 0;
  ComPtr<IUnknown> a;
  ASSERT_EQ(S_OK, TComObject::Create<Probe>(nullptr, IID_IUnknown, a.PutVoid(), false));
  {
    ComPtr<IUnknown> b = a;             // copy: one more
    ComPtr<IUnknown> c = std::move(b);  // move: the same one
    ComPtr<IUnknown> d(c.Get());        // from a raw pointer: one more
    EXPECT_EQ(3u, a->AddRef() - 1);
    a->Release();
  }
  EXPECT_EQ(0, destroyed);
  a.Reset();
  EXPECT_EQ(1, destroyed);
}

}  // namespace
}  // namespace kel
