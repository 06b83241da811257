// When a transaction gives up: its time-out, the wire time of a line of known
// speed, and a deadline that holds however much a peer sends. On the scripted
// transport's clock: no real waiting.
#include <gtest/gtest.h>

#include "uStackTestKit.h"

namespace {

using namespace stacktest;

class StackDeadlineTest : public ScriptedStackFixture {
 protected:
  // The answer to every request, `delayMs` after it is written, in pieces of
  // `piece` bytes `gapMs` apart.
  void Answer(std::uint32_t delayMs, std::size_t piece = 0, std::uint32_t gapMs = 0) {
    Transport->SetResponder([=, this](const TBytes& written) {
      const TTervanFormat97 request = ParsePacket(written);
      const TBytes answer = BuildPacket(request.ADR, request.SIG, 0x00, TBytes(40, 0x11));
      const std::size_t step = piece == 0 ? answer.size() : piece;
      std::uint32_t at = delayMs;
      for (std::size_t from = 0; from < answer.size(); from += step, at += gapMs)
        Transport->Schedule(at, TBytes(answer.begin() + static_cast<std::ptrdiff_t>(from),
                                       answer.begin() + static_cast<std::ptrdiff_t>(
                                                            std::min(from + step, answer.size()))));
      return TBytes{};
    });
  }

  bool Transact(std::int32_t timeout) {
    TBytes answer;
    return Stack->Transact(0x31, 0, 0xF3, {}, answer, timeout);
  }
};

// 300 baud: about 33 ms a character. The request (9 bytes) takes 300 ms on
// the wire and the answer (49 bytes) over 1.6 s, more than the time-out.
struct TLineCase {
  const char* Name;
  double ByteTime;
  std::uint32_t DelayMs;
  std::size_t Piece;
  std::uint32_t GapMs;
  bool Answered;
};

class StackLineSpeedTest : public StackDeadlineTest,
                           public ::testing::WithParamInterface<TLineCase> {};

TEST_P(StackLineSpeedTest, DeadlineFitsTheLine) {
  const TLineCase& c = GetParam();
  Transport->SetByteTime(c.ByteTime);
  Answer(c.DelayMs, c.Piece, c.GapMs);
  EXPECT_EQ(Transact(1000), c.Answered);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StackLineSpeedTest,
    ::testing::Values(
        // The request's own wire time counts: an answer 1.2 s after the write
        // comes within 1000 ms plus 300 ms.
        TLineCase{"RequestWireTimeCounts", 33.3, 1200, 0, 0, true},
        TLineCase{"WithoutByteTimeNothingChanges", 0.0, 1200, 0, 0, false},
        // The answer's bytes, one every 33 ms from 400 ms on, end at 2 s.
        TLineCase{"EveryAnswerByteExtendsTheDeadline", 33.3, 400, 1, 33, true},
        TLineCase{"SlowBytesOnAFastLineDoNot", 0.0, 400, 1, 33, false},
        // Bytes that stop coming do not hold the exchange open.
        TLineCase{"AnAnswerThatStallsEndsTheExchange", 33.3, 400, 20, 5000, false}),
    [](const ::testing::TestParamInfo<TLineCase>& info) { return info.param.Name; });

TEST_F(StackDeadlineTest, NoiseOnTheLineDoesNotExtendTheDeadline) {
  Transport->SetByteTime(1.0);
  for (std::uint32_t at = 0; at < 5000; at += 10) Transport->Schedule(at, TBytes(10, 0x41));
  const std::uint32_t start = Transport->Now();
  EXPECT_FALSE(Transact(100));
  EXPECT_LE(Transport->Now() - start, 100u + 9u + TTervanStack::kPassMs + 10u);
}

// However much arrives in one read, the exchange ends by its time-out plus
// one pass: what the scan has not reached by then goes to the receive path.
TEST_F(StackDeadlineTest, ScanOfAHugeBlockEndsWithThePass) {
  auto d31 = Attach(0x31);
  TBytes flood;
  while (flood.size() < 8 * 1024 * 1024) flood.insert(flood.end(), {0x2A, 0x61, 0xFF, 0xFD});
  const TBytes answer = BuildPacket(0x31, 0, 0x00, {0x05});
  flood.insert(flood.end(), answer.begin(), answer.end());
  Transport->Schedule(10, flood);
  // Every look at the clock finds 20 ms gone, as on a machine that crawls.
  Stack->SetTickSource([this] {
    Transport->Advance(20);
    return Transport->Now();
  });
  const std::uint32_t start = Transport->Now();
  EXPECT_FALSE(Transact(200));
  EXPECT_LT(Transport->Now() - start, 1000u) << "the scan ran to the end of the block";
  // The newest bytes, the answer among them, still reach the device.
  ASSERT_EQ(d31->Answers().size(), 1u);
  EXPECT_EQ(d31->Answers()[0].Data, TBytes{0x05});
}

}  // namespace
