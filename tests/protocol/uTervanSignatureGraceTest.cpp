// A waiting request that timed out keeps its signature for a while, so that
// its answer, should it come late, is never taken for a later request's. All
// on the scripted transport's clock: no real waiting.
#include <gtest/gtest.h>

#include "uStackTestKit.h"

namespace {

using namespace stacktest;

constexpr std::int32_t kTimeout = 1000;

class SignatureGraceTest : public ScriptedStackFixture {
 protected:
  void SetUp() override {
    ScriptedStackFixture::SetUp();
    Device = Attach(0x31);
    Device->SetTimeout(kTimeout);
  }
  void TearDown() override {
    Device.reset();
    ScriptedStackFixture::TearDown();
  }

  // A module that answers every request correctly but `delayMs` late; the
  // answer's data is the request's instruction code, so it tells whose it is.
  void AnswerLate(std::uint32_t delayMs) {
    Transport->SetResponder([this, delayMs](const TBytes& written) {
      const TTervanFormat97 request = ParsePacket(written);
      Transport->Schedule(delayMs, BuildPacket(request.ADR, request.SIG, 0x00, {request.INST}));
      return TBytes{};
    });
  }

  int LastWrittenSig() { return Transport->Written().back()[5]; }

  TIntf<TProbeDevice> Device;
};

// The fault: with every answer 1.2 s late, the answer to the first request
// arrived during the second one, which used the same signature and took it.
TEST_F(SignatureGraceTest, LateAnswerIsNeverTakenForTheNextRequest) {
  AnswerLate(1200);
  TBytes data;
  EXPECT_FALSE(Device->Execute(0xF3, TBytes{}, {}, true, -1, data));
  EXPECT_EQ(LastWrittenSig(), 0);
  EXPECT_TRUE(Device->SigInGrace(0));

  EXPECT_FALSE(Device->Execute(0x31, TBytes{}, {}, true, -1, data)) << "took the 0xF3 answer";
  EXPECT_EQ(LastWrittenSig(), 1);
  EXPECT_EQ(Device->GetLastResult(), tervan::kResultNoAnswer);
  // The late answer came during the second request: it freed its own slot.
  EXPECT_FALSE(Device->SigInGrace(0));
  EXPECT_TRUE(Device->SigInGrace(1));
}

TEST_F(SignatureGraceTest, WithoutTimeOutsEveryRequestKeepsSignatureZero) {
  AnswerLate(10);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(Device->Execute(0x31, TBytes{}, {}, true, -1));
  for (const TBytes& w : Transport->Written()) EXPECT_EQ(w[5], 0);
}

TEST_F(SignatureGraceTest, GraceEndsAfterTenTimeOutsAtTheLeast) {
  Device->SetTimeout(2000);  // ten of them are more than the minimum
  EXPECT_FALSE(Device->Execute(0x31, TBytes{}, {}, true, -1));
  Transport->Advance(10 * 2000 - 100);
  EXPECT_TRUE(Device->SigInGrace(0));
  Transport->Advance(200);
  EXPECT_FALSE(Device->SigInGrace(0));
  AnswerLate(10);
  EXPECT_TRUE(Device->Execute(0x31, TBytes{}, {}, true, -1));
  EXPECT_EQ(LastWrittenSig(), 0);
}

// A slot held for grace never makes a request wait or report an overload:
// with every other slot taken it is reused at once.
TEST_F(SignatureGraceTest, GraceSlotIsReusedWhenEveryOtherIsTaken) {
  TAlertCatcher alerts;
  EXPECT_FALSE(Device->Execute(0x31, TBytes{}, {}, true, -1));
  for (int i = 1; i < 256; ++i)  // unanswered requests that do not wait
    ASSERT_TRUE(Device->Execute(0x20, TBytes{0x81}, {}, false, 100000));
  ASSERT_EQ(LastWrittenSig(), 255);
  AnswerLate(10);
  EXPECT_TRUE(Device->Execute(0x31, TBytes{}, {}, true, -1));
  EXPECT_EQ(LastWrittenSig(), 0);
  EXPECT_EQ(alerts.Count("SIG stack overload"), 0u);
}

TEST_F(SignatureGraceTest, FixedSignatureIsUnchanged) {
  Device->SetFixedSig(7);
  EXPECT_FALSE(Device->Execute(0x31, TBytes{}, {}, true, -1));
  EXPECT_FALSE(Device->SigInGrace(7));
  AnswerLate(10);
  EXPECT_TRUE(Device->Execute(0x31, TBytes{}, {}, true, -1));
  for (const TBytes& w : Transport->Written()) EXPECT_EQ(w[5], 7);
}

}  // namespace
