// Why a run could not connect, or lost its connection, as the console program
// tells it: its usual standard output and exit code, plus one line on
// standard error that names the target and the reason.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/uChildProcess.h"
#include "support/uLoopbackPeer.h"

namespace {

// What stands at the far end of the connection.
enum class TPeer {
  Nothing,        // a port where nothing listens
  FullQueue,      // a listener whose accept queue is full: the connect never completes
  ClosesOnFirst,  // takes the first request, then closes
  ResetsOnFirst,  // takes the first request, then resets
};

struct TReasonCase {
  const char* Name;
  TPeer Peer;
  std::vector<std::string> Extra;
  const char* Stdout;
  const char* Reason;
};

// Length of the run's first request (the identification).
constexpr std::size_t kIdentifyLength = 9;

class MainRunReasonTest : public ::testing::TestWithParam<TReasonCase> {};

TEST_P(MainRunReasonTest, StandardErrorNamesTheTargetAndTheReason) {
  const TReasonCase& c = GetParam();
  std::unique_ptr<TLoopbackListener> listener;
  std::uint16_t port = 0;
  std::thread peer;
  if (c.Peer == TPeer::Nothing) {
    port = UnusedLoopbackPort();
  } else if (c.Peer == TPeer::FullQueue) {
    listener = std::make_unique<TLoopbackListener>(0);
    ASSERT_TRUE(listener->FillAcceptQueue());
    port = listener->Port();
  } else {
    listener = std::make_unique<TLoopbackListener>();
    port = listener->Port();
    const bool reset = c.Peer == TPeer::ResetsOnFirst;
    peer = std::thread([&listener, reset] {
      TPeerSocket connection = listener->Accept(20000);
      EXPECT_EQ(connection.ReceiveExactly(kIdentifyLength, 20000).size(), kIdentifyLength);
      if (reset)
        connection.Abort();
      else
        connection.Close();
    });
  }
  std::vector<std::string> args{"/TCP=127.0.0.1:" + std::to_string(port), "/Address=1"};
  args.insert(args.end(), c.Extra.begin(), c.Extra.end());
  TProgramResult r = RunProgram(ProgramPath("VeltoConsole"), args, 20000);
  if (peer.joinable()) peer.join();
  EXPECT_EQ(r.ExitStatus, 255);
  EXPECT_EQ(r.Stdout, c.Stdout);
  EXPECT_EQ(r.Stderr, "VeltoConsole: 127.0.0.1:" + std::to_string(port) + ": " + c.Reason + "\n");
}

const char* const kRefused = "Connection refused!\n";
const char* const kNoData = "Connection established.\nCould not read data from Velto!\n";

INSTANTIATE_TEST_SUITE_P(
    Connections, MainRunReasonTest,
    ::testing::Values(
        TReasonCase{"ClosedPort", TPeer::Nothing, {}, kRefused, "connection refused"},
        TReasonCase{"ClosedPortUnderNolog", TPeer::Nothing, {"/nolog"}, "", "connection refused"},
        TReasonCase{"FullAcceptQueue", TPeer::FullQueue, {}, kRefused, "no answer within 1.5 s"},
        TReasonCase{"PeerClosesMidRun", TPeer::ClosesOnFirst, {}, kNoData,
                    "connection closed by the module"},
        TReasonCase{"PeerResetsMidRun", TPeer::ResetsOnFirst, {}, kNoData, "connection reset"}),
    [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
