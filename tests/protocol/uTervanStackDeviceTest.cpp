// The device's request/response engine: signatures, outcomes, callbacks,
// routing of received packets, settings and the binding to a stack.
#include <gtest/gtest.h>

#include <atomic>
#include <pugixml.hpp>
#include <stdexcept>
#include <thread>

#include "framework/uTick.h"
#include "framework/uXmlNode.h"
#include "support/uTickShift.h"
#include "uStackTestKit.h"

namespace {

using namespace stacktest;

class DeviceEngineTest : public StackFixture {
 protected:
  // Signatures of the requests written so far.
  std::vector<int> WrittenSigs() {
    std::vector<int> sigs;
    for (const TBytes& w : Transport->Written()) sigs.push_back(w[5]);
    return sigs;
  }
};

// ---------------------------------------------------------------- defaults

TEST(DeviceDefaultsTest, NewDevice) {
  auto d = Make<TTervanStackDevice>(0x31);
  EXPECT_EQ(d->GetAddress(), 0x31);
  EXPECT_EQ(d->GetTimeout(), 1000);
  EXPECT_EQ(d->GetLastResult(), 0);
  EXPECT_EQ(d->GetLastAck(), -1);
  EXPECT_EQ(d->GetFixedSig(), 0);
  EXPECT_EQ(d->GetGUIDString().size(), 38u);
  EXPECT_TRUE(GuidFromString(d->GetGUIDString()).has_value());
  for (int s = 0; s < 256; ++s) ASSERT_TRUE(d->SigItem(static_cast<std::uint8_t>(s)).Free);
  EXPECT_FALSE(static_cast<bool>(d->GetStack()));
  EXPECT_EQ(d->GetName(), "TTervanStackDevice");
}

TEST(DeviceDefaultsTest, GivenGuidIsKept) {
  const std::string guid = "{01234567-89AB-CDEF-0123-456789ABCDEF}";
  auto d = Make<TTervanStackDevice>(guid, 0x40);
  EXPECT_EQ(d->GetGUIDString(), guid);
  EXPECT_EQ(d->GetAddress(), 0x40);
  auto e = Make<TTervanStackDevice>(std::string(), 0x41);
  EXPECT_NE(e->GetGUIDString(), d->GetGUIDString());
  EXPECT_EQ(e->GetGUIDString().size(), 38u);
}

TEST(DeviceDefaultsTest, OffersItsInterfaces) {
  auto d = Make<TTervanStackDevice>(0x31);
  EXPECT_TRUE(static_cast<bool>(Supports<ITervanStackDevice>(d)));
  EXPECT_TRUE(static_cast<bool>(Supports<INodedInterface>(d)));
  EXPECT_FALSE(static_cast<bool>(Supports<ITervanStack>(d)));
}

TEST(DeviceDefaultsTest, WithoutStackNothingHappens) {
  auto d = Make<TTervanStackDevice>(0x31);
  TTervanFormat97 answer;
  EXPECT_FALSE(d->Exchange(velto::kInstReadInputs, {}, true, -1, {}, answer));
  EXPECT_EQ(d->GetLastResult(), 0);
  EXPECT_FALSE(d->Exchange(velto::kInstReadInputs, {}, false, -1, {}, answer));
  for (int s = 0; s < 256; ++s) ASSERT_TRUE(d->SigItem(static_cast<std::uint8_t>(s)).Free);
}

// ---------------------------------------------------------------- binding

TEST_F(DeviceEngineTest, SetStackMakesTheDeviceAChildOfTheStack) {
  auto d = Make<TProbeDevice>(0x31);
  d->SetStack(TIntf<ITervanStack>(Stack));
  EXPECT_EQ(Stack->GetChildCount(), 1);
  EXPECT_TRUE(SameObject(d->GetOwner(), TIntf<IInterface>(Stack)));
  TIntf<ITervanStackDevice> got;
  ASSERT_TRUE(Stack->GetDevice(0, got));
  EXPECT_TRUE(SameObject(got, d));
  EXPECT_FALSE(Stack->GetDevice(1, got));
  EXPECT_FALSE(Stack->GetDevice(-1, got));
  d->SetStack(nullptr);
  EXPECT_EQ(Stack->GetChildCount(), 0);
  EXPECT_FALSE(static_cast<bool>(d->GetOwner()));
}

TEST_F(DeviceEngineTest, AddDeviceSetsTheDevicesStack) {
  auto d = Make<TProbeDevice>(0x31);
  EXPECT_TRUE(Stack->AddDevice(TIntf<ITervanStackDevice>(d)));
  EXPECT_TRUE(SameObject(d->GetStack(), Stack));
  EXPECT_FALSE(Stack->AddDevice(TIntf<ITervanStackDevice>(d)));  // already there
  EXPECT_EQ(Stack->GetChildCount(), 1);
  EXPECT_TRUE(Stack->RemoveDevice(TIntf<ITervanStackDevice>(d)));
  EXPECT_FALSE(static_cast<bool>(d->GetStack()));
  EXPECT_EQ(Stack->GetChildCount(), 0);
  EXPECT_FALSE(Stack->RemoveDevice(TIntf<ITervanStackDevice>(d)));
}

TEST_F(DeviceEngineTest, MovingToAnotherStackLeavesTheFirst) {
  auto other = Make<TTervanStack>();
  auto d = Attach(0x31);
  d->SetStack(TIntf<ITervanStack>(other));
  EXPECT_EQ(Stack->GetChildCount(), 0);
  EXPECT_EQ(other->GetChildCount(), 1);
  d->SetStack(TIntf<ITervanStack>(Stack));
  EXPECT_EQ(other->GetChildCount(), 0);
}

TEST_F(DeviceEngineTest, DeviceBuiltWithAStackOwnerIsAttached) {
  auto d = Make<TTervanStackDevice>(TXmlNode{}, TIntf<IInterface>(Stack));
  EXPECT_EQ(d->GetAddress(), 0xFE);
  EXPECT_TRUE(SameObject(d->GetStack(), Stack));
  EXPECT_EQ(Stack->GetChildCount(), 1);
  d->SetStack(nullptr);
}

// ---------------------------------------------------------------- waiting exchanges

// The worked example: identification, output 3 on, the outputs read back,
// the inputs; each waiting exchange carries the next signature.
TEST_F(DeviceEngineTest, WorkedExampleOnTheWire) {
  auto d = Attach(0x31);
  Transport->SetResponder(Peer([](const TTervanFormat97& q) {
    return q.INST == 0x31 ? TAnswer{0, {0x00, 0x05}} : TAnswer{};
  }));
  EXPECT_TRUE(d->Execute(tervan::kInstIdentify, TBytes{}, {}, true, -1));
  EXPECT_TRUE(d->Execute(velto::kInstSetOutputs, TBytes{0x83}, {}, true, -1));
  EXPECT_EQ(d->GetLastResult(), 1);
  EXPECT_EQ(d->GetLastAck(), 0);
  EXPECT_TRUE(d->Execute(velto::kInstReadOutputs, TBytes{}, {}, true, -1));
  TBytes data;
  EXPECT_TRUE(d->Execute(velto::kInstReadInputs, TBytes{}, {}, true, -1, data));
  EXPECT_EQ(data, (TBytes{0x00, 0x05}));
  ASSERT_EQ(Transport->WriteCount(), 4u);
  EXPECT_EQ(HexOf(Transport->Written()[0]), "2A 61 00 05 31 00 F3 4B 0D");
  EXPECT_EQ(HexOf(Transport->Written()[1]), "2A 61 00 06 31 01 20 83 99 0D");
  EXPECT_EQ(HexOf(Transport->Written()[2]), "2A 61 00 05 31 02 30 0C 0D");
  EXPECT_EQ(HexOf(Transport->Written()[3]), "2A 61 00 05 31 03 31 0A 0D");
}

TEST_F(DeviceEngineTest, WaitingExchangesOneAfterAnotherTakeTheNextSignature) {
  auto d = Attach(0x31);
  Transport->SetResponder(Peer([](const TTervanFormat97&) { return TAnswer{}; }));
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(d->Execute(velto::kInstReadInputs, TBytes{}, {}, true, -1));
  EXPECT_EQ(WrittenSigs(), (std::vector<int>{0, 1, 2}));
  for (int s = 0; s < 3; ++s) EXPECT_TRUE(d->SigItem(static_cast<std::uint8_t>(s)).Free);
}

TEST_F(DeviceEngineTest, RefusedAnswer) {
  auto d = Attach(0x31);
  Transport->SetResponder(Peer([](const TTervanFormat97&) { return TAnswer{2, {0x09}}; }));
  TTervanFormat97 answer;
  EXPECT_TRUE(d->Exchange(velto::kInstReadInputs, {}, true, -1, {}, answer));
  EXPECT_EQ(d->GetLastResult(), 4);
  EXPECT_EQ(d->GetLastAck(), 2);
  EXPECT_EQ(answer.INST, 2);

  std::uint8_t ack = 0x77;
  TBytes data{0x55};
  EXPECT_FALSE(d->Execute(velto::kInstReadInputs, TBytes{}, {}, true, -1, ack, data));
  EXPECT_EQ(ack, 0x77);
  EXPECT_EQ(data, TBytes{0x55});
  EXPECT_EQ(d->GetLastResult(), 4);

  EXPECT_TRUE(d->ExecuteWaiting(velto::kInstReadInputs, {}, -1, ack, data));
  EXPECT_EQ(ack, 2);
  EXPECT_EQ(data, TBytes{0x09});
}

TEST_F(DeviceEngineTest, TimeOut) {
  auto d = Attach(0x31);
  d->SetTimeout(60);
  TTervanFormat97 answer;
  const std::uint32_t start = GetTickCount32();
  EXPECT_FALSE(d->Exchange(velto::kInstReadInputs, {}, true, -1, {}, answer));
  EXPECT_GE(GetTickCount32() - start, 60u);
  EXPECT_EQ(d->GetLastResult(), 2);
  EXPECT_EQ(d->GetLastAck(), -1);
  EXPECT_TRUE(d->SigInGrace(0));  // kept for the late answer
  std::uint8_t ack = 0;
  TBytes data;
  EXPECT_FALSE(d->ExecuteWaiting(velto::kInstReadInputs, {}, 30, ack, data));
}

TEST_F(DeviceEngineTest, ClosedTransport) {
  auto d = Attach(0x31);
  Transport->SetActiveFlag(false);
  TTervanFormat97 answer;
  EXPECT_FALSE(d->Exchange(velto::kInstReadInputs, {}, true, -1, {}, answer));
  EXPECT_EQ(d->GetLastResult(), 2);
  // Not waiting: the closed transport takes no bytes, so nothing was sent.
  EXPECT_FALSE(d->Exchange(velto::kInstReadInputs, {}, false, -1, {}, answer));
  EXPECT_TRUE(d->SigItem(0).Free);
  EXPECT_EQ(Transport->WriteCount(), 0u);
}

TEST_F(DeviceEngineTest, FailingTransportEndsTheExchangeAsFailed) {
  auto d = Attach(0x31);
  Transport->SetResponder([](const TBytes&) -> TBytes { throw std::runtime_error("cable cut"); });
  TTervanFormat97 answer;
  bool result = true;
  EXPECT_NO_THROW(result = d->Exchange(velto::kInstReadInputs, {}, true, -1, {}, answer));
  EXPECT_FALSE(result);
  EXPECT_EQ(d->GetLastResult(), 2);
  EXPECT_TRUE(d->SigItem(0).Free);
  EXPECT_NO_THROW(result = d->Execute(velto::kInstSetOutputs, TBytes{0x81}, {}, false, -1));
  EXPECT_FALSE(result);
  EXPECT_EQ(d->GetLastResult(), 2);
}

TEST_F(DeviceEngineTest, AnswerFoundBeforeAReportOnOtherBytesStillCounts) {
  auto d = Attach(0x31);
  Transport->Feed(BuildPacket(0xFF, 0, 0x00, {}));
  Transport->SetResponder(Peer([](const TTervanFormat97&) { return TAnswer{0, {0x01}}; }));
  TBytes data;
  EXPECT_TRUE(d->Execute(velto::kInstReadInputs, TBytes{}, {}, true, -1, data));
  EXPECT_EQ(data, TBytes{0x01});
  EXPECT_EQ(d->GetLastResult(), 1);
}

// A stack that hands over one fixed packet as every transaction's answer, as
// a stack of another make might, whatever its address.
class THandingStack : public TTervanStack {
 public:
  TBytes Handed;
  bool Transact(std::uint8_t, std::uint8_t, std::uint8_t, const TBytes&, TBytes& answer,
                std::int32_t) override {
    answer = Handed;
    return true;
  }
};

// Runs that share a line all start with the same signature: an answer that
// carries it but another module's address is never this device's, unless the
// device stands for any address.
TEST(DeviceAnswerAddressTest, OnlyTheDevicesOwnAddressAnswersAWaitingExchange) {
  const struct {
    std::uint8_t Device;
    std::uint8_t Answering;
    bool Taken;
  } cases[] = {{0x37, 0x37, true}, {0x37, 200, false}, {0x37, 0x31, false},
               {tervan::kAdrUniversal, 200, true}};
  for (const auto& c : cases) {
    auto stack = Make<THandingStack>();
    stack->Handed = BuildPacket(c.Answering, 0, 0x00, {0x07});
    auto d = Make<TTervanStackDevice>(c.Device);
    d->SetStack(TIntf<ITervanStack>(stack));
    TBytes data;
    EXPECT_EQ(d->Execute(velto::kInstReadInputs, TBytes{}, {}, true, -1, data), c.Taken)
        << int{c.Device} << " answered by " << int{c.Answering};
    EXPECT_EQ(d->GetLastResult(), c.Taken ? 1 : 2) << int{c.Device} << " / " << int{c.Answering};
    EXPECT_EQ(data, c.Taken ? TBytes{0x07} : TBytes{});
    EXPECT_TRUE(d->SigItem(0).Free);
    d->SetStack(nullptr);
  }
}

TEST_F(DeviceEngineTest, OversizedDataRaisesBeforeAnythingIsSent) {
  auto d = Attach(0x31);
  TTervanFormat97 answer;
  EXPECT_THROW(d->Exchange(velto::kInstReadInputs, TBytes(70000, 0), true, -1, {}, answer),
               ETervanPacketError);
  EXPECT_EQ(Transport->WriteCount(), 0u);
  EXPECT_TRUE(d->SigItem(0).Free);
}

// ---------------------------------------------------------------- unwaited exchanges

TEST_F(DeviceEngineTest, UnwaitedRequestsTakeTheNextFreeSignature) {
  auto d = Attach(0x31);
  TTervanFormat97 answer;
  ASSERT_TRUE(d->Exchange(velto::kInstSetOutputs, {0x81}, false, 5000, {}, answer));
  ASSERT_TRUE(d->Exchange(velto::kInstSetOutputs, {0x82}, false, 5000, {}, answer));
  EXPECT_EQ(WrittenSigs(), (std::vector<int>{0, 1}));
  EXPECT_FALSE(d->SigItem(0).Free);
  EXPECT_FALSE(d->SigItem(1).Free);
  EXPECT_EQ(d->SigItem(1).INST, 0x20);
  EXPECT_EQ(d->GetLastResult(), 0);

  Transport->Deliver(BuildPacket(0x31, 0, 0x00, {}));  // answer to the first
  EXPECT_TRUE(d->SigItem(0).Free);
  ASSERT_TRUE(d->Exchange(velto::kInstSetOutputs, {0x83}, false, 5000, {}, answer));
  EXPECT_EQ(WrittenSigs(), (std::vector<int>{0, 1, 2}));
}

TEST_F(DeviceEngineTest, CallbackGetsTheRequestAsSentAndTheAnswer) {
  auto d = Attach(0x31);
  TTervanFormat97 seenRequest, seenAnswer;
  int calls = 0;
  auto callback = [&](const TTervanFormat97& request, const TTervanFormat97& answer) {
    ++calls;
    seenRequest = request;
    seenAnswer = answer;
  };
  const double before = NowDateTime();
  ASSERT_TRUE(d->Execute(velto::kInstSetOutputs, TBytes{0x83}, callback, false, 5000));
  const double after = NowDateTime();
  TTervanStackItemSIG slot = d->SigItem(0);
  EXPECT_FALSE(slot.Free);
  EXPECT_TRUE(static_cast<bool>(slot.Callback));
  // The local date of the taking, not of the look.
  EXPECT_GE(slot.Taken, before);
  EXPECT_LE(slot.Taken, after);

  Transport->Deliver(BuildPacket(0x31, 0, 0x00, {0x42}));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seenRequest.ADR, 0x31);
  EXPECT_EQ(seenRequest.SIG, 0);
  EXPECT_EQ(seenRequest.INST, 0x20);
  EXPECT_EQ(seenRequest.Data, TBytes{0x83});
  EXPECT_EQ(seenAnswer.Data, TBytes{0x42});
  EXPECT_TRUE(d->SigItem(0).Free);

  Transport->Deliver(BuildPacket(0x31, 0, 0x00, {0x43}));  // a second answer finds the slot free
  EXPECT_EQ(calls, 1);
}

TEST_F(DeviceEngineTest, LateAnswerFindsTheSlotFreeAndIsDropped) {
  auto d = Attach(0x31);
  d->SetTimeout(30);
  TTervanFormat97 answer;
  EXPECT_FALSE(d->Exchange(velto::kInstReadInputs, {}, true, -1, {}, answer));
  Transport->Deliver(BuildPacket(0x31, 0, 0x00, {0x01}));
  ASSERT_EQ(d->Answers().size(), 1u);  // it reached the answer handling ...
  TTervanStackItemSIG slot = d->SigItem(0);
  EXPECT_TRUE(slot.Free);  // ... and left nothing behind
  EXPECT_TRUE(slot.Answer.Data.empty());
}

TEST_F(DeviceEngineTest, StaleSlotIsTakenAgainAfterItsDeadline) {
  TTickShift tick;
  auto d = Attach(0x31);
  TTervanFormat97 answer;
  ASSERT_TRUE(d->Exchange(velto::kInstSetOutputs, {}, false, 20, {}, answer));
  tick.Advance(40);
  ASSERT_TRUE(d->Exchange(0x21, {}, false, 5000, {}, answer));
  EXPECT_EQ(WrittenSigs(), (std::vector<int>{0, 0}));
  EXPECT_EQ(d->SigItem(0).INST, 0x21);
}

// An answer that comes after its slot's deadline still runs its callback; a
// follow-up request sent from that callback may take the very same signature
// and must not lose its slot when the first answer's handling ends.
TEST_F(DeviceEngineTest, RequestChainedFromALateAnswersCallbackKeepsItsSlot) {
  TTickShift tick;
  auto d = Attach(0x31);
  int second = 0;
  auto chained = [&](const TTervanFormat97&, const TTervanFormat97&) { ++second; };
  int first = 0;
  TTervanFormat97 answer;
  ASSERT_TRUE(d->Exchange(
      0x20, {0x01}, false, 20,
      [&](const TTervanFormat97&, const TTervanFormat97&) {
        ++first;
        TTervanFormat97 ignored;
        d->Exchange(velto::kInstSetOutputs, {0x02}, false, 5000, chained, ignored);
      },
      answer));
  tick.Advance(40);  // the slot is stale now, but still holds its request
  Transport->Deliver(BuildPacket(0x31, 0, 0x00, {}));
  EXPECT_EQ(first, 1);
  ASSERT_EQ(WrittenSigs(), (std::vector<int>{0, 0}));
  EXPECT_FALSE(d->SigItem(0).Free) << "the chained request's slot was freed";
  Transport->Deliver(BuildPacket(0x31, 0, 0x00, {}));
  EXPECT_EQ(second, 1);
  EXPECT_TRUE(d->SigItem(0).Free);
}

// A waiting exchange that timed out hands what it set aside to the receive
// path after its slot's deadline; a request sent from there takes the next
// slot, and the end of the waiting exchange must leave it taken.
TEST_F(DeviceEngineTest, RequestSentWhileATimedOutExchangeEndsKeepsItsSlot) {
  auto d = Attach(0x31);
  Transport->SetResponder([](const TBytes&) { return BuildPacket(0x31, 0x44, 13, {}); });
  int calls = 0;
  d->NotificationAction = [&](const TTervanFormat97&) {
    TTervanFormat97 ignored;
    d->Exchange(
        0x20, {0x05}, false, 5000, [&](const TTervanFormat97&, const TTervanFormat97&) { ++calls; },
        ignored);
  };
  TTervanFormat97 answer;
  EXPECT_FALSE(d->Exchange(velto::kInstReadInputs, {}, true, 30, {}, answer));
  d->NotificationAction = nullptr;
  ASSERT_EQ(WrittenSigs(), (std::vector<int>{0, 1}));
  EXPECT_FALSE(d->SigItem(1).Free) << "the unwaited request's slot was freed";
  Transport->Deliver(BuildPacket(0x31, 1, 0x00, {}));
  EXPECT_EQ(calls, 1);
}

// ---------------------------------------------------------------- fixed signature

TEST_F(DeviceEngineTest, FixedSignature) {
  auto d = Attach(0x31);
  d->SetFixedSig(7);
  Transport->SetResponder(Peer([](const TTervanFormat97&) { return TAnswer{0, {0x05}}; }));
  TBytes data;
  EXPECT_TRUE(d->Execute(velto::kInstReadInputs, TBytes{}, {}, true, -1, data));
  EXPECT_EQ(data, TBytes{0x05});

  Transport->SetResponder(nullptr);
  int calls = 0;
  ASSERT_TRUE(d->Execute(
      0x20, TBytes{0x81}, [&](const TTervanFormat97&, const TTervanFormat97&) { ++calls; }, false,
      5000));
  ASSERT_TRUE(d->Execute(velto::kInstSetOutputs, TBytes{0x82}, {}, false, 5000));
  EXPECT_EQ(WrittenSigs(), (std::vector<int>{7, 7, 7}));
  EXPECT_TRUE(d->SigItem(7).Free);
  Transport->Deliver(BuildPacket(0x31, 7, 0x00, {}));
  EXPECT_EQ(calls, 0);
}

// ---------------------------------------------------------------- overload

TEST_F(DeviceEngineTest, AllSlotsTakenSearchesOnUntilADeadlineFreesOne) {
  TTickShift tick;
  TAlertCatcher alerts;
  auto d = Attach(0x31);
  TTervanFormat97 answer;
  for (int i = 0; i < 256; ++i)
    ASSERT_TRUE(d->Exchange(velto::kInstSetOutputs, {}, false, 60000, {}, answer));
  // Once the engine reports that every slot is in use, time moves past their
  // deadlines; not one moment before.
  std::atomic<bool> moved{false};
  std::thread clock([&] {
    for (std::uint32_t start = MonotonicTick32();
         alerts.Count("SIG stack overload") == 0 && MonotonicTick32() - start < 60000;)
      std::this_thread::yield();
    moved = true;
    tick.Advance(60001);
  });
  const bool taken = d->Exchange(0x21, {}, false, 5000, {}, answer);
  const bool afterTheDeadlines = moved;
  clock.join();
  EXPECT_TRUE(taken);
  EXPECT_TRUE(afterTheDeadlines) << "a slot was taken while every slot was still in use";
  EXPECT_GE(alerts.Count("SIG stack overload"), 1u);
  EXPECT_EQ(alerts.Count("SIG stack overload"), alerts.Lines().size());
  EXPECT_EQ(Transport->WriteCount(), 257u);
}

// ---------------------------------------------------------------- routing

TEST_F(DeviceEngineTest, FailingCallbackIsReportedAndTheSlotFreed) {
  TAlertCatcher alerts;
  auto d = Attach(0x31);
  ASSERT_TRUE(d->Execute(
      0x20, TBytes{},
      [](const TTervanFormat97&, const TTervanFormat97&) { throw std::runtime_error("x"); }, false,
      5000));
  Transport->Deliver(BuildPacket(0x31, 0, 0x00, {}));
  EXPECT_EQ(alerts.Lines(), std::vector<std::string>{"e1"});
  EXPECT_TRUE(d->SigItem(0).Free);
}

TEST_F(DeviceEngineTest, FailingNotificationIsReportedAndOthersStillServed) {
  TAlertCatcher alerts;
  auto a = Attach(0x31);
  auto b = Attach(0x31);
  a->NotificationAction = [](const TTervanFormat97&) { throw std::runtime_error("x"); };
  Transport->Deliver(BuildPacket(0x31, 0, 13, {}));
  EXPECT_EQ(alerts.Lines(), std::vector<std::string>{"e2"});
  EXPECT_EQ(b->Notifications().size(), 1u);
}

TEST_F(DeviceEngineTest, BaseDeviceIgnoresNotificationsAndOtherCodes) {
  auto d = Make<TTervanStackDevice>(0x31);
  d->SetStack(TIntf<ITervanStack>(Stack));
  TAlertCatcher alerts;
  Transport->Deliver(Concat({BuildPacket(0x31, 0, 13, {}), BuildPacket(0x31, 0, 9, {})}));
  EXPECT_TRUE(alerts.Lines().empty());
  d->SetStack(nullptr);
}

// ---------------------------------------------------------------- settings

class DeviceSettingsTest : public ::testing::Test {
 protected:
  pugi::xml_document Doc;
  pugi::xml_node Element = Doc.append_child("device");
  TXmlNode Node = MakeXmlNode(Element);
};

TEST_F(DeviceSettingsTest, SavesAddressAsHashDollarHexAndTheFixedSignature) {
  auto d = Make<TTervanStackDevice>(0x31);
  d->SetFixedSig(9);
  d->SetNode(Node);
  d->SaveToNode();
  EXPECT_STREQ(Element.attribute("ADR").value(), "#$31");
  EXPECT_STREQ(Element.attribute("fixedSIG").value(), "9");
  EXPECT_EQ(Element.attribute("GUID").value(), d->GetGUIDString());
  d->SetAddress(0x0A);
  d->SaveToNode();
  EXPECT_STREQ(Element.attribute("ADR").value(), "#$0A");
}

TEST_F(DeviceSettingsTest, AddressTexts) {
  EXPECT_EQ(TTervanStackDevice::AddressFromText("1"), 0x31);
  EXPECT_EQ(TTervanStackDevice::AddressFromText("#$32"), 0x32);
  EXPECT_EQ(TTervanStackDevice::AddressFromText("#50"), 50);
  EXPECT_EQ(TTervanStackDevice::AddressFromText("#0x1FE"), 0xFE);
  EXPECT_EQ(TTervanStackDevice::AddressFromText("#-1"), 0xFF);
  EXPECT_EQ(TTervanStackDevice::AddressFromText("#"), 0x23);  // one character: its code
  EXPECT_EQ(TTervanStackDevice::AddressFromText("#zz"), 0);
  EXPECT_EQ(TTervanStackDevice::AddressFromText("12"), 0);
  EXPECT_EQ(TTervanStackDevice::AddressFromText(""), 0);
}

TEST_F(DeviceSettingsTest, LoadsAddressAndFixedSignature) {
  Element.append_attribute("ADR") = "#$33";
  Element.append_attribute("fixedSIG") = "5";
  Element.append_attribute("name") = "probe";
  auto d = Make<TTervanStackDevice>(Node, TIntf<IInterface>());
  EXPECT_EQ(d->GetAddress(), 0x33);
  EXPECT_EQ(d->GetFixedSig(), 5);
  EXPECT_EQ(d->GetName(), "probe");
  d->SetAddress(0x34);
  d.reset();  // the node receives the final state
  EXPECT_STREQ(Element.attribute("ADR").value(), "#$34");
}

TEST_F(DeviceSettingsTest, MissingFixedSignatureMeansAllocated) {
  auto d = Make<TTervanStackDevice>(0x31);
  d->SetFixedSig(4);
  Element.append_attribute("ADR") = "2";
  d->LoadFromNode(Node, false, true);
  EXPECT_EQ(d->GetAddress(), 0x32);
  EXPECT_EQ(d->GetFixedSig(), 0);
  EXPECT_EQ(d->GetNode(), Node);  // the node is set whatever the flags say
}

TEST_F(DeviceSettingsTest, BadFixedSignatureIsAClearError) {
  auto d = Make<TTervanStackDevice>(0x31);
  Element.append_attribute("fixedSIG") = "seven";
  EXPECT_THROW(d->LoadFromNode(Node, true, false), EConvertError);
  Element.attribute("fixedSIG") = "300";
  EXPECT_THROW(d->LoadFromNode(Node, true, false), EConvertError);
}

}  // namespace
