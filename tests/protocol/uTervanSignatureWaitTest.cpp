// A request that finds every signature slot taken waits without holding the
// table, so an answer coming in frees a slot for it at once; answer callbacks
// run without the table's lock. The device's clock stands still throughout:
// no deadline can free anything, only the answers can.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "framework/uTick.h"
#include "protocol/uTervanInstructions.h"
#include "uStackTestKit.h"

namespace {

using namespace stacktest;

constexpr std::uint8_t kAdr = 0x31;
constexpr std::int32_t kLongTimeout = 60000;
// Bounds the test's own waits on events; never reached when the engine works.
constexpr auto kEventBound = std::chrono::seconds(20);

class SignatureWaitTest : public StackFixture {
 protected:
  void SetUp() override {
    StackFixture::SetUp();
    Device = Attach(kAdr);
    Device->SetTickSource([this] { return Now.load(); });
    Transport->SetResponder(nullptr);  // requests stay unanswered until the test answers
  }
  void TearDown() override {
    Device.reset();
    StackFixture::TearDown();
  }

  void TakeEverySlot() {
    for (int i = 0; i < 256; ++i)
      ASSERT_TRUE(Device->Post(velto::kInstSetOutputs, {}, kLongTimeout)) << i;
  }

  // Waits for `done` against the real clock, bounded; a failure then moves
  // the device's clock past every deadline so that nothing stays blocked.
  template <class T>
  bool Arrives(std::future<T>& done) {
    if (done.wait_for(kEventBound) == std::future_status::ready) return true;
    Now.fetch_add(10 * kLongTimeout);
    return false;
  }

  std::atomic<std::uint32_t> Now{1000};
  TIntf<TProbeDevice> Device;
};

// The fault: the search slept with the table locked, so the answer could not
// free its slot until a deadline did; with the clock standing still, never.
TEST_F(SignatureWaitTest, AnArrivingAnswerFreesASlotForAWaitingAllocation) {
  TAlertCatcher alerts;
  TakeEverySlot();
  std::future<std::uint8_t> taken =
      std::async(std::launch::async, [this] { return Device->AllocateSig(0, 5000); });
  // Once it reports the overload the search has found every slot taken.
  const std::uint32_t start = MonotonicTick32();
  while (alerts.Count("SIG stack overload") == 0 && MonotonicTick32() - start < 20000)
    std::this_thread::yield();
  ASSERT_GE(alerts.Count("SIG stack overload"), 1u);

  std::future<void> delivered = std::async(
      std::launch::async, [this] { Transport->Deliver(BuildPacket(kAdr, 5, tervan::kAckOk, {})); });
  const bool answerRouted = Arrives(delivered);
  const bool slotTaken = Arrives(taken);
  ASSERT_TRUE(answerRouted) << "the answer waited for the table";
  ASSERT_TRUE(slotTaken) << "the waiting allocation never got the freed slot";
  EXPECT_EQ(taken.get(), 5);
  EXPECT_EQ(Now.load(), 1000u) << "a deadline, not the answer, freed the slot";
  EXPECT_FALSE(Device->SigItem(5).Free);
}

// A callback may wait for another thread that needs the table: it runs
// without the table's lock.
TEST_F(SignatureWaitTest, AnswerCallbackRunsWithoutTheTableLocked) {
  std::promise<std::uint8_t> otherTook;
  std::future<std::uint8_t> other = otherTook.get_future();
  std::thread otherThread;
  bool otherInTime = false;
  int calls = 0;
  ASSERT_TRUE(Device->Post(velto::kInstSetOutputs, {}, kLongTimeout,
                           [&](const TTervanFormat97&, const TTervanFormat97&) {
                             ++calls;
                             otherThread = std::thread(
                                 [&] { otherTook.set_value(Device->AllocateSig(0, 5000)); });
                             otherInTime = Arrives(other);
                           }));
  Transport->Deliver(BuildPacket(kAdr, 0, tervan::kAckOk, {}));
  if (otherThread.joinable()) otherThread.join();
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(otherInTime) << "the callback held the table";
  // The answered slot is still taken while its callback runs.
  EXPECT_EQ(other.get(), 1);
  EXPECT_TRUE(Device->SigItem(0).Free);
}

// A second copy of an answer that comes while the first one's callback runs
// (a repeating bridge, another receive thread) does not run it again.
TEST_F(SignatureWaitTest, ACopyOfTheAnswerDuringItsCallbackIsDropped) {
  int calls = 0;
  const TBytes answer = BuildPacket(kAdr, 0, tervan::kAckOk, {});
  ASSERT_TRUE(Device->Post(velto::kInstSetOutputs, {}, kLongTimeout,
                           [&](const TTervanFormat97&, const TTervanFormat97&) {
                             if (++calls == 1) Device->ProcessPacket(ParsePacket(answer));
                           }));
  Transport->Deliver(answer);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(Device->SigItem(0).Free);
}

}  // namespace
