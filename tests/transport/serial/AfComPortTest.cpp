// The serial port component: the record built from its properties and read
// back into them, the property rules, reopening on a new number and reports
// reaching the owner thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/uMessageQueue.h"
#include "framework/uTick.h"
#include "support/uPumpUntil.h"
#include "transport/serial/AfComPort.h"
#include "uPtyPair.h"

namespace {

constexpr int kHangGuardMs = 10000;

struct TRecordCase {
  const char* Name;
  TAfFlowControl Flow;
  TAfComOptions Options;
  bool Dtr;
  bool Rts;
  std::uint32_t Flags;
};

class RecordFlagsTest : public ::testing::TestWithParam<TRecordCase> {};

TEST_P(RecordFlagsTest, BuildsTheFlagWordAndLoadsItBack) {
  const TRecordCase& c = GetParam();
  TAfComPort port;
  port.SetFlowControl(c.Flow);
  port.SetOptions(c.Options);
  port.SetDTR(c.Dtr);
  port.SetRTS(c.Rts);
  port.SetDatabits(db7);
  port.SetParity(TAfParity::paMark);
  port.SetStopbits(TAfStopbits::sbTwo);
  port.SetUserBaudRate(14400);
  const TAfLineRecord record = port.GetLineRecord();
  EXPECT_EQ(record.Length, 28u);
  EXPECT_EQ(record.Flags, c.Flags);
  EXPECT_EQ(record.BaudRate, 14400u);
  EXPECT_EQ(record.ByteSize, 7);
  EXPECT_EQ(record.Parity, kParityMark);
  EXPECT_EQ(record.StopBits, kStopBitsTwo);

  TAfComPort loaded;
  loaded.LoadLineRecord(record);
  EXPECT_EQ(loaded.GetFlowControl(), c.Flow);
  EXPECT_EQ(loaded.GetOptions(), c.Options);
  EXPECT_EQ(loaded.GetBaudRate(), br14400);  // a table rate is taken as its entry
  EXPECT_EQ(loaded.GetUserBaudRate(), 0);
  EXPECT_EQ(loaded.GetDatabits(), db7);
  EXPECT_EQ(loaded.GetParity(), TAfParity::paMark);
  EXPECT_EQ(loaded.GetStopbits(), TAfStopbits::sbTwo);
}

INSTANTIATE_TEST_SUITE_P(
    FlagBits, RecordFlagsTest,
    ::testing::Values(TRecordCase{"Defaults", fwNone, 0, true, true, 0x1011},
                      TRecordCase{"RtsCtsTakesRtsOver", fwRtsCts, 0, true, true, 0x2015},
                      TRecordCase{"DtrDsrTakesDtrOver", fwDtrDsr, 0, true, true, 0x1029},
                      TRecordCase{"XonXoffWithLinesLowered", fwXOnXOff, 0, false, false, 0x301},
                      TRecordCase{"EveryOption", fwNone,
                                  AfOption(coParityCheck) | AfOption(coDsrSensitivity) |
                                      AfOption(coIgnoreXOff) | AfOption(coErrorChar) |
                                      AfOption(coStripNull) | AfOption(coBreakControl),
                                  false, false, 0x4CC3}),
    [](const ::testing::TestParamInfo<TRecordCase>& info) { return info.param.Name; });

TEST(ComPortPropertiesTest, RateChoicesLimitsAndRecordChecksFollowTheirRules) {
  TAfComPort port;
  EXPECT_EQ(port.GetBaudRate(), br115200);
  port.SetUserBaudRate(12345);
  EXPECT_EQ(port.GetBaudRate(), brUser);
  port.SetBaudRate(br9600);
  EXPECT_EQ(port.GetUserBaudRate(), 0);

  port.SetFlowControl(fwXOnXOff);
  EXPECT_EQ(port.GetXOnLim(), 1024);
  EXPECT_EQ(port.GetXOffLim(), 3072);
  port.SetXOnLim(96);
  EXPECT_EQ(port.GetXOffLim(), 4000);

  TAfLineRecord odd = port.GetLineRecord();
  odd.BaudRate = 12345;
  odd.ByteSize = 9;
  odd.Parity = 7;
  odd.StopBits = 5;
  port.LoadLineRecord(odd);
  EXPECT_EQ(port.GetBaudRate(), brUser);
  EXPECT_EQ(port.GetUserBaudRate(), 12345);
  EXPECT_EQ(port.GetDatabits(), db8);
  EXPECT_EQ(port.GetParity(), TAfParity::paNone);
  EXPECT_EQ(port.GetStopbits(), TAfStopbits::sbOne);

  odd.Length = 27;
  port.SetName("port1");
  try {
    port.LoadLineRecord(odd);
    FAIL() << "a record of the wrong length was taken";
  } catch (const EAfComPortError& e) {
    EXPECT_STREQ(e.what(), "Error setting parameters from DCB - port1 ");
  }
  EXPECT_FALSE(port.ShowConfigDialog());
}

class ComPortPtyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(FPtyA.Ok() && FPtyB.Ok()); }

  // Runs the owner thread's messages until `done` or the guard passes.
  template <class F>
  bool ServiceUntil(F done) {
    return PumpUntil(done, kHangGuardMs);
  }

  TPtyPair FPtyA{44};
  TPtyPair FPtyB{45};
};

TEST_F(ComPortPtyTest, ANewNumberOnAnOpenPortClosesAndReopensIt) {
  TAfComPort port;
  std::vector<std::string> events;
  port.OnPortOpen = [&](TAfCustomSerialPort&) { events.push_back("open"); };
  port.OnPortClose = [&](TAfCustomSerialPort&) { events.push_back("close"); };
  port.SetComNumber(44);
  port.OpenPort();
  ASSERT_TRUE(port.IsOpen());
  EXPECT_EQ(port.DevicePath(), FPtyA.SlavePath());
  port.SetComNumber(45);
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(port.DevicePath(), FPtyB.SlavePath());
  EXPECT_EQ(events, (std::vector<std::string>{"open", "close", "open"}));
  try {
    port.SetInBufSize(100);
    FAIL() << "the input size changed on an open port";
  } catch (const EAfComPortError& e) {
    EXPECT_STREQ(e.what(), "Port is not closed -  ");
  }
}

TEST_F(ComPortPtyTest, ArrivalsReachTheOwnerThreadAndNoneComesAfterClosing) {
  TAfComPort port;
  std::uint32_t counted = 0;
  std::thread::id on;
  port.OnDataRecived = [&](TAfCustomSerialPort&, std::uint32_t count) {
    counted = count;
    on = std::this_thread::get_id();
  };
  port.SetComNumber(44);
  port.OpenPort();
  ASSERT_TRUE(FPtyA.Send(BytesOf("abc")));
  ASSERT_TRUE(ServiceUntil([&] { return counted != 0; }));
  EXPECT_EQ(counted, 3u);
  EXPECT_EQ(on, std::this_thread::get_id());
  EXPECT_EQ(TextOf(port.ReadText()), "abc");

  // A report now waits for this thread, which closes instead of serving it.
  counted = 0;
  ASSERT_TRUE(FPtyA.Send(BytesOf("de")));
  ASSERT_TRUE(port.WaitInput(kHangGuardMs));
  port.ClosePort();
  ProcessMessages();
  EXPECT_EQ(counted, 0u);
  EXPECT_TRUE(port.ReadText().empty());
}

// The threads of this process that bear `name`.
int ThreadsNamed(const std::string& name) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(entry.path() / "comm");
    std::string line;
    if (std::getline(comm, line) && line == name) ++count;
  }
  return count;
}

// Reports for the owner reach it only when it serves its messages: until it
// first does, nothing watches the line (a one-shot run that only transacts
// starts no thread), and what came meanwhile is reported once it does.
TEST_F(ComPortPtyTest, TheLineIsWatchedFromTheOwnersFirstServiceAndNothingIsLostBefore) {
  TAfComPort port;
  std::uint32_t counted = 0;
  port.OnDataRecived = [&](TAfCustomSerialPort&, std::uint32_t count) { counted = count; };
  port.SetComNumber(44);
  port.OpenPort();
  ASSERT_TRUE(FPtyA.Send(BytesOf("abc")));
  ASSERT_TRUE(port.WaitInput(kHangGuardMs));
  EXPECT_EQ(ThreadsNamed("AfComPortEvent"), 0);
  EXPECT_EQ(ThreadsNamed("AfComPortWrite"), 0);
  EXPECT_EQ(counted, 0u);

  ASSERT_TRUE(ServiceUntil([&] { return counted != 0; }));
  EXPECT_EQ(counted, 3u);
  EXPECT_EQ(ThreadsNamed("AfComPortEvent"), 1);
  EXPECT_EQ(TextOf(port.ReadText()), "abc");
  port.ClosePort();
  // Joined; the kernel (or an emulator) may list the ended thread a moment longer.
  EXPECT_TRUE(ServiceUntil([] { return ThreadsNamed("AfComPortEvent") == 0; }));
}

// A handler on the port's own event thread cannot close the port (no thread
// waits for its own end): the port stays open and no closing is announced;
// its owner closes it afterwards as usual.
TEST_F(ComPortPtyTest, ClosingOnThePortsOwnThreadLeavesItOpenAndAnnouncesNothing) {
  TAfComPort port;
  std::mutex lock;
  std::condition_variable changed;
  bool tried = false;
  bool openAfter = false;
  std::vector<std::string> events;
  port.OnPortClose = [&](TAfCustomSerialPort&) {
    std::lock_guard<std::mutex> guard(lock);
    events.push_back("close");
  };
  std::atomic<bool> entered{false};
  port.OnNonSyncEvent = [&](TAfCustomSerialPort& sender, TAfCoreEvent, std::uint32_t) {
    if (entered.exchange(true)) return;
    sender.ClosePort();  // without the test's lock: a closing announced here takes it
    const bool open = sender.IsOpen();
    std::lock_guard<std::mutex> guard(lock);
    openAfter = open;
    tried = true;
    changed.notify_all();
  };
  port.SetComNumber(44);
  port.OpenPort();
  ASSERT_TRUE(FPtyA.Send(BytesOf("abc")));
  {
    std::unique_lock<std::mutex> wait(lock);
    ASSERT_TRUE(changed.wait_for(wait, std::chrono::milliseconds(kHangGuardMs), [&] { return tried; }));
    EXPECT_TRUE(openAfter);
    EXPECT_TRUE(events.empty());
  }
  EXPECT_TRUE(port.IsOpen());
  port.ClosePort();
  EXPECT_FALSE(port.IsOpen());
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(events, std::vector<std::string>{"close"});
}

}  // namespace
