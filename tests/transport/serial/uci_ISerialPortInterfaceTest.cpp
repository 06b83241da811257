// The COM-port transport: its connection string, why an Open failed, the
// character time, and whole uses over pseudo-terminals (announcements,
// reopening on a new number, a full ring, a device that goes away).
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "framework/uMessageQueue.h"
#include "framework/uTick.h"
#include "framework/uXmlNode.h"
#include "support/uEmulation.h"
#include "support/uPumpUntil.h"
#include "transport/serial/AfComPortCore.h"
#include "transport/serial/uci_ISerialPortInterface.h"
#include "uPtyPair.h"

namespace {

constexpr int kHangGuardMs = 10000;

TIntf<TSerialPortInterface> Transport(const std::string& text = std::string()) {
  return Make<TSerialPortInterface>(text);
}

struct TPortCase {
  const char* Text;
  std::int32_t Port;
  const char* Description;
};

class SerialConnectionStringTest : public ::testing::TestWithParam<TPortCase> {};

TEST_P(SerialConnectionStringTest, SelectsThePort) {
  auto t = Transport(GetParam().Text);
  EXPECT_EQ(t->GetComPort(), GetParam().Port);
  EXPECT_EQ(t->GetDescription(), GetParam().Description);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, SerialConnectionStringTest,
    ::testing::Values(TPortCase{"provider=SERIAL_PORT;comport=5;baudrate=19200", 5, "COM5"},
                      TPortCase{"COM7", 7, "COM7"}, TPortCase{"com7", 7, "COM7"},
                      TPortCase{"COM3;baudrate=9600", 0, "COM unknown"},
                      TPortCase{"comport=$10", 16, "COM16"},
                      TPortCase{"baudrate=300", 0, "COM unknown"}));

TEST(SerialTransportTest, AFreshTransportWritesItsDefaultsAndReadsThemBack) {
  auto t = Transport();
  EXPECT_EQ(t->GetConnectionString(),
            "baudrate=9600;databits=8;stopbits=One;parity=None;dtr=-1;rts=-1;comport=0");
  auto other = Transport("comport=5;baudrate=19200;databits=7;parity=even;stopbits=2;dtr=0");
  t->SetConnectionString(other->GetConnectionString());
  EXPECT_EQ(t->GetConnectionString(), other->GetConnectionString());
  EXPECT_EQ(t->GetBaudRate(), 19200);
  EXPECT_EQ(t->GetDataBits(), 7);
  EXPECT_FALSE(t->GetDTR());
  EXPECT_THROW(Transport("comport=five"), EConvertError);
}

TEST(SerialTransportTest, TheCharacterTimeFollowsTheBaudRate) {
  auto t = Transport("comport=1;baudrate=9600");
  EXPECT_DOUBLE_EQ(t->GetByteTime(), 10000.0 / 9600);
  t->SetBaudRate(300);
  EXPECT_DOUBLE_EQ(t->GetByteTime(), 10000.0 / 300);
}

TEST(SerialTransportTest, AFailedOpenKeepsItsReasonNamingThePath) {
  auto t = Transport("comport=0");
  EXPECT_FALSE(t->Open());
  EXPECT_EQ(t->GetLastError(), "COM0: no such port (ports count from 1)");
  TComPath path(46, "/nonexistent/ttyUSB0");
  t->SetConnectionString("comport=46");
  EXPECT_FALSE(t->Open());
  EXPECT_FALSE(t->GetActive());
  EXPECT_EQ(t->GetLastError(), "/nonexistent/ttyUSB0: no such device");
}

class SerialPtyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(FPty.Ok() && FOther.Ok()); }

  // Records the announcements of a transport, in order.
  void Watch(ICommunicationInterface& t) {
    t.SetOnOpened(TCiNotifyHandler::Of<&SerialPtyTest::Opened>(this));
    t.SetOnClosed(TCiNotifyHandler::Of<&SerialPtyTest::Closed>(this));
  }
  void Opened(TIntf<ICommunicationInterface>) { FEvents.push_back("opened"); }
  void Closed(TIntf<ICommunicationInterface>) { FEvents.push_back("closed"); }

  TPtyPair FPty{47};
  TPtyPair FOther{48};
  std::vector<std::string> FEvents;
};

TEST_F(SerialPtyTest, OpensExclusivelyExchangesBytesAndReopensOnANewNumber) {
  auto t = Transport("comport=47;baudrate=19200");
  Watch(*t);
  ASSERT_TRUE(t->Open()) << t->GetLastError();
  EXPECT_EQ(t->GetLastError(), "");
  EXPECT_TRUE(t->Open());  // open already: stays so

  auto second = Transport("comport=47");
  EXPECT_FALSE(second->Open());
  EXPECT_EQ(second->GetLastError(), FPty.SlavePath() + " is held by process " +
                                        std::to_string(getpid()) + " (" +
                                        KernelProcessName("test_transport") + ")");

  EXPECT_EQ(t->Write(BytesOf("ping")), 4);
  EXPECT_EQ(TextOf(FPty.Receive(4, kHangGuardMs)), "ping");
  std::thread far([&] { FPty.Send(BytesOf("pong")); });
  EXPECT_TRUE(t->WaitReceived(kHangGuardMs));  // ends at the arrival, not at the time-out
  far.join();
  TBytes got;
  while (got.size() < 4 && t->WaitReceived(kHangGuardMs)) {
    TBytes part;
    t->Read(part);
    got.insert(got.end(), part.begin(), part.end());
  }
  EXPECT_EQ(TextOf(got), "pong");

  t->SetConnectionString("comport=48");
  EXPECT_TRUE(t->GetActive());
  EXPECT_EQ(t->GetDescription(), "COM48");
  EXPECT_EQ(t->Write(BytesOf("x")), 1);
  EXPECT_EQ(TextOf(FOther.Receive(1, kHangGuardMs)), "x");
  EXPECT_TRUE(second->Open());  // the first line is free again
  EXPECT_EQ(FEvents, (std::vector<std::string>{"opened", "closed", "opened"}));
}

TEST_F(SerialPtyTest, ActiveOpensAfterTheOtherKeysAndDestructionAnnouncesClosed) {
  {
    auto t = Transport("active=1;comport=47");
    EXPECT_TRUE(t->GetActive());
    Watch(*t);
  }
  EXPECT_EQ(FEvents, (std::vector<std::string>{"closed"}));
  EXPECT_FALSE(Transport("comport=47;active=-1")->GetActive());
}

TEST_F(SerialPtyTest, WritesToALineThatTakesNoMoreFailWithoutBlocking) {
  auto t = Transport("comport=47");
  t->SetOutBufSize(4096);
  ASSERT_TRUE(t->Open());
  const TBytes block(4096, 0xA5);
  int refused = 0;
  for (int i = 0; i < 200; ++i)  // far more than the tty and the ring hold
    if (t->Write(block) == 0) ++refused;
  EXPECT_GT(refused, 0);
  EXPECT_TRUE(t->GetActive());
}

TEST_F(SerialPtyTest, ADeviceThatGoesAwayMidExchangeFailsItAndLeavesTheTransportClosed) {
  auto t = Transport("comport=47");
  Watch(*t);
  ASSERT_TRUE(t->Open());
  ASSERT_EQ(t->Write(BytesOf("request")), 7);
  bool arrived = true;
  std::thread waiter([&] { arrived = t->WaitReceived(60000); });
  ASSERT_EQ(FPty.Receive(7, kHangGuardMs).size(), 7u);
  FPty.CloseMaster();
  waiter.join();
  EXPECT_FALSE(arrived);
  EXPECT_FALSE(t->GetActive());
  EXPECT_EQ(t->GetLastError(), FPty.SlavePath() + ": the device has gone (unplugged or hung up)");
  EXPECT_EQ(FEvents, (std::vector<std::string>{"opened", "closed"}));
  EXPECT_EQ(t->Write(BytesOf("more")), 0);
  EXPECT_EQ(t->GetReceivedCount(), 0);
}

// An owner that serves its messages learns of the loss from the port's
// event thread and closes the port there, which must not wait for the event
// thread that is waiting for it.
TEST_F(SerialPtyTest, AnOwnerServingItsMessagesClosesAPortWhoseDeviceWentAway) {
  auto t = Transport("comport=47");
  Watch(*t);
  ASSERT_TRUE(t->Open());
  FPty.CloseMaster();
  PumpUntil([&] { return FEvents.size() >= 2; }, kHangGuardMs);
  EXPECT_EQ(FEvents, (std::vector<std::string>{"opened", "closed"}));
  EXPECT_FALSE(t->GetActive());
  EXPECT_EQ(t->GetLastError(), FPty.SlavePath() + ": the device has gone (unplugged or hung up)");
}

// A rate the open line refuses leaves the line at its rate, and the
// character time (and so every exchange deadline) with it.
TEST_F(SerialPtyTest, ARefusedRateLeavesTheCharacterTimeOfTheRateTheLineHas) {
  auto t = Transport("comport=47;baudrate=9600");
  ASSERT_TRUE(t->Open()) << t->GetLastError();
  EXPECT_THROW(t->SetBaudRate(0), EAfComPortCoreError);
  EXPECT_DOUBLE_EQ(t->GetByteTime(), 10000.0 / 9600);
  t->SetBaudRate(19200);
  EXPECT_DOUBLE_EQ(t->GetByteTime(), 10000.0 / 19200);
  EXPECT_TRUE(t->GetActive());
}

}  // namespace
