// The console program as a process against peers written to misbehave: late
// answers, floods of bytes that look like packet headers, a stream that never
// stops. Never a wrong result; time and memory stay bounded.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "protocol/uTcpModulePeer.h"
#include "simulator/uModuleSimulator.h"
#include "support/uChildProcess.h"
#include "support/uEmulation.h"
#include "support/uSimulatorProcess.h"
#include "uRunLines.h"

namespace {

using namespace runlines;

// A sanitizer's own bookkeeping (shadow memory, quarantine) swamps the
// program's memory, and its slower program reads less of the stream.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Far more than a normal run needs (well under a second), far less than the
// minutes the faults cost.
constexpr int kHangGuardMs = 20000;

const std::vector<std::string> kRunArgs{"/Address=1", "/Out3=On", "/ErrorCode=In1,In2,In3"};

std::vector<std::string> RunArgs(std::uint16_t port) {
  std::vector<std::string> args{"/TCP=127.0.0.1:" + std::to_string(port)};
  args.insert(args.end(), kRunArgs.begin(), kRunArgs.end());
  return args;
}

// Headers that each claim 64 KiB: the costliest noise for a framer.
TBytes LookAlikes(std::size_t size) {
  TBytes bytes;
  bytes.reserve(size);
  while (bytes.size() < size) bytes.insert(bytes.end(), {0x2A, 0x61, 0xFF, 0xFD});
  return bytes;
}

// A module that answers every request a whole time-out late: each answer
// arrives while the next request waits. It must never be taken for that one.
TEST(HostilePeerTest, AnswersLateByMoreThanTheTimeOutGiveNoWrongResult) {
  TSimulatorProcess sim = StartSimulator({"--inputs-on", "1,3", "--answer-delay", "1200"});
  ASSERT_NE(sim.Port, 0);
  const TProgramResult r = RunProgram(ProgramPath("VeltoConsole"), RunArgs(sim.Port), kHangGuardMs);
  ASSERT_FALSE(r.TimedOut) << "the run did not end";
  EXPECT_EQ(r.ExitStatus, 255);  // 5 would be right too, any other code is a wrong result
  EXPECT_EQ(SplitLines(r.Stdout),
            (Lines{"Connection established.", "Could not read data from Velto!"}));
}

// A megabyte of header look-alikes before every answer once cost seconds of
// full CPU per exchange; now a normal run. (A sanitizer's unoptimised build
// takes far longer per byte: it gets a smaller flood, to stay well inside
// the exchange's time-out on a loaded machine.)
TEST(HostilePeerTest, HeaderLookAlikesBeforeEveryAnswerCostLittle) {
  TSimConfig config;
  config.Inputs = {true, false, true};
  TModuleSimulator module(config);
  // A slower program (sanitized or emulated) gets less noise: the run's own
  // answer time-out is not stretched.
  const TBytes noise = LookAlikes(kSanitized || UnderEmulation() ? 64 << 10 : 1 << 20);
  stacktest::TTcpModulePeer peer([&](const TTervanFormat97& request) {
    module.Receive(BuildPacket(request.ADR, request.SIG, request.INST, request.Data), 0);
    TBytes bytes = noise;
    const TBytes answer = module.TakeBytes();
    bytes.insert(bytes.end(), answer.begin(), answer.end());
    return bytes;
  });
  const TProgramResult r =
      RunProgram(ProgramPath("VeltoConsole"), RunArgs(peer.Port()), kHangGuardMs);
  ASSERT_FALSE(r.TimedOut) << "the run did not end";
  EXPECT_EQ(r.ExitStatus, 5);
  EXPECT_EQ(SplitLines(r.Stdout), Concat({"Connection established."}, InputLines({1, 3})));
}

// Lines that hear more than the module's answer, each before every answer:
// the program's own request (a half-duplex line that echoes), a copy of the
// answer before (a bridge that repeats what it hears), or both. The run's
// result is the one a quiet line gives, and nothing is asked twice.
struct TNoisyLineCase {
  const char* Name;
  bool Echo;
  bool CopyOfTheAnswerBefore;
};

class NoisyLineTest : public ::testing::TestWithParam<TNoisyLineCase> {};

TEST_P(NoisyLineTest, TheRunEndsAsOnAQuietLine) {
  const TNoisyLineCase c = GetParam();
  TSimConfig config;
  config.Inputs = {true, false, true};
  TModuleSimulator module(config);
  TBytes before;  // the answer to the request before
  stacktest::TTcpModulePeer peer([&](const TTervanFormat97& request) {
    const TBytes packet = BuildPacket(request.ADR, request.SIG, request.INST, request.Data);
    module.Receive(packet, 0);
    const TBytes answer = module.TakeBytes();
    TBytes bytes;
    if (c.Echo) bytes.insert(bytes.end(), packet.begin(), packet.end());
    if (c.CopyOfTheAnswerBefore) bytes.insert(bytes.end(), before.begin(), before.end());
    bytes.insert(bytes.end(), answer.begin(), answer.end());
    before = answer;
    return bytes;
  });
  const TProgramResult r =
      RunProgram(ProgramPath("VeltoConsole"), RunArgs(peer.Port()), kHangGuardMs);
  ASSERT_FALSE(r.TimedOut) << "the run did not end";
  EXPECT_EQ(r.ExitStatus, 5);
  EXPECT_EQ(SplitLines(r.Stdout), Concat({"Connection established."}, InputLines({1, 3})));
  EXPECT_EQ(peer.Requests(), 4);
}

INSTANTIATE_TEST_SUITE_P(Cases, NoisyLineTest,
                         ::testing::Values(TNoisyLineCase{"EchoOfEveryRequest", true, false},
                                           TNoisyLineCase{"CopyOfEveryAnswer", false, true},
                                           TNoisyLineCase{"EchoAndCopy", true, true}),
                         [](const ::testing::TestParamInfo<TNoisyLineCase>& info) {
                           return info.param.Name;
                         });

// A peer that streams as fast as it can during the whole run: the program's
// memory stays bounded instead of growing with line speed times time-out.
TEST(HostilePeerTest, StreamAtFullSpeedKeepsPeakMemorySmall) {
  stacktest::TTcpModulePeer peer([](const TTervanFormat97&) { return TBytes{}; });
  TChildProcess console;
  ASSERT_TRUE(console.Start(ProgramPath("VeltoConsole"), RunArgs(peer.Port())));
  console.CloseStdin();
  std::atomic<std::uint64_t> sent{0};
  std::thread flood([&] {
    const TBytes chunk = LookAlikes(1 << 20);
    // Ends when the program has gone and its end of the connection with it.
    while (peer.SendUnsolicited(chunk, 5000)) sent += chunk.size();
  });
  int status = -1;
  const bool ended = console.Wait(kHangGuardMs, status);
  if (!ended) console.Kill();
  flood.join();
  ASSERT_TRUE(ended) << "the run did not end";
  EXPECT_EQ(status, 255);
  if (kSanitized) return;
  // The run's own time-outs are not stretched, and an emulated program
  // streams far less within them.
  if (UnderEmulation()) GTEST_SKIP() << "under user-mode emulation the stream is too slow to tell";
  EXPECT_GT(sent.load(), 32u << 20) << "the stream was too slow to tell";
  EXPECT_LT(console.PeakRssKb(), 32 * 1024);
}

}  // namespace
