// Lines that hear more than the module's answer: a half-duplex line that
// echoes every request, a bridge that repeats every answer, a peer that
// announces a long packet and then babbles. One table per kind of fault; all
// on the scripted transport's clock, so no real waiting.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "protocol/uTervanClock.h"
#include "uStackTestKit.h"

namespace {

using namespace stacktest;

constexpr std::int32_t kTimeout = kDeviceTimeout;

// The requests of every case: identification, output 3 on, the inputs.
struct TRequest {
  std::uint8_t Inst;
  TBytes Data;
};
const std::vector<TRequest> kRequests{{0xF3, {}}, {0x20, {0x83}}, {0x31, {}}};

// What the line does with one request: `request` is the packet as written,
// `answer` the module's answer to it (its data is the request's instruction
// code, so an answer tells whose it is). Bytes go out with Schedule.
using TLine = std::function<void(TScriptedTransport& line, const TBytes& request,
                                 const TBytes& answer)>;

class LineFaultTest : public ScriptedDeviceFixture {
 protected:
  void SetLine(TLine line, std::uint8_t ack = 0x00) {
    Transport->SetResponder([this, line, ack](const TBytes& written) {
      const TTervanFormat97 request = ParsePacket(written);
      line(*Transport, written, BuildPacket(request.ADR, request.SIG, ack, {request.INST}));
      return TBytes{};
    });
  }

  // Runs the requests one after the other; for each, the answer data it got
  // ("-" when it failed) and its last result.
  std::vector<std::string> RunRequests() {
    std::vector<std::string> seen;
    for (const TRequest& r : kRequests) {
      TBytes data;
      const bool ok = Device->Execute(r.Inst, r.Data, {}, true, -1, data);
      seen.push_back((ok ? HexOf(data) : std::string("-")) + "/" +
                     std::to_string(Device->GetLastResult()));
    }
    return seen;
  }

};

// What every request gets from a module that answers each correctly.
const std::vector<std::string> kOwnAnswers{"F3/1", "20/1", "31/1"};
// What every request gets when no answer comes.
const std::vector<std::string> kNoAnswers{"-/2", "-/2", "-/2"};

// --- an echoing line ---

struct TEchoCase {
  const char* Name;
  TLine Line;
  std::vector<std::string> Expected;
};

class EchoingLineTest : public LineFaultTest, public ::testing::WithParamInterface<TEchoCase> {};

TEST_P(EchoingLineTest, TheEchoIsNeverTheAnswer) {
  SetLine(GetParam().Line);
  EXPECT_EQ(RunRequests(), GetParam().Expected);
  // The echo is the program's own request: no device is handed it.
  for (const TTervanFormat97& p : Device->Packets()) EXPECT_LT(p.INST, 6) << "an echo was dispatched";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EchoingLineTest,
    ::testing::Values(
        TEchoCase{"EchoAndAnswerInOneRead",
                  [](TScriptedTransport& l, const TBytes& q, const TBytes& a) {
                    l.Schedule(5, Concat({q, a}));
                  },
                  kOwnAnswers},
        TEchoCase{"EchoAloneThenTheAnswer",
                  [](TScriptedTransport& l, const TBytes& q, const TBytes& a) {
                    l.Schedule(2, q);
                    l.Schedule(40, a);
                  },
                  kOwnAnswers},
        TEchoCase{"EchoInSingleBytesThenTheAnswer",
                  [](TScriptedTransport& l, const TBytes& q, const TBytes& a) {
                    for (std::size_t i = 0; i < q.size(); ++i)
                      l.Schedule(static_cast<std::uint32_t>(1 + i), TBytes{q[i]});
                    l.Schedule(30, a);
                  },
                  kOwnAnswers},
        TEchoCase{"EchoHeardTwice",
                  [](TScriptedTransport& l, const TBytes& q, const TBytes& a) {
                    l.Schedule(2, q);
                    l.Schedule(4, q);
                    l.Schedule(40, a);
                  },
                  kOwnAnswers},
        // A module that does not answer: the echo alone must not pass for a
        // refusal, and must not be the next request's answer either.
        TEchoCase{"EchoWithoutAnswer",
                  [](TScriptedTransport& l, const TBytes& q, const TBytes&) { l.Schedule(2, q); },
                  kNoAnswers},
        // The rule is byte for byte: an answer that carries the request's
        // code as its acknowledge code but other data is an answer (refused).
        TEchoCase{"LookAlikeAnswerIsStillTheAnswer",
                  [](TScriptedTransport& l, const TBytes& q, const TBytes&) {
                    const TTervanFormat97 r = ParsePacket(q);
                    l.Schedule(5, BuildPacket(r.ADR, r.SIG, r.INST, {0xAA, 0xBB}));
                  },
                  {"-/4", "-/4", "-/4"}}),
    [](const ::testing::TestParamInfo<TEchoCase>& info) { return info.param.Name; });

// The stack on its own: the answer it hands back is the module's, not the echo.
TEST_F(LineFaultTest, TransactHandsBackTheAnswerNotTheEcho) {
  SetLine([](TScriptedTransport& l, const TBytes& q, const TBytes& a) { l.Schedule(3, Concat({q, a})); });
  TBytes answer;
  ASSERT_TRUE(Stack->Transact(0x31, 0, 0xF3, {}, answer, kTimeout));
  EXPECT_EQ(HexOf(answer), HexOf(BuildPacket(0x31, 0, 0x00, {0xF3})));
  EXPECT_EQ(Stack->RxBufferSize(), 0u);
}

// A request that does not wait, of an instruction below 6, is echoed through
// the receive path: its callback runs for the answer only.
TEST_F(LineFaultTest, UnwaitedRequestsCallbackIsNotRunForTheEcho) {
  std::vector<TBytes> answers;
  TTervanFormat97 ignored;
  ASSERT_TRUE(Device->Exchange(
      0x02, {0x07}, false, kTimeout,
      [&](const TTervanFormat97&, const TTervanFormat97& a) { answers.push_back(a.Data); },
      ignored));
  const TBytes request = Transport->Written().at(0);
  Transport->Deliver(request);
  EXPECT_TRUE(answers.empty()) << "the echo was taken for the answer";
  Transport->Deliver(BuildPacket(0x31, request[5], 0x00, {0x42}));
  EXPECT_EQ(answers, std::vector<TBytes>{TBytes{0x42}});
}

// --- a line that repeats every answer ---

struct TRepeatCase {
  const char* Name;
  std::uint32_t AnswerMs;
  std::vector<std::uint32_t> CopiesMs;  // after the request, one copy each
};

class RepeatingLineTest : public LineFaultTest,
                          public ::testing::WithParamInterface<TRepeatCase> {};

TEST_P(RepeatingLineTest, ACopyOfAnEarlierAnswerIsNeverALaterRequestsAnswer) {
  const TRepeatCase c = GetParam();
  SetLine([c](TScriptedTransport& l, const TBytes&, const TBytes& a) {
    l.Schedule(c.AnswerMs, a);
    for (std::uint32_t at : c.CopiesMs) l.Schedule(at, a);
  });
  EXPECT_EQ(RunRequests(), kOwnAnswers);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RepeatingLineTest,
    ::testing::Values(
        // The copy comes 50 ms after the answer, while the next request waits.
        TRepeatCase{"CopyFiftyMsLater", 60, {110}},
        TRepeatCase{"CopyInTheSameRead", 60, {60}},
        TRepeatCase{"ThreeCopies", 60, {110, 160, 210}},
        // Copies that come after the next request's own answer.
        TRepeatCase{"CopyLongAfter", 10, {500}}),
    [](const ::testing::TestParamInfo<TRepeatCase>& info) { return info.param.Name; });

// --- a line that babbles ---
// A head that matches the request (address, signature, acknowledge code 0)
// and announces 0xFFFF bytes, then junk at the line's own rate: the exchange
// ends within its time-out plus the wire time of the largest answer the
// instruction can have (a fixed allowance where the line has no wire time).

struct TBabbleCase {
  const char* Name;
  double ByteTime;  // ms per character; 0 = not known (TCP)
  std::uint8_t Inst;
  bool Babble;              // else an honest answer of AnswerData bytes
  std::size_t AnswerData;   // data bytes of the honest answer
  std::uint32_t StartMs;    // when the head (or the answer) starts
  std::uint32_t TcpSplitMs; // without wire time: when the rest of the answer comes
  bool Answered;
};

class BabblingLineTest : public ScriptedStackFixture,
                         public ::testing::WithParamInterface<TBabbleCase> {
 protected:
  // `bytes` sent at the line's rate from `startMs` on, in 50 ms pieces.
  void AtLineRate(const TBytes& bytes, std::uint32_t startMs, double byteTime) {
    const std::size_t step =
        byteTime > 0.0 ? static_cast<std::size_t>(std::ceil(50.0 / byteTime)) : 64;
    std::uint32_t at = startMs;
    for (std::size_t from = 0; from < bytes.size(); from += step, at += 50) {
      const std::size_t to = std::min(bytes.size(), from + step);
      Transport->Schedule(at, TBytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                                     bytes.begin() + static_cast<std::ptrdiff_t>(to)));
    }
  }
};

TEST_P(BabblingLineTest, TheExchangeEndsWithinItsTimeOutPlusTheLargestAnswer) {
  const TBabbleCase c = GetParam();
  Transport->SetByteTime(c.ByteTime);
  auto d31 = Attach(0x31);
  Transport->SetResponder([&](const TBytes& written) {
    const TTervanFormat97 q = ParsePacket(written);
    if (c.Babble) {
      TBytes babble{0x2A, 0x61, 0xFF, 0xFF, q.ADR, q.SIG, 0x00};
      // Two minutes of junk, or the whole announced packet when that is less.
      const double seconds = 120.0;
      const std::size_t count =
          c.ByteTime > 0.0 ? static_cast<std::size_t>(seconds * 1000.0 / c.ByteTime) : 0xFFFF;
      babble.resize(std::min<std::size_t>(count, 0xFFFF + 4), 0x55);
      AtLineRate(babble, c.StartMs, c.ByteTime);
    } else {
      const TBytes answer = BuildPacket(q.ADR, q.SIG, 0x00, TBytes(c.AnswerData, 0x41));
      if (c.ByteTime > 0.0) {
        AtLineRate(answer, c.StartMs, c.ByteTime);
      } else {
        Transport->Schedule(c.StartMs, TBytes(answer.begin(), answer.begin() + 10));
        Transport->Schedule(c.TcpSplitMs, TBytes(answer.begin() + 10, answer.end()));
      }
    }
    return TBytes{};
  });
  const std::uint32_t start = Transport->Now();
  TBytes answer;
  EXPECT_EQ(Stack->Transact(0x31, 0, c.Inst, {}, answer, kTimeout), c.Answered);
  const std::uint32_t took = Transport->Now() - start;
  const std::uint32_t bound = static_cast<std::uint32_t>(kTimeout) + WireTimeMs(9, c.ByteTime) +
                              AnswerOverrunMs(c.Inst, c.ByteTime) + TTervanStack::kPassMs;
  EXPECT_LE(took, bound) << "the exchange was held past its bound";
  if (c.Answered) {
    EXPECT_EQ(ParsePacket(answer).Data.size(), c.AnswerData);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BabblingLineTest,
    ::testing::Values(
        // Once 11 s at 57,600 baud, 68 s at 9,600, half an hour at 300.
        TBabbleCase{"Babble57600Baud", 10000.0 / 57600.0, 0x31, true, 0, 100, 0, false},
        TBabbleCase{"Babble9600Baud", 10000.0 / 9600.0, 0xF3, true, 0, 100, 0, false},
        TBabbleCase{"Babble300Baud", 10000.0 / 300.0, 0xF1, true, 0, 100, 0, false},
        TBabbleCase{"BabbleWithoutWireTime", 0.0, 0x31, true, 0, 100, 0, false},
        // An honest long answer still gets the time its bytes take: an
        // identification text of 200 bytes at 300 baud takes 7 s.
        TBabbleCase{"LongTextAt300BaudIsStillTaken", 10000.0 / 300.0, 0xF3, false, 200, 900, 0,
                    true},
        // Without wire time an answer under way at the time-out gets the
        // fixed allowance, and no more.
        TBabbleCase{"SplitAnswerWithoutWireTimeIsTaken", 0.0, 0x31, false, 40, 950, 1300, true},
        TBabbleCase{"SplitAnswerPastTheAllowanceIsNot", 0.0, 0x31, false, 40, 950, 1700, false}),
    [](const ::testing::TestParamInfo<TBabbleCase>& info) { return info.param.Name; });

TEST(AnswerOverrunTest, LargestAnswerOfEachInstruction) {
  // 1 ms a character: the wire time is the size of the whole packet.
  EXPECT_EQ(AnswerOverrunMs(0xE3, 1.0), 9u);    // acknowledge code alone
  EXPECT_EQ(AnswerOverrunMs(0xF1, 1.0), 10u);   // one byte
  EXPECT_EQ(AnswerOverrunMs(0xFA, 1.0), 17u);   // three values, eight bytes
  EXPECT_EQ(AnswerOverrunMs(0xF3, 1.0), 264u);  // a text
  EXPECT_EQ(AnswerOverrunMs(0x31, 1.0), 9u + kMaxAnswerDataOther);
  EXPECT_EQ(AnswerOverrunMs(0x31, 0.0), kNoWireTimeAnswerMs);
}

}  // namespace
