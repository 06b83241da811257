// The I/O module device against the module simulator served on a loopback
// TCP port by its own thread, through the real stack and TCP transport.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "device/ussVelto.h"
#include "framework/uMessageQueue.h"
#include "framework/uTick.h"
#include "protocol/uTervanStack.h"
#include "simulator/uModuleSimulator.h"
#include "simulator/uSimServer.h"
#include "support/uPumpUntil.h"
#include "transport/tcp/uci_ITCPClientInterface.h"
#include "uVeltoTestKit.h"

using namespace veltotest;

namespace {

class TVeltoOverTcpThreaded : public ::testing::Test {
 protected:
  void Start(TSimConfig config) {
    Sim = std::make_unique<TModuleSimulator>(std::move(config));
    TSimServerOptions options;
    options.Host = "127.0.0.1";
    options.Port = 0;
    Server = std::make_unique<TSimServer>(*Sim, options, nullptr);
    std::string error;
    ASSERT_TRUE(Server->Open(error)) << error;
    FServerThread = std::thread([this] {
      try {
        Server->Run();
      } catch (...) {
        FServerFailed = true;
      }
    });

    Transport = Make<TTCPClientInterface>("host=127.0.0.1;port=" + std::to_string(Server->Port()));
    Stack = Make<TTervanStack>();
    Stack->SetTransport(TIntf<ICommunicationInterface>(Transport));
    Device = Make<TVelto>(0x31);
    Device->SetStack(TIntf<ITervanStack>(Stack));
    ASSERT_TRUE(Transport->Open());
  }

  void TearDown() override {
    if (Device) Device->SetStack(nullptr);
    if (Stack) Stack->SetTransport(nullptr);
    if (Transport) Transport->Close(true);
    Device.reset();
    Stack.reset();
    Transport.reset();
    if (Server) Server->Stop();
    if (FServerThread.joinable()) FServerThread.join();
    EXPECT_FALSE(FServerFailed);
  }

  // Lets the transport deliver what arrived while nobody was asking, until
  // `done` holds or two seconds pass.
  template <class F>
  bool DispatchUntil(F done) {
    return PumpUntil(done, 2000);
  }

  std::unique_ptr<TModuleSimulator> Sim;
  std::unique_ptr<TSimServer> Server;
  TIntf<TTCPClientInterface> Transport;
  TIntf<TTervanStack> Stack;
  TIntf<TVelto> Device;

 private:
  std::thread FServerThread;
  std::atomic<bool> FServerFailed{false};
};

TEST_F(TVeltoOverTcpThreaded, ReadsAndConfiguresCounters) {
  TSimConfig config;
  config.InputCount = 6;
  config.Counters = {0, 1234, 0, 0, 0, 70000};
  Start(config);
  ASSERT_EQ(Device->GetCounterCount(), 6);
  std::uint32_t value = 0;
  ASSERT_TRUE(Device->ReadCounter(2, value, false, true));
  EXPECT_EQ(value, 1234u);
  TVeltoCounterArray values;
  ASSERT_TRUE(Device->ReadCounters(values, true, true));
  EXPECT_EQ(values, (TVeltoCounterArray{0, 1234, 0, 0, 0, 70000}));
  EXPECT_EQ(Sim->Counter(6), 0u);  // cleared by the read

  ASSERT_TRUE(Device->WriteCounterConfig(3, true, true));
  bool first = false;
  bool second = false;
  ASSERT_TRUE(Device->ReadCounterConfig(3, first, second));
  EXPECT_TRUE(first);
  EXPECT_TRUE(second);
  ASSERT_TRUE(Sim->CounterConfig(3, first, second));
  EXPECT_TRUE(first);
  EXPECT_TRUE(second);
}

TEST_F(TVeltoOverTcpThreaded, ModuleWithoutCountersSwitchesThemOff) {
  TSimConfig config;
  config.CountersSupported = false;
  Start(config);
  ASSERT_EQ(Device->GetCounterCount(), 8);
  TVeltoCounterArray values;
  EXPECT_FALSE(Device->ReadCounters(values, false, true));
  EXPECT_EQ(Device->GetCounterCount(), 0);
}

TEST_F(TVeltoOverTcpThreaded, ReadsTheThermometer) {
  TSimConfig config;
  config.Temperature = -20.0;
  Start(config);
  TEventLog log;
  log.SubscribeTemperature(*Device);
  TTemperatureReading reading;
  ASSERT_TRUE(Device->ReadTemperature(reading));
  EXPECT_NEAR(reading.Degrees, -20.0, 1e-9);
  Sim->SetTemperature(23.1);
  ASSERT_TRUE(Device->ReadTemperature(reading));
  EXPECT_NEAR(reading.Degrees, 23.1, 1e-9);
  ASSERT_EQ(log.Temperatures().size(), 2u);
  EXPECT_NEAR(log.Temperatures()[1].Previous.Degrees, -20.0, 1e-9);
}

TEST_F(TVeltoOverTcpThreaded, NotificationWhileIdleFiresTheInputEvents) {
  TSimConfig config;
  config.Notify = true;
  Start(config);
  TVeltoIOArray states;
  ASSERT_TRUE(Device->ReadInputs(states, true));
  TEventLog log;
  log.Subscribe(*Device, true);

  ASSERT_TRUE(Sim->SetInput(3, true));
  ASSERT_TRUE(DispatchUntil([&] { return !log.Lists().empty(); }));
  bool state = false;
  ASSERT_TRUE(Device->GetCachedInput(3, state));
  EXPECT_TRUE(state);
  ASSERT_EQ(log.Singles().size(), 1u);
  EXPECT_EQ(log.Singles()[0], (TEventLog::TSingle{3, true, false}));
  EXPECT_EQ(log.Lists()[0], (TIOsChngRec{{3, false, true}}));
  log.Unsubscribe(*Device, true);
}

TEST_F(TVeltoOverTcpThreaded, UnwaitedOutputIsConfirmedThroughTheReceivePath) {
  Start({});
  ASSERT_TRUE(Device->GetOutputCount() == 4);
  TEventLog log;
  log.Subscribe(*Device, false);
  ASSERT_TRUE(Device->SetOutput(4, true, 0, false));
  ASSERT_TRUE(DispatchUntil([&] { return !log.Lists().empty(); }));
  bool state = false;
  ASSERT_TRUE(Device->GetCachedOutput(4, state));
  EXPECT_TRUE(state);
  EXPECT_TRUE(Sim->Outputs()[3]);
  EXPECT_EQ(log.Lists()[0], (TIOsChngRec{{4, true, true}}));
  log.Unsubscribe(*Device, false);
}

}  // namespace

namespace {

// The standard instructions through the real stack and TCP transport.
TEST_F(TVeltoOverTcpThreaded, ChangedAddressIsWhereTheModuleAnswersAfterwards) {
  Start(TSimConfig{});
  std::uint8_t address = 0;
  std::int32_t baud = 0;
  ASSERT_TRUE(Device->ReadCommParams(address, baud));
  EXPECT_EQ(address, 0x31);
  EXPECT_EQ(baud, 9600);

  ASSERT_TRUE(Device->ChangeAddress(0x35));
  EXPECT_EQ(Device->GetAddress(), 0x35);
  TVeltoInfo info;
  ASSERT_TRUE(Device->GetInfo(info));  // talks to the module at its new address
  EXPECT_EQ(info.InputCount, 8);

  // The old address is silent now.
  Device->SetAddress(0x31);
  Device->SetTimeout(200);
  TVeltoIOArray states;
  EXPECT_FALSE(Device->ReadInputs(states, true));
  EXPECT_EQ(Device->GetLastResult(), tervan::kResultNoAnswer);
}

TEST_F(TVeltoOverTcpThreaded, AddressChangeByIdentifiersGoesThroughTheUniversalAddress) {
  Start(TSimConfig{});
  ASSERT_TRUE(Device->ChangeAddressEB(0x1234, 0x5678, 0x36));
  EXPECT_EQ(Device->GetAddress(), 0x36);
  TVeltoIOArray states;
  EXPECT_TRUE(Device->ReadInputs(states, true));

  // Identifiers of another module: no answer, the address stays.
  Device->SetTimeout(200);
  EXPECT_FALSE(Device->ChangeAddressEB(0x1111, 0x2222, 0x37));
  EXPECT_EQ(Device->GetAddress(), 0x36);
}

TEST_F(TVeltoOverTcpThreaded, IdentificationTextAndValues) {
  TSimConfig config;
  config.ThirdValue = 256;
  Start(config);
  std::string text;
  ASSERT_TRUE(Device->ReadTypeText(text));
  EXPECT_EQ(text.rfind("VELTO ETH 8/4;", 0), 0u) << text;
  std::uint16_t first = 0;
  std::uint16_t second = 0;
  std::uint32_t third = 0;
  ASSERT_TRUE(Device->ReadValuesFA(first, second, third));
  EXPECT_EQ(first, 0x1234);
  EXPECT_EQ(second, 0x5678);
  EXPECT_EQ(third, 256u);
  ASSERT_TRUE(Device->WriteTextE2("pump room"));
  ASSERT_TRUE(Device->ReadTextF2(text));
  EXPECT_EQ(text.substr(0, 9), "pump room");
}

}  // namespace
