// The simulator as a process against a client that sends megabytes of
// header look-alikes before its request: its framing once took minutes of
// full CPU for them; the request must be answered at once.
#include <gtest/gtest.h>

#include <chrono>

#include "protocol/uTervan97.h"
#include "support/uSimulatorProcess.h"

namespace {

TEST(SimulatorFlood, RequestAfterMegabytesOfHeaderLookAlikesIsAnswered) {
  auto sim = StartSimulator();
  ASSERT_NE(sim.Port, 0);
  TLoopbackClient client;
  ASSERT_TRUE(client.Connect(sim.Port));
  TBytes flood;
  while (flood.size() < (4u << 20)) flood.insert(flood.end(), {0x2A, 0x61, 0xFF, 0xFD});
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(client.Send(flood));
  ASSERT_TRUE(client.Send(BuildPacket(0x31, 7, 0xF3, {})));
  // Far more than the framing needs, far less than it took before.
  const TBytes answer = client.ReadPacket(20000);
  ASSERT_EQ(CheckPacket(answer), 0) << "no answer";
  EXPECT_EQ(ParsePacket(answer).SIG, 7);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

}  // namespace
