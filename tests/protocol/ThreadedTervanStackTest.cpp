// The stack and devices used from several threads at once: a transport
// thread delivering data while the application thread exchanges.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "framework/uTick.h"
#include "uStackTestKit.h"

namespace {

using namespace stacktest;

class ThreadedStackTest : public StackFixture {};

// A peer thread answers each written request by delivering the answer, as a
// transport's receive thread would; notifications are interleaved.
TEST_F(ThreadedStackTest, UnwaitedRequestsAnsweredFromAReceiveThread) {
  auto d = Attach(0x31);
  constexpr int kRequests = 200;
  std::atomic<int> answered{0};
  std::atomic<bool> stop{false};
  std::thread peer([&] {
    std::size_t seen = 0;
    while (!stop) {
      if (!Transport->WaitWritten(seen + 1, 20)) continue;
      auto written = Transport->Written();
      for (; seen < written.size(); ++seen) {
        TTervanFormat97 request = ParsePacket(written[seen]);
        Transport->Deliver(Concat({BuildPacket(0x31, 0x10, 13, {}),
                                   BuildPacket(request.ADR, request.SIG, 0, request.Data)}));
      }
    }
  });
  for (int i = 0; i < kRequests; ++i) {
    const TBytes data{static_cast<std::uint8_t>(i)};
    ASSERT_TRUE(d->Execute(
        0x20, data,
        [&, data](const TTervanFormat97& request, const TTervanFormat97& answer) {
          if (request.Data == data && answer.Data == data) ++answered;
        },
        false, 5000));
  }
  const std::uint32_t deadline = GetTickCount32() + 5000;
  while (answered < kRequests && !TickAfter(GetTickCount32(), deadline)) SleepMs(1);
  stop = true;
  peer.join();
  EXPECT_EQ(answered.load(), kRequests);
  EXPECT_EQ(d->Notifications().size(), static_cast<std::size_t>(kRequests));
}

// Waiting exchanges on the application thread while another thread keeps
// delivering notifications: every exchange gets its answer, every
// notification arrives exactly once, and nothing deadlocks.
TEST_F(ThreadedStackTest, WaitingExchangesWhileNotificationsPourIn) {
  auto d = Attach(0x31);
  Transport->SetResponder(Peer([](const TTervanFormat97& r) { return TAnswer{0, r.Data}; }));
  constexpr int kNotes = 300;
  std::thread notifier([&] {
    for (int i = 0; i < kNotes; ++i) {
      Transport->Deliver(BuildPacket(0x31, static_cast<std::uint8_t>(i), 13, {}));
      if (i % 16 == 0) SleepMs(1);
    }
  });
  int ok = 0;
  for (int i = 0; i < 100; ++i) {
    TBytes data;
    if (d->Execute(velto::kInstReadInputs, TBytes{static_cast<std::uint8_t>(i)}, {}, true, 2000,
                   data) &&
        data == TBytes{static_cast<std::uint8_t>(i)})
      ++ok;
  }
  notifier.join();
  EXPECT_EQ(ok, 100);
  // What a transaction set aside went through the receive path too.
  Stack->Receive(TBytes{0x00});
  EXPECT_EQ(d->Notifications().size(), static_cast<std::size_t>(kNotes));
}

// Two application threads on two devices of one stack: the transport's lock
// serialises their transactions and each gets its own answer.
TEST_F(ThreadedStackTest, TwoDevicesTransactFromTwoThreads) {
  auto a = Attach(0x31);
  auto b = Attach(0x32);
  Transport->SetResponder(Peer([](const TTervanFormat97& r) { return TAnswer{0, {r.ADR}}; }));
  std::atomic<int> good{0};
  auto run = [&](TIntf<TProbeDevice> device, std::uint8_t address) {
    for (int i = 0; i < 100; ++i) {
      TBytes data;
      if (device->Execute(velto::kInstReadInputs, TBytes{}, {}, true, 2000, data) &&
          data == TBytes{address})
        ++good;
    }
  };
  std::thread ta(run, a, std::uint8_t{0x31});
  std::thread tb(run, b, std::uint8_t{0x32});
  ta.join();
  tb.join();
  EXPECT_EQ(good.load(), 200);
}

// Devices come and go while a receive thread dispatches and the application
// thread exchanges: nothing deadlocks, every exchange gets its answer, and a
// device that stays attached hears every notification.
TEST_F(ThreadedStackTest, DevicesAttachAndDetachWhileDispatching) {
  auto d = Attach(0x31);
  Transport->SetResponder(Peer([](const TTervanFormat97& r) { return TAnswer{0, r.Data}; }));
  std::atomic<bool> stop{false};
  constexpr int kNotes = 300;
  std::thread notifier([&] {
    for (int i = 0; i < kNotes; ++i)
      Transport->Deliver(BuildPacket(0xFE, static_cast<std::uint8_t>(i), 13, {}));
  });
  std::thread mover([&] {
    while (!stop) {
      auto other = Make<TProbeDevice>(0x31);
      other->SetStack(TIntf<ITervanStack>(Stack));
      TTervanFormat97 ignored;
      other->Exchange(velto::kInstSetOutputs, {0x01}, false, 1000, {}, ignored);
      other->SetStack(nullptr);
    }
  });
  int ok = 0;
  for (int i = 0; i < 100; ++i) {
    TBytes data;
    if (d->Execute(velto::kInstReadInputs, TBytes{static_cast<std::uint8_t>(i)}, {}, true, 2000,
                   data) &&
        data == TBytes{static_cast<std::uint8_t>(i)})
      ++ok;
  }
  notifier.join();
  stop = true;
  mover.join();
  EXPECT_EQ(ok, 100);
  Stack->Receive(TBytes{0x00});
  EXPECT_EQ(d->Notifications().size(), static_cast<std::size_t>(kNotes));
}

}  // namespace
