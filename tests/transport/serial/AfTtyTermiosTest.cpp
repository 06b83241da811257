// The record's translation to termios and back, on the structure itself (a
// pseudo-terminal keeps rates but not data bits or parity, so most of this
// cannot be seen on one).
#include <gtest/gtest.h>

#include <string>

#include "transport/serial/AfTtyTermios.h"

namespace {

TAfLineRecord Record(std::uint8_t bytes, std::uint8_t parity, std::uint8_t stop,
                     std::uint32_t flags = kLineBinary, std::uint32_t rate = 9600) {
  TAfLineRecord r;
  r.Length = kLineRecordLength;
  r.BaudRate = rate;
  r.ByteSize = bytes;
  r.Parity = parity;
  r.StopBits = stop;
  r.Flags = flags;
  r.XonChar = 17;
  r.XoffChar = 19;
  return r;
}

// A cooked terminal, as a tty is found before it is configured.
termios Cooked() {
  termios t{};
  t.c_iflag = ICRNL | IXON | BRKINT | IMAXBEL;
  t.c_oflag = OPOST | ONLCR;
  t.c_lflag = ECHO | ICANON | ISIG | IEXTEN;
  t.c_cflag = CS8 | CREAD | HUPCL | PARENB;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 5;
  cfsetispeed(&t, B38400);
  cfsetospeed(&t, B38400);
  return t;
}

struct TFraming {
  const char* Name;
  TAfLineRecord Record;
  tcflag_t CFlags;  // the framing and flow bits expected in c_cflag
  tcflag_t IFlags;  // the flow and check bits expected in c_iflag
  std::string Untaken;
};

class FramingTest : public ::testing::TestWithParam<TFraming> {};

TEST_P(FramingTest, TranslatesOrNamesWhatATtyCannotDo) {
  const TFraming& c = GetParam();
  termios t = Cooked();
  EXPECT_EQ(RecordToTermios(c.Record, t), c.Untaken);
  if (!c.Untaken.empty()) return;
  EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS), c.CFlags);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK), c.IFlags);
  // Raw otherwise, whatever the tty had.
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});
  EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | BRKINT), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  EXPECT_EQ(t.c_cc[VSTART], 17);
  EXPECT_EQ(t.c_cc[VSTOP], 19);
  // What the tty would read back gives the record again (the derived flow
  // and check bits are cleared and set afresh from the termios).
  TAfLineRecord back = c.Record;
  back.ByteSize = 0;
  back.Parity = 0xFF;
  TermiosToRecord(t, c.Record.BaudRate, back);
  EXPECT_EQ(back, c.Record);
}

INSTANTIATE_TEST_SUITE_P(
    Records, FramingTest,
    ::testing::Values(
        TFraming{"EightNoneOne", Record(8, kParityNone, kStopBitsOne), CS8, 0, ""},
        TFraming{"SevenEvenTwo", Record(7, kParityEven, kStopBitsTwo), CS7 | PARENB | CSTOPB, 0,
                 ""},
        TFraming{"SixOdd", Record(6, kParityOdd, kStopBitsOne), CS6 | PARENB | PARODD, 0, ""},
        TFraming{"FiveMark", Record(5, kParityMark, kStopBitsOne), CS5 | PARENB | PARODD | CMSPAR,
                 0, ""},
        TFraming{"SpaceWithParityCheck",
                 Record(8, kParitySpace, kStopBitsOne, kLineBinary | kLineParityCheck),
                 CS8 | PARENB | CMSPAR, INPCK, ""},
        TFraming{"OneAndAHalfStopBitsSentAsTwo", Record(8, kParityNone, kStopBitsOneAndHalf),
                 CS8 | CSTOPB, 0, ""},
        TFraming{"RtsCts",
                 Record(8, kParityNone, kStopBitsOne,
                        kLineBinary | kLineOutCtsFlow | kLineRtsHandshake | kLineDtrEnable),
                 CS8 | CRTSCTS, 0, ""},
        TFraming{"XonXoff",
                 Record(8, kParityNone, kStopBitsOne,
                        kLineBinary | kLineOutX | kLineInX | kLineRtsEnable),
                 CS8, IXON | IXOFF, ""},
        TFraming{"FourDataBits", Record(4, kParityNone, kStopBitsOne), 0, 0, "4 data bits"},
        TFraming{
            "DtrDsr",
            Record(8, kParityNone, kStopBitsOne, kLineBinary | kLineOutDsrFlow | kLineDtrHandshake),
            0, 0, "DTR/DSR flow control"},
        TFraming{"NullStrippingAndRateZero",
                 Record(8, kParityNone, kStopBitsOne, kLineBinary | kLineNull, 0), 0, 0,
                 "bit rate 0, null stripping"}),
    [](const ::testing::TestParamInfo<TFraming>& info) { return info.param.Name; });

TEST(TermiosRateTest, StandardRatesUseTheirConstantsAndOthersNone) {
  termios t = Cooked();
  ASSERT_EQ(RecordToTermios(Record(8, kParityNone, kStopBitsOne, kLineBinary, 115200), t), "");
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  speed_t speed = B0;
  EXPECT_FALSE(StandardSpeed(14400, speed));
  EXPECT_EQ(SpeedRate(B9600), 9600u);
}

TEST(TermiosReadBackTest, APseudoTerminalsForcedFramingAndADriversRoundingAreTold) {
  termios wanted = Cooked();
  ASSERT_EQ(RecordToTermios(Record(7, kParityEven, kStopBitsOne), wanted), "");
  termios got = wanted;
  got.c_cflag = (got.c_cflag & ~(CSIZE | PARENB)) | CS8;  // what a pseudo-terminal keeps
  EXPECT_EQ(UntakenSettings(wanted, 9600, got, 9600), "data bits, parity");
  EXPECT_EQ(UntakenSettings(wanted, 9600, wanted, 9700), "");  // within rounding
  EXPECT_EQ(UntakenSettings(wanted, 9600, wanted, 4800), "bit rate");
  TAfLineRecord record = Record(7, kParityEven, kStopBitsOne);
  TermiosToRecord(got, 9600, record);
  EXPECT_EQ(record.ByteSize, 8);
  EXPECT_EQ(record.Parity, kParityNone);
}

}  // namespace
