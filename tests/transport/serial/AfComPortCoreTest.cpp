// The serial engine on pseudo-terminals: open and exclusive use, settings on
// the tty, both threads, purges and a device that goes away.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <termios.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "transport/serial/AfComPortCore.h"
#include "transport/serial/AfComPortThreads.h"
#include "transport/serial/AfTtyRate.h"
#include "support/uEmulation.h"
#include "uPtyPair.h"

namespace {

constexpr int kCom = 41;
// Bounds for events that come at once on an idle machine; only a hang reaches them.
constexpr int kEventMs = 10000;

// Collects the core's reports from its event thread.
class TReports {
 public:
  TAfCoreEventHandler Handler() {
    return [this](TAfComPortCore&, TAfCoreEvent kind, std::uint32_t value, std::exception_ptr) {
      {
        std::lock_guard<std::mutex> guard(FLock);
        FKinds.push_back(kind);
        if (kind == ceLineEvent) FMasks |= value;
      }
      FChanged.notify_all();
    };
  }
  bool WaitFor(TAfCoreEvent kind) {
    std::unique_lock<std::mutex> lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(kEventMs), [&] {
      for (TAfCoreEvent k : FKinds)
        if (k == kind) return true;
      return false;
    });
  }
  std::uint32_t Masks() {
    std::lock_guard<std::mutex> guard(FLock);
    return FMasks;
  }

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<TAfCoreEvent> FKinds;
  std::uint32_t FMasks = 0;
};

TAfLineRecord Record8N1(std::uint32_t rate) {
  TAfLineRecord r;
  r.Length = kLineRecordLength;
  r.BaudRate = rate;
  r.ByteSize = 8;
  r.Flags = kLineBinary | kLineDtrEnable | kLineRtsEnable;
  r.XonChar = 17;
  r.XoffChar = 19;
  return r;
}

class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FPty.Ok());
    FCore.SetLineRecord(Record8N1(9600));
    FCore.SetOutQueueSize(2 * 1024 * 1024);
  }

  TPtyPair FPty{kCom};
  TReports FReports;
  TAfComPortCore FCore{FReports.Handler()};
};

// Whether the tty at `path` keeps other openers out; -1 when that cannot be asked.
int Exclusive(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  int exclusive = -1;
  if (fd >= 0 && ioctl(fd, TIOCGEXCL, &exclusive) != 0) exclusive = -1;
  if (fd >= 0) close(fd);
  return exclusive;
}

std::string OpenError(TAfComPortCore& core, int port, std::string* detail = nullptr) {
  try {
    core.Open(port);
  } catch (const EAfComPortCoreError& e) {
    if (detail != nullptr) *detail = e.Detail();
    return e.what();
  }
  return "opened";
}

TEST_F(CoreTest, OpensOnceAndASecondOpenerIsRefusedWhileTheFirstHoldsTheLine) {
  ASSERT_TRUE(FCore.Open(kCom));
  EXPECT_TRUE(FCore.IsOpen());
  EXPECT_FALSE(FCore.Open(kCom));  // already open: nothing changes
  EXPECT_EQ(FCore.DevicePath(), FPty.SlavePath());

  // Tests run as root, whom TIOCEXCL does not stop: the lock does.
  TAfComPortCore second(nullptr);
  second.SetLineRecord(Record8N1(9600));
  std::string detail;
  EXPECT_EQ(OpenError(second, kCom, &detail), "Can't open device COM41");
  EXPECT_EQ(detail, FPty.SlavePath() + " is held by process " + std::to_string(getpid()) +
                        " (" + KernelProcessName("test_transport") + ")");
  EXPECT_FALSE(second.IsOpen());

  // A pseudo-terminal is never marked exclusive: its far end may stay open
  // after us (even after a killed run), and the mark with it. The lock
  // alone keeps other programs out, and goes with the descriptor.
  if (const std::string why = ExclusiveQuerySkipReason(); !why.empty()) GTEST_SKIP() << why;
  EXPECT_EQ(Exclusive(FPty.SlavePath()), 0);
  FCore.CloseIfOpen();
  EXPECT_FALSE(FCore.IsOpen());
  EXPECT_EQ(Exclusive(FPty.SlavePath()), 0);
  EXPECT_EQ(OpenError(second, kCom), "opened");
}

TEST(CoreOpenFailureTest, PortZeroAndAMissingDeviceAreInvalidPortNumbersAndANonTtyCannotOpen) {
  TAfComPortCore core(nullptr);
  std::string detail;
  EXPECT_EQ(OpenError(core, 0, &detail), "Invalid port number (COM0)");
  {
    TComPath path(42, "/nonexistent/ttyUSB7");
    EXPECT_EQ(OpenError(core, 42, &detail), "Invalid port number (COM42)");
    EXPECT_EQ(detail, "/nonexistent/ttyUSB7: no such device");
  }
  {
    TComPath path(43, "/dev/null");
    EXPECT_EQ(OpenError(core, 43, &detail), "Can't open device COM43");
    EXPECT_EQ(detail, "/dev/null: not a serial device");
  }
  EXPECT_FALSE(core.IsOpen());
}

TEST_F(CoreTest, RatesAreAppliedAndReadBackFromTheTty) {
  if (const std::string why = ArbitraryRateSkipReason(); !why.empty()) GTEST_SKIP() << why;
  ASSERT_TRUE(FCore.Open(kCom));
  for (std::uint32_t rate : {19200u, 14400u, 250000u}) {
    FCore.SetLineRecord(Record8N1(rate));
    EXPECT_EQ(FCore.GetLineRecord().BaudRate, rate);
    // A second descriptor of the same tty (root passes TIOCEXCL) sees the rate.
    const int fd = open(FPty.SlavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) GTEST_SKIP() << "the tty cannot be opened a second time here";
    std::uint32_t onTty = 0;
    EXPECT_TRUE(GetTtyRate(fd, onTty));
    EXPECT_EQ(onTty, rate);
    close(fd);
  }
}

// Where the system cannot set a rate outside the standard list at all (the
// call answers ENOSYS, as under user-mode emulation), the setting fails with
// that reason, not as a rate this line "does not take"; elsewhere it is set.
TEST_F(CoreTest, ARateOutsideTheStandardListIsSetOrRefusedWithTheReasonWhy) {
  ASSERT_TRUE(FCore.Open(kCom));
  const bool systemCannot = !ArbitraryRateSkipReason().empty();
  try {
    FCore.SetLineRecord(Record8N1(14400));
    EXPECT_FALSE(systemCannot) << "the setting of an impossible rate succeeded";
    EXPECT_EQ(FCore.GetLineRecord().BaudRate, 14400u);
  } catch (const EAfComPortCoreError& e) {
    EXPECT_TRUE(systemCannot) << e.Detail();
    EXPECT_STREQ(e.what(), "Error setting parameters from DCB");
    EXPECT_EQ(e.Detail(),
              FPty.SlavePath() + ": this system cannot set bit rates outside the standard list");
  }
  EXPECT_TRUE(FCore.IsOpen());
}

TEST_F(CoreTest, FramingAPseudoTerminalDoesNotTakeIsRefusedAndTheRecordHoldsWhatItHas) {
  ASSERT_TRUE(FCore.Open(kCom));
  TAfLineRecord sevenEven = Record8N1(9600);
  sevenEven.ByteSize = 7;
  sevenEven.Parity = kParityEven;
  try {
    FCore.SetLineRecord(sevenEven);
    FAIL() << "a pseudo-terminal keeps 8 data bits and no parity";
  } catch (const EAfComPortCoreError& e) {
    EXPECT_STREQ(e.what(), "Error setting parameters from DCB");
    EXPECT_EQ(e.Detail(), FPty.SlavePath() + ": the line does not take data bits, parity");
  }
  EXPECT_EQ(FCore.GetLineRecord().ByteSize, 8);
  EXPECT_EQ(FCore.GetLineRecord().Parity, kParityNone);
  EXPECT_TRUE(FCore.IsOpen());
}

TEST_F(CoreTest, WritesGoOutThroughTheWriterAndArrivalsAreReported) {
  ASSERT_TRUE(FCore.Open(kCom));
  const TBytes hello = BytesOf("hello");
  ASSERT_TRUE(FCore.Write(hello.data(), 5));
  EXPECT_EQ(FPty.Receive(5, kEventMs), hello);
  EXPECT_TRUE(FReports.WaitFor(ceOutFree));

  ASSERT_TRUE(FPty.Send(BytesOf("world")));
  ASSERT_TRUE(FReports.WaitFor(ceLineEvent));
  EXPECT_NE(FReports.Masks() & kEvRxChar, 0u);
  ASSERT_TRUE(FCore.WaitInput(kEventMs));
  TBytes got(16);
  got.resize(static_cast<std::size_t>(FCore.ReadInto(got.data(), 16)));
  EXPECT_EQ(TextOf(got), "world");
  EXPECT_EQ(FCore.QueryStatus().InQueue, 0u);
}

TEST_F(CoreTest, AMegabyteArrivesWholeAndInOrder) {
  ASSERT_TRUE(FCore.Open(kCom));
  TBytes data(1024 * 1024);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i % 251);
  ASSERT_TRUE(FCore.Write(data.data(), static_cast<std::int32_t>(data.size())));
  const TBytes got = FPty.Receive(data.size(), kEventMs);
  ASSERT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data);
}

TEST_F(CoreTest, PurgesDropWaitingInputAndTheUnsentRing) {
  ASSERT_TRUE(FCore.Open(kCom));
  ASSERT_TRUE(FPty.Send(BytesOf("stale")));
  ASSERT_TRUE(FCore.WaitInput(kEventMs));
  EXPECT_TRUE(FCore.PurgeInput());
  EXPECT_EQ(FCore.QueryStatus().InQueue, 0u);

  // Nobody reads the far end: the tty fills and the rest stays in the ring.
  const TBytes block(512 * 1024, 0x55);
  ASSERT_TRUE(FCore.Write(block.data(), static_cast<std::int32_t>(block.size())));
  const std::int32_t ringSize = 2 * 1024 * 1024;
  EXPECT_LT(FCore.OutFree(), ringSize);
  EXPECT_TRUE(FCore.PurgeOutput());
  EXPECT_EQ(FCore.OutFree(), ringSize);
  EXPECT_LT(FPty.Receive(block.size(), 500).size(), block.size());
}

// Bytes that reached the line before the port was opened answer nothing of
// this run: the port starts empty, as a freshly opened one does.
TEST_F(CoreTest, BytesWaitingBeforeTheOpenAreDropped) {
  ASSERT_TRUE(FPty.Send(BytesOf("stale answer")));
  ASSERT_TRUE(FCore.Open(kCom));
  ASSERT_TRUE(FPty.Send(BytesOf("fresh")));
  TBytes got;
  while (got.size() < 5 && FCore.WaitInput(kEventMs)) {
    TBytes part(64);
    part.resize(static_cast<std::size_t>(std::max(FCore.ReadInto(part.data(), 64), 0)));
    got.insert(got.end(), part.begin(), part.end());
  }
  EXPECT_EQ(TextOf(got), "fresh");
}

// The writer holds a block it has taken from the ring while the ring is
// purged and new bytes are written: they go out after that block, never
// before it.
class TBlockTaken {
 public:
  static void Hook() {
    std::unique_lock<std::mutex> lock(FLock);
    if (FTaken) return;  // holds the writer the first time only
    FTaken = true;
    FChanged.notify_all();
    FChanged.wait(lock, [] { return FReleased; });
  }
  static bool WaitTaken() {
    std::unique_lock<std::mutex> lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(kEventMs), [] { return FTaken; });
  }
  static void Release() {
    {
      std::lock_guard<std::mutex> guard(FLock);
      FReleased = true;
    }
    FChanged.notify_all();
  }

 private:
  static inline std::mutex FLock;
  static inline std::condition_variable FChanged;
  static inline bool FTaken = false;
  static inline bool FReleased = false;
};

TEST_F(CoreTest, BytesWrittenAfterAPurgeDoNotOvertakeTheBlockOnItsWay) {
  ASSERT_TRUE(FCore.Open(kCom));
  // The line stops sending, so the first block waits in the ring for the writer.
  const int tty = open(FPty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(tty, 0);
  ASSERT_EQ(tcflow(tty, TCOOFF), 0);
  TAfComPortWriteThread::SetBlockTakenHook(&TBlockTaken::Hook);
  const TBytes first = BytesOf("first");
  ASSERT_TRUE(FCore.Write(first.data(), 5));
  const bool taken = TBlockTaken::WaitTaken();
  EXPECT_EQ(tcflow(tty, TCOON), 0);
  if (taken) {
    EXPECT_TRUE(FCore.PurgeOutput());
    const TBytes second = BytesOf("second");
    EXPECT_TRUE(FCore.Write(second.data(), 6));
  }
  TBlockTaken::Release();
  TAfComPortWriteThread::SetBlockTakenHook(nullptr);
  close(tty);
  ASSERT_TRUE(taken) << "the writer never took the block";
  EXPECT_EQ(TextOf(FPty.Receive(11, kEventMs)), "firstsecond");
}

TEST_F(CoreTest, ADeviceThatGoesAwayIsReportedAndThePortStillCloses) {
  ASSERT_TRUE(FCore.Open(kCom));
  FPty.CloseMaster();
  ASSERT_TRUE(FReports.WaitFor(ceLineLost));
  EXPECT_TRUE(FCore.Lost());
  EXPECT_EQ(FCore.LostReason(), FPty.SlavePath() + ": the device has gone (unplugged or hung up)");
  EXPECT_FALSE(FCore.WaitInput(kEventMs));  // at once, not after the time-out
  FCore.CloseIfOpen();
  EXPECT_FALSE(FCore.IsOpen());
}

TEST_F(CoreTest, DataOperationsOfAClosedCoreFailQuietly) {
  const TBytes one{1};
  EXPECT_FALSE(FCore.Write(one.data(), 1));
  std::uint8_t byte = 0;
  EXPECT_EQ(FCore.ReadInto(&byte, 1), -1);
  EXPECT_EQ(FCore.OutFree(), 0);
  EXPECT_EQ(FCore.QueryStatus().InQueue, 0u);
  EXPECT_FALSE(FCore.PurgeOutput());
  EXPECT_FALSE(FCore.WaitInput(10));
}

}  // namespace
