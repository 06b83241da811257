// The run inside the test process, on an in-memory transport registered as
// the TCP provider: failures that a real peer cannot provoke.
#include <gtest/gtest.h>

#include <stdexcept>

#include "app/uMainRun.h"
#include "app/uTextOut.h"
#include "framework/uiNodedInterface.h"
#include "support/uMemoryTransport.h"
#include "transport/uConnectionString.h"

namespace {

// A transport whose opening fails with an exception, as a broken driver might.
class TThrowingTransport : public TMemoryTransport {
 public:
  TThrowingTransport() : TMemoryTransport(false) {}
  bool Open() override { throw std::runtime_error("driver exploded"); }
};

TIntf<ICommunicationInterface> MakeThrowing(const std::string&) {
  return Make<TThrowingTransport>();
}

class MainRunInProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { RegisterProvider(&MakeThrowing, "TCP_CLIENT"); }
  void TearDown() override { UnregisterProvider(&MakeThrowing); }
};

TEST_F(MainRunInProcessTest, UnexpectedErrorEndsTheRunCleanlyWithMinusOne) {
  const std::int32_t before = LiveNodeCount();
  TTextOut out;
  testing::internal::CaptureStderr();
  const int code = RunVeltoConsole({"/TCP=127.0.0.1:1", "/Address=1", "/Out1=1"}, out);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(code, -1);
  EXPECT_EQ(out.Text(), "");
  EXPECT_EQ(err, "VeltoConsole: driver exploded\n");
  // Device, stack and transport were all taken apart and released.
  EXPECT_EQ(LiveNodeCount(), before);
}

TEST(MainRunWithoutProvider, MissingProviderIsConnectionRefused) {
  // No provider registered in this process under the serial name.
  TTextOut out;
  EXPECT_EQ(RunVeltoConsole({"/COM=1"}, out), -1);
  EXPECT_EQ(out.Text(), "Connection refused!\n");
}

}  // namespace
