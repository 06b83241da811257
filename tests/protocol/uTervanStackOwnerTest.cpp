// Who may own a stack: a transport owner becomes the stack's transport; any
// other owner is refused with the stack's own message.
#include <gtest/gtest.h>

#include <string>

#include "uStackTestKit.h"

namespace {

using namespace stacktest;

// A noded interface that is no transport.
class TPlainNode : public TNodedInterface {};

class StackOwnerTest : public ::testing::Test {
 protected:
  void SetUp() override { FLiveAtStart = LiveNodeCount(); }
  void TearDown() override {
    EXPECT_EQ(LiveNodeCount(), FLiveAtStart) << "a noded interface outlived the test";
  }

 private:
  std::int32_t FLiveAtStart = 0;
};

TEST_F(StackOwnerTest, TransportOwnerBecomesTheStacksTransport) {
  auto transport = Make<TMemoryTransport>(true);
  auto stack = Make<TTervanStack>(TXmlNode{}, TIntf<IInterface>(transport));
  EXPECT_TRUE(SameObject(stack->GetTransport(), transport));
  EXPECT_TRUE(SameObject(stack->GetOwner(), transport));
  EXPECT_EQ(transport->GetChildCount(), 1);
  EXPECT_TRUE(static_cast<bool>(transport->GetOnDataReceived()));
  // Letting go of the owner unbinds the stack.
  stack->SetOwner(nullptr);
  EXPECT_FALSE(static_cast<bool>(stack->GetTransport()));
  EXPECT_FALSE(static_cast<bool>(transport->GetOnDataReceived()));
  EXPECT_EQ(transport->GetChildCount(), 0);
}

TEST_F(StackOwnerTest, OwnerThatIsNoTransportIsRefusedAndTheBindingKept) {
  auto transport = Make<TMemoryTransport>(true);
  auto plain = Make<TPlainNode>();
  auto stack = Make<TTervanStack>();
  stack->SetTransport(TIntf<ICommunicationInterface>(transport));
  try {
    stack->SetOwner(TIntf<IInterface>(plain));
    FAIL() << "no error";
  } catch (const ETervanStackError& e) {
    EXPECT_EQ(std::string(e.what()), "ITervanStack can be owned only by ICommunicationInterface");
  }
  // The owner is recorded; the transport stays bound.
  EXPECT_TRUE(SameObject(stack->GetOwner(), plain));
  EXPECT_TRUE(SameObject(stack->GetTransport(), transport));
  stack->SetOwner(nullptr);
  EXPECT_FALSE(static_cast<bool>(stack->GetTransport()));
  EXPECT_EQ(plain->GetChildCount(), 0);
}

TEST_F(StackOwnerTest, ConstructionWithAnOwnerThatIsNoTransportFailsCleanly) {
  auto plain = Make<TPlainNode>();
  EXPECT_THROW(Make<TTervanStack>(TXmlNode{}, TIntf<IInterface>(plain)), ETervanStackError);
  EXPECT_EQ(plain->GetChildCount(), 0);
}

TEST_F(StackOwnerTest, AddDeviceTakesADeviceOverFromAnotherStack) {
  auto first = Make<TTervanStack>();
  auto second = Make<TTervanStack>();
  auto d = Make<TTervanStackDevice>(0x31);
  ASSERT_TRUE(first->AddDevice(TIntf<ITervanStackDevice>(d)));
  EXPECT_TRUE(second->AddDevice(TIntf<ITervanStackDevice>(d)));
  EXPECT_TRUE(SameObject(d->GetStack(), second));
  EXPECT_TRUE(SameObject(d->GetOwner(), second));
  EXPECT_EQ(first->GetChildCount(), 0);
  EXPECT_EQ(second->GetChildCount(), 1);
  EXPECT_FALSE(first->RemoveDevice(TIntf<ITervanStackDevice>(d)));
  EXPECT_TRUE(second->RemoveDevice(TIntf<ITervanStackDevice>(d)));
  EXPECT_FALSE(static_cast<bool>(d->GetStack()));
  EXPECT_EQ(second->GetChildCount(), 0);
}

}  // namespace
