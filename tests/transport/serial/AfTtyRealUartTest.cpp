// The serial transport on a real UART, named by VELTO_TEST_UART (the test
// virtual machine's 16550 or its USB serial adapter). Without the variable these tests skip; with it a
// missing device fails. What the transport sets is read back from the driver
// through a second descriptor (the tests run as root, whom the exclusive-open
// flag does not stop).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "transport/serial/AfComPortCore.h"
#include "transport/serial/AfTty.h"
#include "transport/serial/uci_ISerialPortInterface.h"
#include "uPtyPair.h"

namespace {

constexpr int kCom = 42;

class RealUartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* path = std::getenv("VELTO_TEST_UART");
    if (path == nullptr || *path == '\0') GTEST_SKIP() << "VELTO_TEST_UART names no UART";
    FPath = path;
    ASSERT_EQ(access(FPath.c_str(), F_OK), 0) << FPath << " is missing";
    FProbe = open(FPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(FProbe, 0) << FPath;
    FCom = std::make_unique<TComPath>(kCom, FPath);
  }
  void TearDown() override {
    if (FProbe >= 0) close(FProbe);
  }

  TIntf<TSerialPortInterface> Opened(const std::string& settings = "baudrate=9600") {
    auto t = Make<TSerialPortInterface>("comport=" + std::to_string(kCom) + ";" + settings);
    EXPECT_TRUE(t->Open()) << t->GetLastError();
    return t;
  }
  termios Driver() {
    termios t{};
    EXPECT_EQ(tcgetattr(FProbe, &t), 0);
    return t;
  }
  int ModemBits() {
    int bits = 0;
    EXPECT_EQ(ioctl(FProbe, TIOCMGET, &bits), 0) << "no modem lines";
    return bits;
  }
  int SerialFlags() {
    serial_struct s{};
    EXPECT_EQ(ioctl(FProbe, TIOCGSERIAL, &s), 0) << "no serial settings";
    return s.flags;
  }
  void SetSerialFlags(int flags) {
    serial_struct s{};
    ASSERT_EQ(ioctl(FProbe, TIOCGSERIAL, &s), 0);
    s.flags = flags;
    ASSERT_EQ(ioctl(FProbe, TIOCSSERIAL, &s), 0);
  }

  std::string FPath;
  int FProbe = -1;
  std::unique_ptr<TComPath> FCom;
};

// The data-bit counts the device makes: VELTO_TEST_UART_DATA_BITS ("578"
// for a USB adapter that cannot send 6), all four when unset.
bool DeviceMakes(std::int32_t bits) {
  const char* counts = std::getenv("VELTO_TEST_UART_DATA_BITS");
  const std::string made = counts != nullptr && *counts != '\0' ? counts : "5678";
  return made.find(static_cast<char>('0' + bits)) != std::string::npos;
}

// Every framing is applied and read back from the driver; a data-bit count
// the device cannot make is refused, and the transport then says what the
// driver kept.
TEST_F(RealUartTest, EveryFramingIsAppliedAndReadBackFromTheDriver) {
  auto t = Opened();
  const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
  const tcflag_t parities[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR,
                               PARENB | CMSPAR};
  for (std::int32_t bits = 5; bits <= 8; ++bits) {
    for (std::int32_t parity = paNone; parity <= paSpace; ++parity) {
      for (std::int32_t stop = sbOne; stop <= sbTwo; ++stop) {
        SCOPED_TRACE(std::to_string(bits) + " bits, parity " + ParityText(parity) + ", stop " +
                     StopBitsText(stop));
        ASSERT_NO_THROW({
          t->SetParity(parity);
          t->SetStopBits(stop);
        });
        if (!DeviceMakes(bits)) {
          try {
            t->SetDataBits(bits);
            ADD_FAILURE() << "taken";
          } catch (const EAfComPortCoreError& e) {
            EXPECT_EQ(e.Detail(), FPath + ": the line does not take data bits");
          }
          EXPECT_EQ(sizes[t->GetDataBits() - 5], Driver().c_cflag & CSIZE);
          continue;
        }
        ASSERT_NO_THROW(t->SetDataBits(bits));
        const termios d = Driver();
        EXPECT_EQ(d.c_cflag & CSIZE, sizes[bits - 5]);
        EXPECT_EQ(d.c_cflag & (PARENB | PARODD | CMSPAR), parities[parity]);
        EXPECT_EQ((d.c_cflag & CSTOPB) != 0, stop != sbOne);
        EXPECT_EQ(t->GetDataBits(), bits);
        EXPECT_EQ(t->GetParity(), parity);
        EXPECT_EQ(t->GetStopBits(), stop);
      }
    }
  }
  EXPECT_TRUE(t->Close(true));
}

TEST_F(RealUartTest, DtrAndRtsAreSetAndReadBack) {
  auto t = Opened();
  EXPECT_EQ(ModemBits() & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);  // raised at open
  t->SetDTR(false);
  EXPECT_EQ(ModemBits() & (TIOCM_DTR | TIOCM_RTS), TIOCM_RTS);
  t->SetRTS(false);
  EXPECT_EQ(ModemBits() & (TIOCM_DTR | TIOCM_RTS), 0);
  t->SetDTR(true);
  EXPECT_EQ(ModemBits() & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR);
  EXPECT_TRUE(t->GetDTR());
  EXPECT_FALSE(t->GetRTS());
  t->SetRTS(true);
  EXPECT_EQ(ModemBits() & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);
}

// A pseudo-terminal answers ENOTTY to both; a UART has them.
TEST_F(RealUartTest, LineErrorCountersAndModemInputsCanBeRead) {
  auto t = Opened();
  TTtyCounters counters;
  EXPECT_TRUE(TtyReadCounters(FProbe, counters));
  std::uint32_t lines = 0;
  EXPECT_TRUE(TtyModemLines(FProbe, lines));
  // Values only: nothing here drives the inputs or spoils a byte.
  RecordProperty("modem_inputs", static_cast<int>(lines));
  RecordProperty("cts", t->GetCTS() ? 1 : 0);
  RecordProperty("dsr", t->GetDSR() ? 1 : 0);
}

// The low-latency flag is asked for while the port is open and is what it
// was before once the port is closed, whichever it was.
TEST_F(RealUartTest, LowLatencyIsTakenWhileOpenAndTheFlagsComeBackAtClose) {
  const int original = SerialFlags();
  for (const bool before : {false, true}) {
    SCOPED_TRACE(before ? "set before" : "clear before");
    SetSerialFlags(before ? (original | ASYNC_LOW_LATENCY) : (original & ~ASYNC_LOW_LATENCY));
    const int flagsBefore = SerialFlags();
    {
      auto t = Opened();
      EXPECT_NE(SerialFlags() & ASYNC_LOW_LATENCY, 0) << "low latency not taken";
      EXPECT_TRUE(t->Close(true));
    }
    EXPECT_EQ(SerialFlags(), flagsBefore);
  }
  SetSerialFlags(original);
}

// The driver reports success and the rate asked for, while its divisor makes
// another (50000 asked, 57600 made) or it keeps its old rate (above its base):
// both are refused as the line not taking the rate.
TEST_F(RealUartTest, ARateTheDivisorCannotMakeIsRefused) {
  serial_struct s{};
  ASSERT_EQ(ioctl(FProbe, TIOCGSERIAL, &s), 0);
  ASSERT_GT(s.baud_base, 0);
  const auto base = static_cast<std::int32_t>(s.baud_base);
  for (const std::int32_t rate : {base * 50 / 115, base * 2}) {
    SCOPED_TRACE("rate " + std::to_string(rate) + " on base " + std::to_string(base));
    auto t = Opened();
    try {
      t->SetBaudRate(rate);
      ADD_FAILURE() << "taken";
    } catch (const EAfComPortCoreError& e) {
      EXPECT_EQ(e.Detail(), FPath + ": the line does not take bit rate");
    }
    EXPECT_TRUE(t->GetActive()) << "a refused rate closed the port";
    t->Close(true);
    auto refused = Make<TSerialPortInterface>("comport=" + std::to_string(kCom) +
                                              ";baudrate=" + std::to_string(rate));
    EXPECT_FALSE(refused->Open());
    EXPECT_EQ(refused->GetLastError(), FPath + ": the line does not take bit rate");
  }
  // Rates the divisor makes exactly (and a USB adapter too) are taken.
  for (const std::int32_t rate : {base / 12, base / 96}) {
    auto t = Opened("baudrate=" + std::to_string(rate));
    EXPECT_EQ(t->GetBaudRate(), rate);
  }
}

}  // namespace
