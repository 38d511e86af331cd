// The COM object base: creation with Initialize under a held count, the
// object count, and what happens when creation cannot complete.
#include <gtest/gtest.h>

#include <stdexcept>

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
