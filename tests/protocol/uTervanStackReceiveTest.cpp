// The receive path: framing, resynchronisation, buffer cap and dispatch.
#include <gtest/gtest.h>

#include <random>

#include "uStackTestKit.h"

namespace {

using namespace stacktest;

class StackReceiveTest : public StackFixture {};

TEST_F(StackReceiveTest, GarbageBeforeAPacketIsDiscarded) {
  auto d31 = Attach(0x31);
  Stack->Receive(Concat({Hex("41 42"), BuildPacket(0x31, 0, 0x00, {0x07})}));
  auto packets = d31->Packets();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].ADR, 0x31);
  EXPECT_EQ(packets[0].Data, TBytes{0x07});
  EXPECT_EQ(Stack->RxBufferSize(), 0u);
}

TEST_F(StackReceiveTest, TwoPacketsInOneCallAfterGarbage) {
  auto d31 = Attach(0x31);
  Stack->Receive(Concat(
      {Hex("00 13 FF"), BuildPacket(0x31, 1, 0x00, {}), BuildPacket(0x31, 2, 0x0D, {0x01, 0x02})}));
  auto packets = d31->Packets();
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].SIG, 1);
  EXPECT_EQ(packets[1].SIG, 2);
  EXPECT_EQ(packets[1].INST, 0x0D);
  EXPECT_EQ(Stack->RxBufferSize(), 0u);
}

TEST_F(StackReceiveTest, PacketSplitAcrossCallsIsDeliveredOnceWhenComplete) {
  auto d31 = Attach(0x31);
  TBytes p = BuildPacket(0x31, 0, 0x00, BytesOf("abc"));
  Stack->Receive(TBytes(p.begin(), p.begin() + 4));
  EXPECT_TRUE(d31->Packets().empty());
  EXPECT_EQ(Stack->RxBufferSize(), 4u);
  Stack->Receive(TBytes(p.begin() + 4, p.end()));
  ASSERT_EQ(d31->Packets().size(), 1u);
  EXPECT_EQ(d31->Packets()[0].Data, BytesOf("abc"));
  EXPECT_EQ(Stack->RxBufferSize(), 0u);
}

TEST_F(StackReceiveTest, PacketArrivingByteByByte) {
  auto d31 = Attach(0x31);
  TBytes p = BuildPacket(0x31, 3, 0x00, BytesOf("xyz"));
  for (std::uint8_t b : p) Stack->Receive(TBytes{b});
  ASSERT_EQ(d31->Packets().size(), 1u);
  EXPECT_EQ(d31->Packets()[0].SIG, 3);
}

TEST_F(StackReceiveTest, BadChecksumWithoutStarIsDroppedWholeAndNextPacketDelivered) {
  auto d31 = Attach(0x31);
  TBytes bad = BuildPacket(0x31, 5, 0x00, {0x01});
  bad[bad.size() - 2] ^= 0x55;
  Stack->Receive(Concat({bad, BuildPacket(0x31, 6, 0x00, {0x02})}));
  auto packets = d31->Packets();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].SIG, 6);
  EXPECT_EQ(Stack->RxBufferSize(), 0u);
}

TEST_F(StackReceiveTest, PacketStartingInsideADamagedOneIsFound) {
  auto d31 = Attach(0x31);
  TBytes inner = BuildPacket(0x31, 9, 0x00, {0x44});
  // A header that claims exactly the bytes of the packet behind it plus two:
  // the claimed frame fails its check and the real packet starts inside it.
  TBytes outer = Hex("2A 61 00 00 31 00 00");
  std::size_t claimed = 3 + inner.size() + 2;  // ADR SIG INST + inner + SUM CR
  outer[2] = static_cast<std::uint8_t>(claimed >> 8);
  outer[3] = static_cast<std::uint8_t>(claimed & 0xFF);
  Stack->Receive(Concat({outer, inner, Hex("00 0D")}));
  auto packets = d31->Packets();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].SIG, 9);
  EXPECT_EQ(packets[0].Data, TBytes{0x44});
  EXPECT_EQ(Stack->RxBufferSize(), 0u);
}

TEST_F(StackReceiveTest, PacketForUnknownAddressIsRemovedAndDeliveredNowhere) {
  auto d31 = Attach(0x31);
  Stack->Receive(BuildPacket(0x32, 0, 0x00, {}));
  EXPECT_TRUE(d31->Packets().empty());
  EXPECT_EQ(Stack->RxBufferSize(), 0u);
}

TEST_F(StackReceiveTest, UniversalAddressReachesEveryDeviceAndUniversalDeviceHearsAll) {
  auto d31 = Attach(0x31);
  auto d32 = Attach(0x32);
  auto dFE = Attach(0xFE);
  Stack->Receive(BuildPacket(0xFE, 1, 0x0D, {}));
  EXPECT_EQ(d31->Packets().size(), 1u);
  EXPECT_EQ(d32->Packets().size(), 1u);
  EXPECT_EQ(dFE->Packets().size(), 1u);
  Stack->Receive(BuildPacket(0x32, 2, 0x0D, {}));
  EXPECT_EQ(d31->Packets().size(), 1u);
  EXPECT_EQ(d32->Packets().size(), 2u);
  EXPECT_EQ(dFE->Packets().size(), 2u);
  Stack->Receive(BuildPacket(0x77, 3, 0x0D, {}));
  EXPECT_EQ(dFE->Packets().size(), 3u);
  EXPECT_EQ(dFE->Packets()[2].ADR, 0x77);
}

TEST_F(StackReceiveTest, DevicesAreServedInChildOrder) {
  std::vector<int> order;
  auto a = Attach(0x31);
  auto b = Attach(0x31);
  a->NotificationAction = [&](const TTervanFormat97&) { order.push_back(1); };
  b->NotificationAction = [&](const TTervanFormat97&) { order.push_back(2); };
  Stack->Receive(BuildPacket(0x31, 0, 0x0D, {}));
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST_F(StackReceiveTest, BroadcastAddressIsReportedAndDroppedSoReceivingGoesOn) {
  auto d31 = Attach(0x31);
  try {
    Stack->Receive(BuildPacket(0xFF, 0, 0x00, {}));
    FAIL() << "no report";
  } catch (const ETervanStackError& e) {
    EXPECT_STREQ(e.what(), "RCV packet ADR=$FF !");
  }
  EXPECT_EQ(Stack->RxBufferSize(), 0u);
  Stack->Receive(BuildPacket(0x31, 4, 0x00, {}));
  ASSERT_EQ(d31->Packets().size(), 1u);
  EXPECT_EQ(d31->Packets()[0].SIG, 4);
}

// The report comes after the packets behind it were delivered: a stray
// broadcast packet must not hold up an answer that arrived with it.
TEST_F(StackReceiveTest, BroadcastPacketBeforeAnotherStillLetsTheOtherThrough) {
  auto d31 = Attach(0x31);
  EXPECT_THROW(
      Stack->Receive(Concat({BuildPacket(0xFF, 0, 0x00, {}), BuildPacket(0x31, 1, 0x00, {})})),
      ETervanStackError);
  ASSERT_EQ(d31->Packets().size(), 1u);
  EXPECT_EQ(d31->Packets()[0].SIG, 1);
  EXPECT_EQ(Stack->RxBufferSize(), 0u);
}

TEST_F(StackReceiveTest, EmptyInputDoesNothingEvenWithCompletePacketsBuffered) {
  auto d31 = Attach(0x31);
  // More than a thousand packets while bytes wait at the transport: the call
  // yields and leaves complete packets in the buffer.
  TBytes flood;
  const int total = TTervanStack::kPassesBeforeYield + 5;
  for (int i = 0; i < total; ++i) {
    TBytes p = BuildPacket(0x31, static_cast<std::uint8_t>(i), 0x0D, {});
    flood.insert(flood.end(), p.begin(), p.end());
  }
  Transport->Feed(Hex("00"));  // something waits at the transport
  Stack->Receive(flood);
  const std::size_t first = d31->Packets().size();
  EXPECT_EQ(first, static_cast<std::size_t>(TTervanStack::kPassesBeforeYield));
  const std::size_t buffered = Stack->RxBufferSize();
  EXPECT_GT(buffered, 0u);

  Stack->Receive(TBytes{});
  EXPECT_EQ(d31->Packets().size(), first);
  EXPECT_EQ(Stack->RxBufferSize(), buffered);

  Transport->Read(flood);  // nothing waits any more
  Stack->Receive(Hex("00"));
  EXPECT_EQ(d31->Packets().size(), static_cast<std::size_t>(total));
}

TEST_F(StackReceiveTest, WithoutWaitingBytesAFloodIsHandledInOneCall) {
  auto d31 = Attach(0x31);
  TBytes flood;
  const int total = 3 * TTervanStack::kPassesBeforeYield;
  for (int i = 0; i < total; ++i) {
    TBytes p = BuildPacket(0x31, 0, 0x0D, {});
    flood.insert(flood.end(), p.begin(), p.end());
  }
  Stack->Receive(flood);
  EXPECT_EQ(d31->Packets().size(), static_cast<std::size_t>(total));
  EXPECT_EQ(Stack->RxBufferSize(), 0u);
}

TEST_F(StackReceiveTest, BufferPastTheCapKeepsOnlyItsNewestBytes) {
  auto d31 = Attach(0x31);
  TBytes oldest = BuildPacket(0x31, 1, 0x00, {});
  TBytes newest = BuildPacket(0x31, 2, 0x00, {});
  TBytes filler(TTervanStack::kRxBufferCap + 1000, 0x00);
  Stack->Receive(Concat({oldest, filler, newest}));
  auto packets = d31->Packets();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].SIG, 2);
}

TEST_F(StackReceiveTest, BufferJustBelowTheCapLosesNothing) {
  auto d31 = Attach(0x31);
  TBytes first = BuildPacket(0x31, 1, 0x00, {});
  TBytes second = BuildPacket(0x31, 2, 0x00, {});
  TBytes filler(TTervanStack::kRxBufferCap - first.size() - second.size(), 0x00);
  Stack->Receive(Concat({first, filler, second}));
  EXPECT_EQ(d31->Packets().size(), 2u);
}

// The cap counts what was already buffered: a header still waiting for its
// bytes plus a second call pass 131,072 bytes by one, and exactly the newest
// 86,016 remain. `shift` moves a packet from the first kept byte to one before it.
void CutAtTheBoundary(TTervanStack& stack, std::size_t shift) {
  TBytes waiting = Hex("2A 61 FF F0");  // a header whose packet is not complete yet
  waiting.resize(20000, 0x00);
  stack.Receive(waiting);
  ASSERT_EQ(stack.RxBufferSize(), waiting.size());
  const std::size_t total = TTervanStack::kRxBufferCap + 1;
  const std::size_t firstKept = total - TTervanStack::kRxBufferKeep;
  ASSERT_GT(firstKept, waiting.size() + shift);
  TBytes more(total - waiting.size(), 0x00);
  const TBytes p = BuildPacket(0x31, 0x66, 0x0D, {});
  std::copy(p.begin(), p.end(),
            more.begin() + static_cast<std::ptrdiff_t>(firstKept - shift - waiting.size()));
  stack.Receive(more);
}

TEST_F(StackReceiveTest, CutKeepsAPacketStartingAtTheFirstKeptByte) {
  auto d31 = Attach(0x31);
  CutAtTheBoundary(*Stack, 0);
  ASSERT_EQ(d31->Packets().size(), 1u);
  EXPECT_EQ(d31->Packets()[0].SIG, 0x66);
  EXPECT_EQ(Stack->RxBufferSize(), 0u);
}

TEST_F(StackReceiveTest, CutLosesAPacketStartingOneByteEarlier) {
  auto d31 = Attach(0x31);
  CutAtTheBoundary(*Stack, 1);
  EXPECT_TRUE(d31->Packets().empty());
  EXPECT_EQ(Stack->RxBufferSize(), 0u);
}

TEST_F(StackReceiveTest, IncompleteHeaderWaitsWhileGarbageIsNotKept) {
  auto d31 = Attach(0x31);
  Stack->Receive(TBytes(5000, 0x55));
  EXPECT_EQ(Stack->RxBufferSize(), 0u);  // no packet can start in these bytes
  Stack->Receive(Hex("10 20 2A"));       // a lone "*" may still begin one
  EXPECT_EQ(Stack->RxBufferSize(), 1u);
  TBytes p = BuildPacket(0x31, 7, 0x00, {});
  Stack->Receive(TBytes(p.begin() + 1, p.end()));
  ASSERT_EQ(d31->Packets().size(), 1u);
  EXPECT_EQ(d31->Packets()[0].SIG, 7);
}

// Many packets, some with a damaged checksum or terminator, cut into random
// pieces: exactly the intact ones arrive, in order, whatever the cuts.
TEST_F(StackReceiveTest, OnlyIntactPacketsArriveWhateverTheCuts) {
  auto d31 = Attach(0x31);
  std::mt19937 random(4711);
  TBytes stream;
  std::vector<int> intact;
  for (int i = 0; i < 3000; ++i) {
    TBytes data(random() % 40);
    for (auto& b : data) b = static_cast<std::uint8_t>(random() % 0x2A);  // no "*" inside
    TBytes p = BuildPacket(0x31, static_cast<std::uint8_t>(i), 0x0D, data);
    switch (random() % 5) {
      case 0:
        p[p.size() - 2] ^= static_cast<std::uint8_t>(1 + random() % 255);
        break;
      case 1:
        p[p.size() - 1] = 0x0A;
        break;
      default:
        intact.push_back(i & 0xFF);
    }
    stream.insert(stream.end(), p.begin(), p.end());
  }
  for (std::size_t at = 0; at < stream.size();) {
    std::size_t n = std::min<std::size_t>(1 + random() % 97, stream.size() - at);
    Stack->Receive(stream.data() + at, n);
    at += n;
  }
  std::vector<int> got;
  for (const auto& p : d31->Packets()) got.push_back(p.SIG);
  EXPECT_EQ(got, intact);
  EXPECT_EQ(Stack->RxBufferSize(), 0u);
}

// Headers whose claimed length is never complete: kept while they may still
// complete, and cut away once they fail, so a packet behind them arrives.
TEST_F(StackReceiveTest, FalseHeadersGiveWayToTheRealPacketBehindThem) {
  auto d31 = Attach(0x31);
  TBytes falseHeaders;
  for (int i = 0; i < 20000; ++i) falseHeaders.insert(falseHeaders.end(), {0x2A, 0x61, 0xFF, 0xF0});
  Stack->Receive(falseHeaders);
  Stack->Receive(BuildPacket(0x31, 0x5A, 0x0D, {}));
  // The last false headers still wait for their bytes; a packet follows them.
  TBytes tail(70000, 0x00);
  Stack->Receive(tail);
  Stack->Receive(BuildPacket(0x31, 0x5B, 0x0D, {}));
  std::vector<int> got;
  for (const auto& p : d31->Packets()) got.push_back(p.SIG);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back(), 0x5B);
}

TEST_F(StackReceiveTest, DataReceivedAnnouncementRunsTheReceivePath) {
  auto d31 = Attach(0x31);
  Transport->Deliver(BuildPacket(0x31, 0, 0x0D, {0x01}));
  ASSERT_EQ(d31->Packets().size(), 1u);
  EXPECT_EQ(Transport->GetReceivedCount(), 0);
}

TEST_F(StackReceiveTest, UnboundStackStopsListeningAndForgetsHalfPackets) {
  auto d31 = Attach(0x31);
  TBytes p = BuildPacket(0x31, 0, 0x0D, {});
  Stack->Receive(TBytes(p.begin(), p.begin() + 5));
  EXPECT_EQ(Stack->RxBufferSize(), 5u);
  Stack->SetTransport(nullptr);
  EXPECT_EQ(Stack->RxBufferSize(), 0u);
  EXPECT_FALSE(static_cast<bool>(Transport->GetOnDataReceived()));
  Transport->Deliver(p);
  EXPECT_TRUE(d31->Packets().empty());
  EXPECT_EQ(Transport->GetReceivedCount(), static_cast<std::int32_t>(p.size()));
}

TEST_F(StackReceiveTest, AnswerRoutedByAcknowledgeCode) {
  auto d31 = Attach(0x31);
  Stack->Receive(Concat({BuildPacket(0x31, 0, 0x05, {}), BuildPacket(0x31, 0, 0x06, {}),
                         BuildPacket(0x31, 0, 0x09, {}), BuildPacket(0x31, 0, 0x0C, {}),
                         BuildPacket(0x31, 0, 0x0F, {}), BuildPacket(0x31, 0, 0x10, {})}));
  EXPECT_EQ(d31->Packets().size(), 6u);
  ASSERT_EQ(d31->Answers().size(), 1u);
  EXPECT_EQ(d31->Answers()[0].INST, 0x05);
  ASSERT_EQ(d31->Notifications().size(), 2u);
  EXPECT_EQ(d31->Notifications()[0].INST, 0x0C);
  EXPECT_EQ(d31->Notifications()[1].INST, 0x0F);
}

}  // namespace
