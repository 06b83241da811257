// A waiting request that timed out keeps its signature for a while, so that
// its answer, should it come late, is never taken for a later request's. All
// on the scripted transport's clock: no real waiting.
#include <gtest/gtest.h>

#include <vector>

#include "uStackTestKit.h"

namespace {

using namespace stacktest;

class SignatureGraceTest : public ScriptedDeviceFixture {
 protected:
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
  std::vector<int> WrittenSigs() {
    std::vector<int> sigs;
    for (const TBytes& w : Transport->Written()) sigs.push_back(w[5]);
    return sigs;
  }

};

// The fault: with every answer 1.2 s late, the answer to the first request
// arrived during the second one, which used the same signature and took it.
TEST_F(SignatureGraceTest, LateAnswerIsNeverTakenForTheNextRequest) {
  AnswerLate(1200);
  TBytes data;
  EXPECT_FALSE(Device->Execute(tervan::kInstIdentify, TBytes{}, {}, true, -1, data));
  EXPECT_EQ(LastWrittenSig(), 0);
  EXPECT_TRUE(Device->SigInGrace(0));

  EXPECT_FALSE(Device->Execute(velto::kInstReadInputs, TBytes{}, {}, true, -1, data))
      << "took the 0xF3 answer";
  EXPECT_EQ(LastWrittenSig(), 1);
  EXPECT_EQ(Device->GetLastResult(), tervan::kResultNoAnswer);
  // The late answer came during the second request: it freed its own slot.
  EXPECT_FALSE(Device->SigInGrace(0));
  EXPECT_TRUE(Device->SigInGrace(1));
}

// A repeating bridge sends each answer again later: consecutive waiting
// requests carry consecutive signatures, so a copy never matches the next.
TEST_F(SignatureGraceTest, ConsecutiveWaitingRequestsTakeConsecutiveSignatures) {
  AnswerLate(10);
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(Device->Execute(velto::kInstReadInputs, TBytes{}, {}, true, -1));
  EXPECT_EQ(WrittenSigs(), (std::vector<int>{0, 1, 2}));
}

TEST_F(SignatureGraceTest, SignaturesWrapAfter255) {
  AnswerLate(10);
  for (int i = 0; i < 258; ++i)
    ASSERT_TRUE(Device->Execute(velto::kInstReadInputs, TBytes{}, {}, true, -1));
  const std::vector<int> sigs = WrittenSigs();
  EXPECT_EQ(sigs[255], 255);
  EXPECT_EQ(sigs[256], 0);
  EXPECT_EQ(sigs[257], 1);
}

// The rotation passes over a slot that an unanswered request without wait
// holds and over one held for a late answer.
TEST_F(SignatureGraceTest, RotationSkipsSlotsInUseAndInGrace) {
  ASSERT_TRUE(
      Device->Execute(velto::kInstSetOutputs, TBytes{0x81}, {}, false, 1000000));  // holds 0
  EXPECT_FALSE(
      Device->Execute(velto::kInstReadInputs, TBytes{}, {}, true, -1));  // 1, then in grace
  AnswerLate(10);
  for (int i = 0; i < 255; ++i)
    ASSERT_TRUE(Device->Execute(velto::kInstReadInputs, TBytes{}, {}, true, -1));
  const std::vector<int> sigs = WrittenSigs();
  EXPECT_EQ(sigs[2], 2);
  EXPECT_EQ(sigs[255], 255);
  EXPECT_EQ(sigs[256], 2) << "took a slot in use or in grace";
  EXPECT_TRUE(Device->SigInGrace(1));
  EXPECT_FALSE(Device->SigItem(0).Free);
}

TEST_F(SignatureGraceTest, GraceEndsAfterTenTimeOutsAtTheLeast) {
  Device->SetTimeout(2000);  // ten of them are more than the minimum
  EXPECT_FALSE(Device->Execute(velto::kInstReadInputs, TBytes{}, {}, true, -1));
  Transport->Advance(10 * 2000 - 100);
  EXPECT_TRUE(Device->SigInGrace(0));
  Transport->Advance(200);
  EXPECT_FALSE(Device->SigInGrace(0));
  AnswerLate(10);
  EXPECT_TRUE(Device->Execute(velto::kInstReadInputs, TBytes{}, {}, true, -1));
  EXPECT_EQ(LastWrittenSig(), 1);
}

// A slot held for grace never makes a request wait or report an overload:
// with every other slot taken it is reused at once.
TEST_F(SignatureGraceTest, GraceSlotIsReusedWhenEveryOtherIsTaken) {
  TAlertCatcher alerts;
  EXPECT_FALSE(Device->Execute(velto::kInstReadInputs, TBytes{}, {}, true, -1));
  for (int i = 1; i < 256; ++i)  // unanswered requests that do not wait
    ASSERT_TRUE(Device->Execute(velto::kInstSetOutputs, TBytes{0x81}, {}, false, 100000));
  ASSERT_EQ(LastWrittenSig(), 255);
  AnswerLate(10);
  EXPECT_TRUE(Device->Execute(velto::kInstReadInputs, TBytes{}, {}, true, -1));
  EXPECT_EQ(LastWrittenSig(), 0);
  EXPECT_EQ(alerts.Count("SIG stack overload"), 0u);
}

TEST_F(SignatureGraceTest, FixedSignatureIsUnchanged) {
  Device->SetFixedSig(7);
  EXPECT_FALSE(Device->Execute(velto::kInstReadInputs, TBytes{}, {}, true, -1));
  EXPECT_FALSE(Device->SigInGrace(7));
  AnswerLate(10);
  EXPECT_TRUE(Device->Execute(velto::kInstReadInputs, TBytes{}, {}, true, -1));
  for (const TBytes& w : Transport->Written()) EXPECT_EQ(w[5], 7);
}

}  // namespace
