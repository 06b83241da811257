// Opening a port that another open holds: waiting for it up to a bound, and
// the reason that names the holder when the bound passes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>

#include "support/uEmulation.h"
#include "transport/serial/AfComPortCore.h"
#include "transport/serial/AfTty.h"
#include "uPtyPair.h"

namespace {

constexpr int kCom = 43;

enum class THold { Lock, ExclusiveFlag };

struct TWaitCase {
  const char* Name;
  THold Hold;
  std::uint32_t WaitMs;
  bool ReleaseWhenHeld;  // the holder lets go once the opener finds it held
  const char* Reason;    // after the path; "%p" stands for this process
};

// A descriptor of the tty that holds it as another program would.
class THolder {
 public:
  THolder(const std::string& path, THold hold) {
    FFd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (FFd < 0) return;
    FOk = hold == THold::Lock ? flock(FFd, LOCK_EX | LOCK_NB) == 0 : ioctl(FFd, TIOCEXCL) == 0;
  }
  ~THolder() { Release(); }
  bool Ok() const { return FOk; }
  void Release() {
    if (FFd < 0) return;
    ioctl(FFd, TIOCNXCL);
    close(FFd);
    FFd = -1;
  }

 private:
  int FFd = -1;
  bool FOk = false;
};

std::string Expand(std::string text) {
  const std::string process =
      "process " + std::to_string(getpid()) + " (" + KernelProcessName("test_transport") + ")";
  if (const auto at = text.find("%p"); at != std::string::npos) text.replace(at, 2, process);
  return text;
}

class PortWaitTest : public ::testing::TestWithParam<TWaitCase> {};

TEST_P(PortWaitTest, WaitsForTheHolderUpToItsBound) {
  const TWaitCase& c = GetParam();
  // Root opens through the flag and sees it only by asking for it.
  if (c.Hold == THold::ExclusiveFlag && geteuid() == 0)
    if (const std::string why = ExclusiveQuerySkipReason(); !why.empty()) GTEST_SKIP() << why;
  TPtyPair pty(kCom);
  ASSERT_TRUE(pty.Ok());
  THolder holder(pty.SlavePath(), c.Hold);
  ASSERT_TRUE(holder.Ok());
  int heldCalls = 0;
  const auto start = std::chrono::steady_clock::now();
  TTtyOpenResult result = OpenTtyWaiting(pty.SlavePath(), c.WaitMs, [&] {
    ++heldCalls;
    if (c.ReleaseWhenHeld) holder.Release();
  });
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(heldCalls, 1);
  if (c.ReleaseWhenHeld) {
    EXPECT_GE(result.Fd, 0) << result.Reason;
    EXPECT_EQ(result.Failure, TTtyOpenFailure::None);
    CloseTty(result.Fd);
    return;
  }
  EXPECT_LT(result.Fd, 0);
  EXPECT_EQ(result.Failure, TTtyOpenFailure::Held);
  EXPECT_EQ(result.Reason, pty.SlavePath() + Expand(c.Reason));
  EXPECT_GE(waited, std::chrono::milliseconds(c.WaitMs));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortWaitTest,
    ::testing::Values(
        TWaitCase{"LockNoWait", THold::Lock, 0, false, " is held by %p"},
        TWaitCase{"LockPastTheBound", THold::Lock, 150, false,
                  " is held by %p; waited 150 ms"},
        // Root opens through the flag; an ordinary user is refused with EBUSY.
        // Either way the holder cannot be named: the flag is not a lock.
        TWaitCase{"FlagPastTheBound", THold::ExclusiveFlag, 150, false,
                  " is held by another program (its exclusive-open flag is set); waited 150 ms"},
        TWaitCase{"LockReleased", THold::Lock, 60000, true, ""},
        TWaitCase{"FlagReleased", THold::ExclusiveFlag, 60000, true, ""}),
    [](const ::testing::TestParamInfo<TWaitCase>& info) { return std::string(info.param.Name); });

std::atomic<bool> gGiveUp{false};

TEST(PortWaitAbandonTest, AWaitEndsWhenTheProcessGivesUp) {
  TPtyPair pty(kCom);
  ASSERT_TRUE(pty.Ok());
  THolder holder(pty.SlavePath(), THold::Lock);
  ASSERT_TRUE(holder.Ok());
  gGiveUp = false;
  SetTtyWaitAbandon([] { return gGiveUp.load(); });
  // Bounded by the hang guard of the test run alone.
  TTtyOpenResult result = OpenTtyWaiting(pty.SlavePath(), 600000, [] { gGiveUp = true; });
  SetTtyWaitAbandon(nullptr);
  EXPECT_EQ(result.Failure, TTtyOpenFailure::Held);
  EXPECT_EQ(result.Reason, pty.SlavePath() + Expand(" is held by %p; waiting given up"));
}

TEST(PortWaitCoreTest, AnEngineThatWaitsPastItsBoundNamesTheHoldingEngine) {
  TPtyPair pty(kCom);
  ASSERT_TRUE(pty.Ok());
  TAfLineRecord record;
  record.Length = kLineRecordLength;
  record.BaudRate = 9600;
  record.ByteSize = 8;
  record.Flags = kLineBinary;
  TAfComPortCore first(nullptr);
  first.SetLineRecord(record);
  ASSERT_TRUE(first.Open(kCom));
  TAfComPortCore second(nullptr);
  second.SetLineRecord(record);
  second.SetPortWaitMs(100);
  try {
    second.Open(kCom);
    ADD_FAILURE() << "opened a held port";
  } catch (const EAfComPortCoreError& e) {
    EXPECT_STREQ(e.what(), "Can't open device COM43");
    EXPECT_EQ(e.Detail(), pty.SlavePath() + Expand(" is held by %p; waited 100 ms"));
  }
  first.CloseIfOpen();
  EXPECT_TRUE(second.Open(kCom));
}

}  // namespace
