// The I/O module device with packets arriving on a receive thread while the
// caller's thread works with the same copies.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "device/ussVelto.h"
#include "uVeltoTestKit.h"

using namespace veltotest;

namespace {

class TVeltoThreaded : public VeltoFixture {};

// Every change event of one number must continue where the one before ended:
// a torn update of the copy would report an old state nobody stored.
void ExpectChainedChanges(const std::vector<TEventLog::TSingle>& singles, std::int16_t number) {
  bool known = false;
  bool last = false;
  for (const auto& s : singles) {
    if (s.Number != number) continue;
    if (known) {
      EXPECT_EQ(s.OldState, last);
      EXPECT_NE(s.NewState, s.OldState);
    }
    known = true;
    last = s.NewState;
  }
}

TEST_F(TVeltoThreaded, NotificationsOnAReceiveThreadWhileTheCallerReads) {
  std::atomic<std::uint8_t> inputs{0x00};
  Transport->SetResponder([&inputs](const TBytes& written) -> TBytes {
    const auto request = ParsePacket(written);
    if (request.INST == 0xF3) {
      return BuildPacket(0x31, request.SIG, 0, BytesOf("VELTO ETH 8/4;V1.0.0;F97"));
    }
    return BuildPacket(0x31, request.SIG, 0, TBytes{inputs.load()});
  });
  ASSERT_TRUE(Identify());
  TEventLog log;
  log.Subscribe(*Device, true);

  constexpr int kToggles = 300;
  std::atomic<bool> done{false};
  std::thread module([&] {
    try {
      for (int i = 0; i < kToggles; ++i) {
        const auto state = static_cast<std::uint8_t>(inputs.load() ^ 0x04);
        inputs.store(state);
        Transport->Deliver(BuildPacket(0x31, 0, 0x0D, TBytes{state}));
      }
    } catch (...) {
      ADD_FAILURE() << "delivery raised";
    }
    done = true;
  });
  int reads = 0;
  while (!done.load() || reads < 20) {
    TVeltoIOArray states;
    EXPECT_TRUE(Device->ReadInputs(states, true));
    TVeltoIOArray cached;
    EXPECT_EQ(Device->GetCachedInputs(cached), 8);
    ++reads;
  }
  module.join();

  // Both roads end at the module's last state.
  TVeltoIOArray states;
  ASSERT_TRUE(Device->ReadInputs(states, true));
  bool state = false;
  ASSERT_TRUE(Device->GetCachedInput(3, state));
  EXPECT_EQ(state, (inputs.load() & 0x04) != 0);
  const auto singles = log.Singles();
  ASSERT_FALSE(singles.empty());
  ExpectChainedChanges(singles, 3);
  // Only input 3 ever changed after the first fill.
  std::size_t others = 0;
  for (std::size_t i = 8; i < singles.size(); ++i) others += singles[i].Number != 3 ? 1 : 0;
  EXPECT_EQ(others, 0u);
  log.Unsubscribe(*Device, true);
}

TEST_F(TVeltoThreaded, UnwaitedOutputAnswersOnAReceiveThread) {
  Transport->SetResponder([](const TBytes&) { return TBytes(); });
  TEventLog log;
  log.Subscribe(*Device, false);
  constexpr int kCommands = 100;
  std::atomic<int> answered{0};
  std::thread module([&] {
    try {
      for (int i = 0; i < kCommands; ++i) {
        if (!Transport->WaitWritten(static_cast<std::size_t>(i + 1), 2000)) break;
        const auto request = ParsePacket(Transport->Written()[static_cast<std::size_t>(i)]);
        Transport->Deliver(BuildPacket(0x31, request.SIG, 0, {}));
        ++answered;
      }
    } catch (...) {
      ADD_FAILURE() << "delivery raised";
    }
  });
  for (int i = 0; i < kCommands; ++i) {
    EXPECT_TRUE(Device->SetOutput(1, i % 2 == 0, 0, false));
    bool state = false;
    Device->GetCachedOutput(1, state);
  }
  module.join();
  ASSERT_EQ(answered.load(), kCommands);
  // The last command switched output 1 off; every answer reported once.
  bool state = true;
  ASSERT_TRUE(Device->GetCachedOutput(1, state));
  EXPECT_FALSE(state);
  EXPECT_EQ(log.Singles().size(), static_cast<std::size_t>(kCommands));
  EXPECT_EQ(log.Lists().size(), static_cast<std::size_t>(kCommands));
  log.Unsubscribe(*Device, false);
}

}  // namespace
