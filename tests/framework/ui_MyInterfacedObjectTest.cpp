#include "framework/ui_MyInterfacedObject.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

class ISample : public virtual IInterface {
 public:
  static constexpr TGUID IID = GuidLiteral("{11111111-2222-3333-4444-555555555555}");
  virtual int Value() = 0;
};

class IOther : public virtual IInterface {
 public:
  static constexpr TGUID IID = GuidLiteral("{66666666-2222-3333-4444-555555555555}");
};

int gDestroyed = 0;
std::function<void(IInterface*)> gOnDestroy;

class TSample : public TMyInterfacedObject, public virtual ISample {
 public:
  explicit TSample(std::vector<std::int32_t>* seen = nullptr) {
    if (seen) seen->push_back(RefCount());
    // A reference taken and dropped in the constructor must not destroy the object.
    TIntf<ISample> self(this);
    self.reset();
    if (seen) seen->push_back(RefCount());
  }
  ~TSample() override { ++gDestroyed; }
  HRESULT QueryInterface(const TGUID& iid, void** obj) override {
    if (QueryAs<ISample>(this, iid, obj)) return S_OK;
    return TMyInterfacedObject::QueryInterface(iid, obj);
  }
  void BeforeDestruction() override {
    if (gOnDestroy) gOnDestroy(static_cast<ISample*>(this));
  }
  int Value() override { return 42; }
};

class CountedObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gDestroyed = 0;
    gOnDestroy = nullptr;
  }
  void TearDown() override { gOnDestroy = nullptr; }
};

TEST_F(CountedObjectTest, CountIsOneDuringConstructionAndOneAfterMake) {
  std::vector<std::int32_t> seen;
  {
    TIntf<TSample> obj = Make<TSample>(&seen);
    EXPECT_EQ(seen, (std::vector<std::int32_t>{1, 1}));
    EXPECT_EQ(obj->RefCount(), 1);
    EXPECT_EQ(gDestroyed, 0);
  }
  EXPECT_EQ(gDestroyed, 1);
}

TEST_F(CountedObjectTest, CopiesAndMovesKeepTheCountRight) {
  TIntf<TSample> a = Make<TSample>();
  {
    TIntf<TSample> b = a;
    EXPECT_EQ(a->RefCount(), 2);
    TIntf<ISample> c = b;  // converting copy
    EXPECT_EQ(a->RefCount(), 3);
    TIntf<ISample> d = std::move(c);
    EXPECT_EQ(a->RefCount(), 3);
    EXPECT_FALSE(c);
  }
  EXPECT_EQ(a->RefCount(), 1);
  a = nullptr;
  EXPECT_EQ(gDestroyed, 1);
}

TEST_F(CountedObjectTest, DestroyedOnceEvenWhenDestructionHandsOutItsInterface) {
  std::vector<TIntf<IInterface>> keptDuringDestruction;
  gOnDestroy = [&](IInterface* self) {
    // A subscriber takes a reference and drops it again: 0 -> 1 -> 0.
    TIntf<IInterface> ref(self);
    EXPECT_EQ(ref->AddRef(), 2);
    ref->Release();
  };
  { TIntf<TSample> obj = Make<TSample>(); }
  EXPECT_EQ(gDestroyed, 1);
}

TEST_F(CountedObjectTest, QueryInterfaceByIdentifier) {
  TIntf<TSample> obj = Make<TSample>();
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(obj->QueryInterface(IOther::IID, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(static_cast<std::uint32_t>(E_NOINTERFACE), 0x80004002u);

  EXPECT_EQ(obj->QueryInterface(ISample::IID, &out), S_OK);
  EXPECT_EQ(obj->RefCount(), 2);
  static_cast<IInterface*>(out)->Release();

  TIntf<ISample> sample = Supports<ISample>(obj);
  ASSERT_TRUE(sample);
  EXPECT_EQ(sample->Value(), 42);
  EXPECT_FALSE(Supports<IOther>(obj));
  EXPECT_TRUE(SupportsIID(obj.get(), IInterface::IID));
  EXPECT_FALSE(SupportsIID(obj.get(), IOther::IID));
  EXPECT_EQ(obj->RefCount(), 2);
  EXPECT_TRUE(SameObject(sample, obj));
}

TEST(GuidTest, TextFormRoundTripsAndIsUpperCase) {
  constexpr TGUID g = GuidLiteral("{932E676F-ACE9-4CE9-BDEB-60D2688BA949}");
  EXPECT_EQ(g.D1, 0x932E676Fu);
  EXPECT_EQ(g.D4[7], 0x49);
  EXPECT_EQ(GuidToString(g), "{932E676F-ACE9-4CE9-BDEB-60D2688BA949}");
  EXPECT_EQ(GuidFromString("{932e676f-ace9-4ce9-bdeb-60d2688ba949}"), g);
  EXPECT_FALSE(GuidFromString("932E676F-ACE9-4CE9-BDEB-60D2688BA949"));
  std::string fresh = NewGuidString();
  ASSERT_EQ(fresh.size(), 38u);
  EXPECT_EQ(fresh.front(), '{');
  EXPECT_EQ(fresh.back(), '}');
  for (char c : fresh) EXPECT_FALSE(c >= 'a' && c <= 'f') << fresh;
  EXPECT_NE(fresh, NewGuidString());
}

}  // namespace
