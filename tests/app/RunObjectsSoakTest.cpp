// The run's objects (TCP transport, stack, device) made, opened, used, closed
// and released many times in this process against a module on loopback: the
// process's descriptors and threads stay where they were. The module is the
// simulator program, so that its side of each connection is not counted here.
#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "device/uVelto.h"
#include "device/ussVelto.h"
#include "protocol/uTervanStack.h"
#include "support/uSimulatorProcess.h"
#include "transport/tcp/uci_ITCPClientInterface.h"

namespace {

constexpr int kCycles = 2000;

int CountEntries(const char* directory) {
  int count = 0;
  if (DIR* dir = opendir(directory)) {
    while (const dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ++count;
    closedir(dir);
  }
  return count;
}

// Less the descriptor of the listing itself.
int OpenDescriptors() { return CountEntries("/proc/self/fd") - 1; }
int Threads() { return CountEntries("/proc/self/task"); }

// One run's worth: objects made and bound, connection opened, one exchange,
// everything taken apart and released. True when the exchange was answered.
bool Cycle(std::uint16_t port) {
  TIntf<ICommunicationInterface> transport =
      CreateTCPClientInterface("host=127.0.0.1;port=" + std::to_string(port));
  TIntf<ITervanStack> stack = Make<TTervanStack>();
  TIntf<IVelto> device = Make<TVelto>(0x31);
  stack->SetTransport(transport);
  device->SetStack(stack);
  bool answered = false;
  if (transport->Open()) {
    TVeltoIOArray states;
    answered = device->ReadInputs(states, true) && !states.empty();
  }
  device->SetStack(nullptr);
  stack->SetTransport(nullptr);
  transport->Close(false);
  return answered;
}

TEST(RunObjectsSoak, OpenExchangeCloseCyclesLeaveNoDescriptorOrThreadBehind) {
  TSimulatorProcess sim = StartSimulator();
  ASSERT_NE(sim.Port, 0);
  // Things made once per process or thread on first use are not growth.
  ASSERT_TRUE(Cycle(sim.Port));
  const int descriptorsBefore = OpenDescriptors();
  const int threadsBefore = Threads();

  for (int i = 0; i < kCycles; ++i) ASSERT_TRUE(Cycle(sim.Port)) << "cycle " << i;

  EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
  // A joined thread may still be listed for a moment.
  const auto settleUntil = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (Threads() > threadsBefore && std::chrono::steady_clock::now() < settleUntil)
    std::this_thread::yield();
  EXPECT_LE(Threads(), threadsBefore);
}

}  // namespace
