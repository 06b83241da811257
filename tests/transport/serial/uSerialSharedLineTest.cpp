// The serial transport's keys for a shared line: how long Open waits for a
// held port, and who switches an RS-485 line's direction.
#include <gtest/gtest.h>

#include <string>

#include "framework/uErrors.h"
#include "framework/uTick.h"
#include "support/uEmulation.h"
#include "transport/serial/uci_ISerialPortInterface.h"
#include "uPtyPair.h"

namespace {

constexpr int kCom = 49;

TIntf<TSerialPortInterface> Transport(const std::string& text) {
  return Make<TSerialPortInterface>(text);
}

TEST(SerialSharedLineKeysTest, AreWrittenOnlyWhenSetAndReadBack) {
  auto plain = Transport("comport=1");
  EXPECT_EQ(plain->GetConnectionString().find("portwait"), std::string::npos);
  EXPECT_EQ(plain->GetConnectionString().find("rs485"), std::string::npos);

  auto shared = Transport("comport=1;portwait=2500;rs485=RTS:1:2");
  const std::string text = shared->GetConnectionString();
  EXPECT_NE(text.find(";portwait=2500"), std::string::npos) << text;
  EXPECT_NE(text.find(";rs485=rts:1:2"), std::string::npos) << text;
  auto copy = Transport(text);
  EXPECT_EQ(copy->GetConnectionString(), text);

  EXPECT_THROW(Transport("comport=1;portwait=-1"), EConvertError);
  EXPECT_THROW(Transport("comport=1;portwait=soon"), EConvertError);
  EXPECT_THROW(Transport("comport=1;rs485=auto"), EConvertError);
}

TEST(SerialSharedLineTest, KernelDirectionControlOnALineWithoutItFailsTheOpenNamingThePort) {
  TPtyPair pty(kCom);
  ASSERT_TRUE(pty.Ok());
  auto t = Transport("comport=49;rs485=kernel");
  EXPECT_FALSE(t->Open());
  EXPECT_FALSE(t->GetActive());
  // The kernel refuses the call on a pseudo-terminal; user-mode emulation
  // may not know it at all.
  const std::string why = DirectionControlCallMissing() ? "function not implemented"
                                                        : "inappropriate ioctl for device";
  EXPECT_EQ(t->GetLastError(), pty.SlavePath() +
                                   ": the line does not switch its direction itself (" + why +
                                   "); choose rts or off");
  // Nothing was left behind: the same port opens without it.
  t->SetConnectionString("rs485=off");
  EXPECT_TRUE(t->Open()) << t->GetLastError();
}

TEST(SerialSharedLineTest, RtsDirectionControlSendsEachRequestWhole) {
  TPtyPair pty(kCom);
  ASSERT_TRUE(pty.Ok());
  auto t = Transport("comport=49;rs485=rts");
  ASSERT_TRUE(t->Open()) << t->GetLastError();
  const TBytes request{0x2A, 0x61, 0x00, 0x05, 0x31, 0x00, 0x31, 0x0D, 0x0D};
  // Returns once the request has left: it is all there for the far end.
  EXPECT_EQ(t->Write(request), static_cast<std::int32_t>(request.size()));
  EXPECT_EQ(pty.Receive(request.size(), 10000), request);
  // Unanswered: the next request follows after a quiet spell, whole.
  EXPECT_EQ(t->Write(request), static_cast<std::int32_t>(request.size()));
  EXPECT_EQ(pty.Receive(request.size(), 10000), request);
  ASSERT_TRUE(pty.Send({0x01, 0x02}));
  EXPECT_TRUE(t->WaitReceived(10000));
  TBytes got;
  t->Read(got);
  EXPECT_FALSE(got.empty());
  EXPECT_TRUE(t->Close(true));
}

}  // namespace
