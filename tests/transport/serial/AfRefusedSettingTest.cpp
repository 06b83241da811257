// A setting the line refuses leaves the port with what the line has, so the
// next change of another setting is not refused for it again. A
// pseudo-terminal keeps only 8 data bits; a USB adapter refuses 6.
#include <gtest/gtest.h>

#include "transport/serial/uci_ISerialPortInterface.h"
#include "uPtyPair.h"

namespace {

TEST(RefusedSettingTest, ARefusedDataBitCountDoesNotSpoilLaterSettings) {
  TPtyPair pty(43);
  ASSERT_TRUE(pty.Ok());
  auto t = Make<TSerialPortInterface>("comport=43;baudrate=9600");
  ASSERT_TRUE(t->Open()) << t->GetLastError();
  EXPECT_ANY_THROW(t->SetDataBits(7));
  EXPECT_EQ(t->GetDataBits(), 8) << "the port says what the line has";
  EXPECT_NO_THROW(t->SetBaudRate(19200));
  EXPECT_NO_THROW(t->SetStopBits(sbOne));
  EXPECT_EQ(t->GetDataBits(), 8);
  EXPECT_TRUE(t->GetActive());
  t->Close(true);
}

}  // namespace
