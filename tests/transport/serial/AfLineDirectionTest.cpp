// Direction control of a half-duplex line: the calls each mode makes on the
// tty, in order, recorded by a port that stands in for the tty; and the
// modes' text form. What the line does electrically (when the driver really
// switches) needs the hardware and is not seen here.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "transport/serial/AfLineDirection.h"

namespace {

constexpr int kFd = 7;
constexpr std::uint32_t kCharUs = 1042;  // 9600 bit/s, ten bits a character

class TRecordingTty final : public IAfDirectionTty {
 public:
  std::vector<std::string> Calls;
  int Rs485Error = 0;

  int SetRs485(int fd, bool enabled, std::uint32_t beforeMs, std::uint32_t afterMs) override {
    Calls.push_back(Fd(fd) + (enabled ? "rs485 on " + std::to_string(beforeMs) + "/" +
                                            std::to_string(afterMs)
                                      : std::string("rs485 off")));
    return enabled ? Rs485Error : 0;
  }
  bool SetRts(int fd, bool raised) override {
    Calls.push_back(Fd(fd) + (raised ? "rts up" : "rts down"));
    return true;
  }
  bool WriteAll(int fd, const std::uint8_t* data, std::size_t n,
                std::uint32_t timeoutMs) override {
    Calls.push_back(Fd(fd) + "write " + std::string(reinterpret_cast<const char*>(data), n) +
                    " within " + std::to_string(timeoutMs));
    return true;
  }
  bool Drain(int fd) override {
    Calls.push_back(Fd(fd) + "drain");
    return true;
  }
  void Pause(std::uint32_t microseconds) override {
    Calls.push_back("pause " + std::to_string(microseconds));
  }

 private:
  static std::string Fd(int fd) { return fd == kFd ? "" : "fd" + std::to_string(fd) + " "; }
};

struct TModeCase {
  const char* Name;
  const char* Setting;
  std::vector<std::string> Calls;
};

class LineDirectionTest : public ::testing::TestWithParam<TModeCase> {};

// Open; a request that is answered; one that only hears its echo; the next; close.
TEST_P(LineDirectionTest, RecordsTheCallsOfOneSessionInOrder) {
  TRecordingTty tty;
  TAfLineDirection direction(tty);
  TAfDirectionSettings settings;
  ASSERT_TRUE(ParseDirection(GetParam().Setting, settings));
  direction.SetSettings(settings);
  direction.SetCharTimeUs(kCharUs);
  int error = -1;
  ASSERT_TRUE(direction.Begin(kFd, error));
  const auto send = [&](const char* text) {
    EXPECT_TRUE(direction.Send(kFd, reinterpret_cast<const std::uint8_t*>(text), 2, [&] {
      tty.Calls.push_back(std::string("queue ") + text);
      return true;
    }));
  };
  const auto receive = [&](const char* text) {
    direction.NoteReceived(reinterpret_cast<const std::uint8_t*>(text), std::strlen(text));
  };
  send("AB");
  receive("AB");  // its echo
  receive("xy");  // and an answer
  send("CD");
  receive("CD");  // its echo alone: unanswered
  send("EF");
  direction.End(kFd);
  EXPECT_EQ(tty.Calls, GetParam().Calls);
}

// Two characters take 2.1 ms: the write may take twice that and a second.
INSTANTIATE_TEST_SUITE_P(
    Modes, LineDirectionTest,
    ::testing::Values(
        TModeCase{"Off", "off", {"queue AB", "queue CD", "pause 3126", "queue EF"}},
        TModeCase{"Kernel",
                  "kernel",
                  {"rs485 on 0/0", "queue AB", "queue CD", "pause 3126", "queue EF",
                   "rs485 off"}},
        TModeCase{"KernelWithDelays",
                  "KERNEL:2:5",
                  {"rs485 on 2/5", "queue AB", "queue CD", "pause 3126", "queue EF",
                   "rs485 off"}},
        TModeCase{"Rts",
                  "rts",
                  {"rts down",
                   "rts up", "write AB within 1006", "drain", "rts down",
                   "rts up", "write CD within 1006", "drain", "rts down",
                   "pause 3126",
                   "rts up", "write EF within 1006", "drain", "rts down"}},
        TModeCase{"RtsWithDelays",
                  "rts:1:3",
                  {"rts down",
                   "rts up", "pause 1000", "write AB within 1006", "drain", "pause 3000", "rts down",
                   "rts up", "pause 1000", "write CD within 1006", "drain", "pause 3000", "rts down",
                   "pause 3126",
                   "rts up", "pause 1000", "write EF within 1006", "drain", "pause 3000",
                   "rts down"}}),
    [](const ::testing::TestParamInfo<TModeCase>& info) { return std::string(info.param.Name); });

TEST(LineDirectionRefusalTest, ADriverThatRefusesFailsTheBeginWithItsErrno) {
  TRecordingTty tty;
  tty.Rs485Error = 25;  // ENOTTY
  TAfLineDirection direction(tty);
  direction.SetSettings({TAfDirectionMode::Kernel, 0, 0});
  int error = 0;
  EXPECT_FALSE(direction.Begin(kFd, error));
  EXPECT_EQ(error, 25);
  direction.End(kFd);  // nothing to switch back
  EXPECT_EQ(tty.Calls, std::vector<std::string>{"rs485 on 0/0"});
}

struct TTextCase {
  const char* Text;
  bool Valid;
  const char* Written;  // the text written back when valid
};

class DirectionTextTest : public ::testing::TestWithParam<TTextCase> {};

TEST_P(DirectionTextTest, ParsesAndWritesBack) {
  TAfDirectionSettings settings{TAfDirectionMode::Rts, 9, 9};
  const TAfDirectionSettings before = settings;
  EXPECT_EQ(ParseDirection(GetParam().Text, settings), GetParam().Valid);
  if (GetParam().Valid)
    EXPECT_EQ(DirectionText(settings), GetParam().Written);
  else
    EXPECT_EQ(settings, before);  // untouched
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DirectionTextTest,
    ::testing::Values(TTextCase{"off", true, "off"}, TTextCase{"Off", true, "off"},
                      TTextCase{"kernel", true, "kernel"}, TTextCase{"RTS", true, "rts"},
                      TTextCase{"rts:2", true, "rts:2:0"}, TTextCase{"kernel:0:1000", true, "kernel:0:1000"},
                      TTextCase{"kernel:0:1001", false, ""}, TTextCase{"rts:", false, ""},
                      TTextCase{"rts:1:", false, ""}, TTextCase{"rts:-1", false, ""},
                      TTextCase{"rts:1:2:3", false, ""}, TTextCase{"rts: 1", false, ""},
                      TTextCase{"", false, ""}, TTextCase{"on", false, ""},
                      TTextCase{"rs485", false, ""}, TTextCase{" rts", false, ""}));

}  // namespace
