// Synchronous transactions: sending, collecting the matching answer, and
// handing every other byte to the receive path.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "framework/uTick.h"
#include "support/uTickShift.h"
#include "uStackTestKit.h"

namespace {

using namespace stacktest;

class StackTransactTest : public StackFixture {};
class ThreadedStackTransactTest : public StackFixture {};

TEST_F(StackTransactTest, SendsTheRequestAndReturnsTheWholeAnswer) {
  Transport->SetResponder([](const TBytes&) { return BuildPacket(0x31, 0, 0x00, {0x00, 0x05}); });
  TBytes answer;
  ASSERT_TRUE(Stack->Transact(0x31, 0, 0x31, {}, answer, 1000));
  EXPECT_EQ(HexOf(answer), "2A 61 00 07 31 00 00 00 05 37 0D");
  ASSERT_EQ(Transport->WriteCount(), 1u);
  EXPECT_EQ(HexOf(Transport->Written()[0]), "2A 61 00 05 31 00 31 0D 0D");
}

TEST_F(StackTransactTest, AnswerWithOtherSignatureIsNotTakenAndReachesTheReceivePath) {
  auto d31 = Attach(0x31);
  Transport->SetResponder([](const TBytes&) { return BuildPacket(0x31, 1, 0x00, {}); });
  TBytes answer{0xAA};
  EXPECT_FALSE(Stack->Transact(0x31, 0, 0x31, {}, answer, 120));
  EXPECT_TRUE(answer.empty());
  ASSERT_EQ(d31->Packets().size(), 1u);
  EXPECT_EQ(d31->Packets()[0].SIG, 1);
}

TEST_F(StackTransactTest, UniversalAddressAcceptsAnAnswerFromAnyAddress) {
  Transport->SetResponder([](const TBytes&) { return BuildPacket(0x31, 0, 0x00, {}); });
  TBytes answer;
  ASSERT_TRUE(Stack->Transact(0xFE, 0, 0xF0, {}, answer, 1000));
  EXPECT_EQ(answer[4], 0x31);
}

TEST_F(StackTransactTest, AnswerFromAnotherAddressIsNotTaken) {
  auto d32 = Attach(0x32);
  Transport->SetResponder([](const TBytes&) { return BuildPacket(0x32, 0, 0x00, {}); });
  TBytes answer;
  EXPECT_FALSE(Stack->Transact(0x31, 0, 0xF0, {}, answer, 100));
  EXPECT_EQ(d32->Packets().size(), 1u);
}

TEST_F(StackTransactTest, NotificationWithMatchingSignatureIsNeverTheAnswer) {
  auto d31 = Attach(0x31);
  Transport->SetResponder([](const TBytes&) { return BuildPacket(0x31, 0, 13, {0x01}); });
  TBytes answer;
  EXPECT_FALSE(Stack->Transact(0x31, 0, 0x31, {}, answer, 100));
  ASSERT_EQ(d31->Notifications().size(), 1u);
  EXPECT_EQ(d31->Notifications()[0].INST, 13);
}

TEST_F(StackTransactTest, NotificationAndAnswerInOneReadBothArrive) {
  auto d31 = Attach(0x31);
  Transport->SetResponder([](const TBytes&) {
    return Concat({BuildPacket(0x31, 0, 13, {0x02}), BuildPacket(0x31, 0, 0x00, {0x07})});
  });
  TBytes answer;
  const std::uint32_t start = GetTickCount32();
  ASSERT_TRUE(Stack->Transact(0x31, 0, 0x31, {}, answer, 1000));
  EXPECT_LT(GetTickCount32() - start, 900u) << "the answer was seen only at the deadline";
  EXPECT_EQ(ParsePacket(answer).Data, TBytes{0x07});
  ASSERT_EQ(d31->Notifications().size(), 1u);
  EXPECT_TRUE(d31->Answers().empty());
}

TEST_F(StackTransactTest, SeveralForeignPacketsAndGarbageBeforeTheAnswerInOneRead) {
  auto d31 = Attach(0x31);
  auto d33 = Attach(0x33);
  Transport->SetResponder([](const TBytes&) {
    return Concat({Hex("01 02"), BuildPacket(0x33, 4, 0x00, {}), Hex("99"),
                   BuildPacket(0x31, 0, 12, {}), BuildPacket(0x31, 0, 0x00, {0x11}),
                   BuildPacket(0x31, 0, 14, {})});
  });
  TBytes answer;
  ASSERT_TRUE(Stack->Transact(0x31, 0, 0x31, {}, answer, 1000));
  EXPECT_EQ(ParsePacket(answer).Data, TBytes{0x11});
  EXPECT_EQ(d33->Packets().size(), 1u);
  ASSERT_EQ(d31->Notifications().size(), 2u);  // the one before and the one after the answer
  EXPECT_EQ(d31->Notifications()[0].INST, 12);
  EXPECT_EQ(d31->Notifications()[1].INST, 14);
  EXPECT_EQ(Stack->RxBufferSize(), 0u);
}

// A damaged header whose length claims far more bytes than will ever come
// stands before the answer: the answer is still found in the same read, and
// what follows it still reaches the receive path.
TEST_F(StackTransactTest, AnswerBehindAHeaderThatNeverCompletesIsTaken) {
  auto d31 = Attach(0x31);
  TBytes damaged = BuildPacket(0x31, 7, 13, {0x01});
  damaged[2] = 0x7F;  // the length now claims some 32 KiB
  Transport->SetResponder([&](const TBytes&) {
    return Concat({damaged, BuildPacket(0x31, 0, 0x00, {0x21}), BuildPacket(0x31, 8, 14, {})});
  });
  TBytes answer;
  const std::uint32_t start = GetTickCount32();
  ASSERT_TRUE(Stack->Transact(0x31, 0, 0x31, {}, answer, 1000));
  EXPECT_LT(GetTickCount32() - start, 900u) << "the answer was seen only at the deadline";
  EXPECT_EQ(ParsePacket(answer).Data, TBytes{0x21});
  ASSERT_EQ(d31->Notifications().size(), 1u);
  EXPECT_EQ(d31->Notifications()[0].SIG, 8);
  EXPECT_TRUE(d31->Answers().empty());
}

// Noise that looks like the start of a short packet completes, with the first
// bytes of the answer, into a damaged 9-byte candidate; the answer inside it
// must still be found.
TEST_F(StackTransactTest, AnswerStartingInsideANoiseHeaderIsTaken) {
  auto d31 = Attach(0x31);
  Transport->SetResponder([&](const TBytes&) {
    return Concat({Hex("2A 61 00 05"), BuildPacket(0x31, 0, 0x00, {0x05})});
  });
  TBytes answer;
  ASSERT_TRUE(Stack->Transact(0x31, 0, 0x31, {}, answer, 1000));
  EXPECT_EQ(ParsePacket(answer).Data, TBytes{0x05});
  EXPECT_TRUE(d31->Packets().empty());
}

TEST_F(StackTransactTest, BytesWaitingBeforeTheRequestAreNotTheAnswer) {
  auto d31 = Attach(0x31);
  // An old answer with the very signature of the new request is waiting.
  Transport->Feed(BuildPacket(0x31, 0, 0x00, {0xEE}));
  Transport->SetResponder([](const TBytes&) { return BuildPacket(0x31, 0, 0x00, {0x01}); });
  TBytes answer;
  ASSERT_TRUE(Stack->Transact(0x31, 0, 0x31, {}, answer, 1000));
  EXPECT_EQ(ParsePacket(answer).Data, TBytes{0x01});
  ASSERT_EQ(d31->Packets().size(), 1u);
  EXPECT_EQ(d31->Packets()[0].Data, TBytes{0xEE});
}

TEST_F(StackTransactTest, InactiveTransportWritesNothingAndLeavesTheAnswerAlone) {
  Transport->SetActiveFlag(false);
  TBytes answer{0x01, 0x02};
  const std::uint32_t start = GetTickCount32();
  EXPECT_FALSE(Stack->Transact(0x31, 0, 0x31, {}, answer, 1000));
  EXPECT_LT(GetTickCount32() - start, 500u);
  EXPECT_EQ(answer, (TBytes{0x01, 0x02}));
  EXPECT_EQ(Transport->WriteCount(), 0u);
}

TEST_F(StackTransactTest, WithoutTransportNothingIsSent) {
  Stack->SetTransport(nullptr);
  TBytes answer;
  EXPECT_FALSE(Stack->Transact(0x31, 0, 0x31, {}, answer, 100));
  EXPECT_FALSE(Stack->Send(0x31, 0, 0x31, {}));
  EXPECT_EQ(Transport->WriteCount(), 0u);
}

TEST_F(StackTransactTest, SilenceEndsAtTheDeadline) {
  TBytes answer;
  const std::uint32_t start = GetTickCount32();
  EXPECT_FALSE(Stack->Transact(0x31, 0, 0x31, {}, answer, 150));
  const std::uint32_t took = GetTickCount32() - start;
  EXPECT_GE(took, 150u);
  EXPECT_TRUE(answer.empty());
}

TEST_F(StackTransactTest, RefusedWriteFailsWithoutWaitingForTheDeadline) {
  Transport->SetRefuseWrites(true);
  TBytes answer;
  const std::uint32_t start = GetTickCount32();
  EXPECT_FALSE(Stack->Transact(0x31, 0, 0x31, {}, answer, 5000));
  EXPECT_LT(GetTickCount32() - start, 2500u);
  EXPECT_FALSE(Stack->Send(0x31, 0, 0x31, {}));
}

TEST_F(ThreadedStackTransactTest, FailingTransportRaisesButStillHandsOnWhatWasReadAndUnlocks) {
  auto d31 = Attach(0x31);
  Transport->Feed(BuildPacket(0x31, 9, 13, {}));  // waiting before the request
  Transport->SetResponder([](const TBytes&) -> TBytes { throw std::runtime_error("line lost"); });
  TBytes answer;
  EXPECT_THROW(Stack->Transact(0x31, 0, 0x31, {}, answer, 1000), std::runtime_error);
  EXPECT_EQ(d31->Notifications().size(), 1u);
  std::atomic<bool> locked{false};
  std::thread other([&] {
    locked = Transport->TryLock();
    if (locked) Transport->Unlock();
  });
  other.join();
  EXPECT_TRUE(locked) << "the transport's lock was kept";
}

TEST_F(StackTransactTest, BroadcastAddressAmongOtherBytesIsReportedAfterTheAnswerIsKept) {
  Transport->Feed(BuildPacket(0xFF, 0, 0x00, {}));
  Transport->SetResponder([](const TBytes&) { return BuildPacket(0x31, 0, 0x00, {0x01}); });
  TBytes answer;
  EXPECT_THROW(Stack->Transact(0x31, 0, 0x31, {}, answer, 1000), ETervanStackError);
  ASSERT_FALSE(answer.empty());
  EXPECT_EQ(ParsePacket(answer).Data, TBytes{0x01});
  EXPECT_EQ(Stack->RxBufferSize(), 0u);
}

TEST_F(StackTransactTest, OversizedDataIsRefusedBeforeAnythingIsWritten) {
  TBytes answer;
  EXPECT_THROW(Stack->Transact(0x31, 0, 0x31, TBytes(0x10000, 0), answer, 100), ETervanPacketError);
  EXPECT_EQ(Transport->WriteCount(), 0u);
}

TEST_F(StackTransactTest, IncompleteRestAfterTheAnswerGoesToTheReceiveBuffer) {
  auto d31 = Attach(0x31);
  TBytes next = BuildPacket(0x31, 5, 13, {});
  Transport->SetResponder([&](const TBytes&) {
    return Concat({BuildPacket(0x31, 0, 0x00, {}), TBytes(next.begin(), next.begin() + 6)});
  });
  TBytes answer;
  ASSERT_TRUE(Stack->Transact(0x31, 0, 0x31, {}, answer, 1000));
  EXPECT_EQ(Stack->RxBufferSize(), 6u);
  Stack->Receive(TBytes(next.begin() + 6, next.end()));
  ASSERT_EQ(d31->Notifications().size(), 1u);
  EXPECT_EQ(d31->Notifications()[0].SIG, 5);
}

TEST_F(ThreadedStackTransactTest, AnswerInTwoPiecesFromThePeerThread) {
  TBytes full = BuildPacket(0x31, 0, 0x00, BytesOf("split"));
  std::thread peer([&] {
    ASSERT_TRUE(Transport->WaitWritten(1, 2000));
    Transport->Feed(TBytes(full.begin(), full.begin() + 5));
    // The rest only once the first piece was taken on its own.
    ASSERT_TRUE(Transport->WaitDrained(2000));
    Transport->Feed(TBytes(full.begin() + 5, full.end()));
  });
  TBytes answer;
  const bool ok = Stack->Transact(0x31, 0, 0x31, {}, answer, 2000);
  peer.join();
  ASSERT_TRUE(ok);
  EXPECT_EQ(answer, full);
}

// However short the time-out, the request gets one whole polling pass
// (50 ms) for its answer, as when the deadline passed while the transaction
// waited for the line.
TEST_F(StackTransactTest, AnswerWithinOnePassIsTakenWhateverTheTimeOut) {
  TTickShift tick;
  TBytes full = BuildPacket(0x31, 0, 0x00, {0x01});
  Transport->SetResponder([&](const TBytes&) {
    tick.Advance(5);  // past the deadline, well within the pass
    return full;
  });
  TBytes answer;
  EXPECT_TRUE(Stack->Transact(0x31, 0, 0x31, {}, answer, 1));
  EXPECT_EQ(answer, full);
}

TEST_F(ThreadedStackTransactTest, AnnouncementDuringATransactionIsDeliveredOnce) {
  auto d31 = Attach(0x31);
  TBytes note = BuildPacket(0x31, 3, 13, {});
  std::thread peer([&] {
    ASSERT_TRUE(Transport->WaitWritten(1, 2000));
    Transport->Deliver(note);  // blocks on the transport's lock until the transaction ends
    Transport->Deliver(BuildPacket(0x31, 0, 0x00, {}));
  });
  TBytes answer;
  Stack->Transact(0x31, 0, 0x31, {}, answer, 200);
  peer.join();
  // Whichever side read the notification, it reached the device exactly once.
  EXPECT_EQ(d31->Notifications().size(), 1u);
  EXPECT_EQ(Transport->GetReceivedCount(), 0);
}

}  // namespace
