// The I/O module device: identification, outputs, inputs, the state copies
// with their events, the option byte and the label tables.
#include <gtest/gtest.h>

#include "device/ussVelto.h"
#include "uVeltoTestKit.h"

using namespace veltotest;

namespace {

// --- Object and interface -------------------------------------------------------

class TVeltoObject : public VeltoFixture {};

TEST_F(TVeltoObject, OffersItsInterfaceAndKeepsTheGivenAddress) {
  EXPECT_EQ(Device->GetAddress(), 0x31);
  auto velto = Supports<IVelto>(TIntf<IInterface>(Device.get()));
  ASSERT_TRUE(velto);
  EXPECT_TRUE(SameObject(velto, Device));
  EXPECT_TRUE(Supports<ITervanStackDevice>(TIntf<IInterface>(Device.get())));
  EXPECT_EQ(IVelto::IID, GuidLiteral("{9E22D83F-21CC-4DEB-944C-F4B43B2290FC}"));
}

TEST_F(TVeltoObject, NothingIsKnownBeforeTheFirstAnswer) {
  TVeltoIOArray states;
  bool state = true;
  EXPECT_EQ(Device->GetCachedInputs(states), 0);
  EXPECT_EQ(Device->GetCachedOutputs(states), 0);
  EXPECT_FALSE(Device->GetCachedInput(1, state));
  EXPECT_FALSE(Device->GetCachedOutput(1, state));
  EXPECT_FALSE(Device->GetInfoKnown());
  EXPECT_TRUE(Transport->Written().empty());
}

// --- Identification -----------------------------------------------------------------

class TVeltoIdentification : public VeltoFixture {};

TEST_F(TVeltoIdentification, RecognisedModuleIsAskedOnlyOnce) {
  UseSimulator();
  TVeltoInfo info;
  ASSERT_TRUE(Device->GetInfo(info));
  EXPECT_EQ(info.InterfaceType, "ETH");
  EXPECT_EQ(info.InputCount, 8);
  EXPECT_EQ(info.OutputCount, 4);
  EXPECT_TRUE(Device->GetInfoKnown());
  EXPECT_EQ(Device->GetInputCount(), 8);
  EXPECT_EQ(Device->GetOutputCount(), 4);
  ASSERT_TRUE(Device->GetInfo(info));
  EXPECT_EQ(Sim->RequestCount(0xF3), 1);
  // The request itself: instruction 0xF3 without data.
  const auto requests = RequestsOf(tervan::kInstIdentify);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(requests[0].Data.empty());
  EXPECT_EQ(requests[0].ADR, 0x31);
}

TEST_F(TVeltoIdentification, LegacyModuleHasEightOfEachAndNoCounters) {
  UseScript();
  ScriptIdentification("Velto;V0094.01;F97");
  TVeltoInfo info;
  ASSERT_TRUE(Device->GetInfo(info));
  EXPECT_EQ(info.InputCount, 8);
  EXPECT_EQ(info.OutputCount, 8);
  EXPECT_EQ(info.ThermometerCount, 0);
  EXPECT_TRUE(Device->GetInfoKnown());
  EXPECT_TRUE(Device->GetCountersUnsupported());
  EXPECT_EQ(Device->GetCounterCount(), 0);
  EXPECT_EQ(RequestsOf(tervan::kInstIdentify).size(), 1u);
}

TEST_F(TVeltoIdentification, LegacyNeedsTheExactVersion) {
  UseScript();
  ScriptIdentification("Velto;V0094.02;F97");
  TVeltoInfo info;
  ASSERT_TRUE(Device->GetInfo(info));
  EXPECT_FALSE(Device->GetInfoKnown());
  EXPECT_EQ(info.InputCount, -1);
  EXPECT_FALSE(Device->GetCountersUnsupported());
}

TEST_F(TVeltoIdentification, UnrecognisedAnswerSucceedsButIsAskedAgain) {
  UseScript();
  ScriptIdentification("MODULE X;V0.0.0;F97");
  TVeltoInfo info;
  ASSERT_TRUE(Device->GetInfo(info));
  EXPECT_EQ(info.Identification.Raw, "MODULE X;V0.0.0;F97");
  EXPECT_EQ(info.InputCount, -1);
  EXPECT_EQ(info.OutputCount, -1);
  EXPECT_FALSE(Device->GetInfoKnown());
  ASSERT_TRUE(Device->GetInfo(info));
  EXPECT_EQ(RequestsOf(tervan::kInstIdentify).size(), 2u);
}

TEST_F(TVeltoIdentification, UnansweredIdentificationFails) {
  UseScript();
  Script(tervan::kInstIdentify, {0, {}, true});
  TVeltoInfo info;
  EXPECT_FALSE(Device->GetInfo(info));
  EXPECT_EQ(Device->GetLastResult(), tervan::kResultNoAnswer);
  EXPECT_EQ(Device->GetInputCount(), 0);
  EXPECT_EQ(Device->GetOutputCount(), 0);
  EXPECT_FALSE(Device->GetInfoKnown());
}

TEST_F(TVeltoIdentification, RefusedIdentificationFails) {
  UseScript();
  Script(tervan::kInstIdentify, {5, BytesOf("VELTO ETH 8/4;V1.0.0;F97"), false});
  TVeltoInfo info;
  EXPECT_FALSE(Device->GetInfo(info));
  EXPECT_EQ(Device->GetLastResult(), tervan::kResultRefused);
  EXPECT_EQ(Device->GetLastAck(), 5);
}

// --- Outputs ------------------------------------------------------------------------

class TVeltoOutputs : public VeltoFixture {};

TEST_F(TVeltoOutputs, SwitchingOnSendsTheCommandByteOfTheWorkedExample) {
  UseSimulator();
  ASSERT_TRUE(Device->SetOutput(3, true, 0, true));
  // The first request of a fresh device carries signature 0.
  EXPECT_EQ(Transport->Written().front(), Hex("2A 61 00 06 31 00 20 83 9A 0D"));
  EXPECT_TRUE(Sim->Outputs()[2]);
  EXPECT_EQ(Device->GetLastResult(), tervan::kResultAck);
}

TEST_F(TVeltoOutputs, TimedCommandCarriesTimeThenCommandAndLeavesTheCopy) {
  UseSimulator();
  TEventLog log;
  log.Subscribe(*Device, false);
  ASSERT_TRUE(Device->SetOutput(3, false, 10, true));
  const auto request = LastRequest();
  EXPECT_EQ(request.INST, 0x23);
  EXPECT_EQ(request.Data, Hex("0A 03"));
  bool state = false;
  EXPECT_FALSE(Device->GetCachedOutput(3, state));
  EXPECT_TRUE(log.Singles().empty());
  EXPECT_EQ(Transport->WriteCount(), 1u);  // no read-back
  log.Unsubscribe(*Device, false);
}

TEST_F(TVeltoOutputs, SetOutputsSendsOneCommandPerElement) {
  UseSimulator();
  ASSERT_TRUE(Device->SetOutputs(States({true, false, true}), true));
  const auto request = LastRequest();
  EXPECT_EQ(request.INST, 0x20);
  EXPECT_EQ(request.Data, Hex("81 02 83"));
  EXPECT_EQ(Sim->Outputs(), States({true, false, true, false}));
  TVeltoIOArray states;
  EXPECT_EQ(Device->GetCachedOutputs(states), 0);  // the copy is not touched
}

TEST_F(TVeltoOutputs, NumbersACommandByteCannotCarryAreRefusedUnsent) {
  UseSimulator();
  EXPECT_FALSE(Device->SetOutput(0, true, 0, true));
  EXPECT_FALSE(Device->SetOutput(-1, true, 0, true));
  EXPECT_FALSE(Device->SetOutput(128, true, 0, true));  // would switch output 0
  EXPECT_FALSE(Device->SetOutput(129, true, 5, true));  // would switch output 1
  EXPECT_FALSE(Device->SetOutputs(TVeltoIOArray(128, true), true));
  EXPECT_FALSE(Device->SetOutputs(TVeltoIOArray(), true));
  EXPECT_TRUE(Transport->Written().empty());
  EXPECT_TRUE(Device->SetOutput(127, true, 0, false));  // the highest one is sent
  EXPECT_EQ(LastRequest().Data, Hex("FF"));
}

TEST_F(TVeltoOutputs, RefusedCommandFailsAndLeavesTheCopy) {
  UseScript();
  Script(velto::kInstSetOutputs, {3, {}, false});
  TEventLog log;
  log.Subscribe(*Device, false);
  EXPECT_FALSE(Device->SetOutput(2, true, 0, true));
  EXPECT_EQ(Device->GetLastResult(), tervan::kResultRefused);
  EXPECT_EQ(Device->GetLastAck(), 3);
  bool state = false;
  EXPECT_FALSE(Device->GetCachedOutput(2, state));
  EXPECT_TRUE(log.Lists().empty());
  EXPECT_EQ(Transport->WriteCount(), 1u);
  log.Unsubscribe(*Device, false);
}

TEST_F(TVeltoOutputs, UnansweredCommandFails) {
  UseScript();
  Script(velto::kInstSetOutputs, {0, {}, true});
  EXPECT_FALSE(Device->SetOutput(2, true, 0, true));
  EXPECT_EQ(Device->GetLastResult(), tervan::kResultNoAnswer);
  EXPECT_EQ(Device->GetLastAck(), -1);
}

TEST_F(TVeltoOutputs, WaitedCommandReadsAllOutputsBackWhenTheCopyIsShort) {
  TSimConfig config;
  config.Outputs = {true, false, false, true};
  UseSimulator(config);
  TEventLog log;
  log.Subscribe(*Device, false);
  ASSERT_TRUE(Identify());
  ASSERT_TRUE(Device->SetOutput(3, true, 0, true));
  EXPECT_EQ(Sim->RequestCount(0x30), 1);
  TVeltoIOArray states;
  EXPECT_EQ(Device->GetCachedOutputs(states), 4);
  EXPECT_EQ(states, States({true, false, true, true}));
  // A fresh copy: every output reports once, old state = new state.
  ASSERT_EQ(log.Lists().size(), 1u);
  EXPECT_EQ(log.Lists()[0].size(), 4u);
  EXPECT_EQ(log.Singles()[2], (TEventLog::TSingle{3, true, true}));
  log.Unsubscribe(*Device, false);
}

TEST_F(TVeltoOutputs, WaitedCommandRecordsTheStateWhenTheCopyCoversIt) {
  UseSimulator();
  TVeltoIOArray states;
  ASSERT_TRUE(Identify());
  ASSERT_TRUE(Device->ReadOutputs(states, true));
  TEventLog log;
  log.Subscribe(*Device, false);
  ASSERT_TRUE(Device->SetOutput(2, true, 0, true));
  EXPECT_EQ(Sim->RequestCount(0x30), 1);  // no read-back
  ASSERT_EQ(log.Singles().size(), 1u);
  EXPECT_EQ(log.Singles()[0], (TEventLog::TSingle{2, true, false}));
  ASSERT_EQ(log.Lists().size(), 1u);
  EXPECT_EQ(log.Lists()[0], (TIOsChngRec{{2, false, true}}));
  bool state = false;
  ASSERT_TRUE(Device->GetCachedOutput(2, state));
  EXPECT_TRUE(state);

  // The same state again changes nothing and tells nobody.
  ASSERT_TRUE(Device->SetOutput(2, true, 0, true));
  EXPECT_EQ(log.Singles().size(), 1u);
  EXPECT_EQ(log.Lists().size(), 1u);
  log.Unsubscribe(*Device, false);
}

// The unwaited command: the answer arrives later through the receive path.
class TVeltoUnwaitedOutput : public VeltoFixture {
 protected:
  void SetUp() override {
    VeltoFixture::SetUp();
    Transport->SetResponder([](const TBytes&) { return TBytes(); });
  }
  // Answers the last request as the module would, through the receive path.
  void AnswerLast(std::uint8_t ack) {
    const auto request = LastRequest();
    Transport->Deliver(BuildPacket(0x31, request.SIG, ack, {}));
  }
};

TEST_F(TVeltoUnwaitedOutput, AnswerUpdatesTheCopyAndFiresWithTheOutputNumber) {
  TEventLog log;
  log.Subscribe(*Device, false);
  ASSERT_TRUE(Device->SetOutput(3, true, 0, false));
  const auto request = LastRequest();
  EXPECT_EQ(request.INST, 0x20);
  EXPECT_EQ(request.Data, Hex("83"));
  bool state = false;
  EXPECT_FALSE(Device->GetCachedOutput(3, state));  // nothing known before the answer
  EXPECT_TRUE(log.Singles().empty());

  AnswerLast(0);
  ASSERT_TRUE(Device->GetCachedOutput(3, state));
  EXPECT_TRUE(state);
  EXPECT_FALSE(Device->GetCachedOutput(1, state));  // sized for output 3, only 3 known
  TVeltoIOArray states;
  EXPECT_EQ(Device->GetCachedOutputs(states), 0);
  EXPECT_EQ(states.size(), 3u);
  ASSERT_EQ(log.Singles().size(), 1u);
  EXPECT_EQ(log.Singles()[0], (TEventLog::TSingle{3, true, true}));
  ASSERT_EQ(log.Lists().size(), 1u);
  EXPECT_EQ(log.Lists()[0], (TIOsChngRec{{3, true, true}}));
  EXPECT_EQ(log.LastSender(), ObjectOf(static_cast<IVelto*>(Device.get())));

  // Switching it off: the old state now comes from the copy.
  ASSERT_TRUE(Device->SetOutput(3, false, 0, false));
  AnswerLast(0);
  ASSERT_EQ(log.Singles().size(), 2u);
  EXPECT_EQ(log.Singles()[1], (TEventLog::TSingle{3, false, true}));
  ASSERT_TRUE(Device->GetCachedOutput(3, state));
  EXPECT_FALSE(state);
  log.Unsubscribe(*Device, false);
}

TEST_F(TVeltoUnwaitedOutput, EveryConfirmedCommandIsReported) {
  // Unlike a read, a confirmed command reports its output even when the
  // state it sets was already known.
  TEventLog log;
  log.Subscribe(*Device, false);
  ASSERT_TRUE(Device->SetOutput(1, true, 0, false));
  AnswerLast(0);
  ASSERT_TRUE(Device->SetOutput(1, true, 0, false));
  AnswerLast(0);
  ASSERT_EQ(log.Singles().size(), 2u);
  EXPECT_EQ(log.Singles()[1], (TEventLog::TSingle{1, true, true}));
  EXPECT_EQ(log.Lists().size(), 2u);
  log.Unsubscribe(*Device, false);
}

TEST_F(TVeltoUnwaitedOutput, RefusedAnswerIsIgnored) {
  TEventLog log;
  log.Subscribe(*Device, false);
  ASSERT_TRUE(Device->SetOutput(2, true, 0, false));
  AnswerLast(3);
  bool state = false;
  EXPECT_FALSE(Device->GetCachedOutput(2, state));
  EXPECT_TRUE(log.Singles().empty());
  EXPECT_TRUE(log.Lists().empty());
  log.Unsubscribe(*Device, false);
}

TEST_F(TVeltoUnwaitedOutput, KnownModuleSizesTheCopyToItsOutputCount) {
  Transport->SetResponder([](const TBytes& written) -> TBytes {
    const auto request = ParsePacket(written);
    if (request.INST != 0xF3) return {};
    return BuildPacket(0x31, request.SIG, 0, BytesOf("VELTO USB 8/6;V1.0.0;F97"));
  });
  ASSERT_TRUE(Identify());
  ASSERT_TRUE(Device->SetOutput(2, true, 0, false));
  AnswerLast(0);
  TVeltoIOArray states;
  EXPECT_EQ(Device->GetCachedOutputs(states), 0);
  EXPECT_EQ(states.size(), 6u);
  bool state = false;
  ASSERT_TRUE(Device->GetCachedOutput(2, state));
  EXPECT_TRUE(state);
}

TEST_F(TVeltoUnwaitedOutput, NumbersMatchThoseOfAReadBack) {
  // Output 2 switched without waiting and output 2 changed by a read both
  // report number 2.
  Transport->SetResponder([](const TBytes& written) -> TBytes {
    const auto request = ParsePacket(written);
    if (request.INST == 0xF3) {
      return BuildPacket(0x31, request.SIG, 0, BytesOf("VELTO ETH 8/4;V1.0.0;F97"));
    }
    if (request.INST == 0x30) return BuildPacket(0x31, request.SIG, 0, Hex("00"));
    return {};  // output commands are answered by the test
  });
  ASSERT_TRUE(Identify());
  TEventLog log;
  log.Subscribe(*Device, false);
  ASSERT_TRUE(Device->SetOutput(2, true, 0, false));
  AnswerLast(0);
  ASSERT_EQ(log.Singles().size(), 1u);
  EXPECT_EQ(log.Singles()[0], (TEventLog::TSingle{2, true, true}));
  TVeltoIOArray states;
  ASSERT_TRUE(Device->ReadOutputs(states, true));
  // The read reports all four outputs; output 2 went from on to off.
  const auto singles = log.Singles();
  ASSERT_EQ(singles.size(), 5u);
  EXPECT_EQ(singles[1], (TEventLog::TSingle{1, false, false}));
  EXPECT_EQ(singles[2], (TEventLog::TSingle{2, false, true}));
  EXPECT_EQ(singles[4], (TEventLog::TSingle{4, false, false}));
  log.Unsubscribe(*Device, false);
}

// --- Inputs -----------------------------------------------------------------------

class TVeltoInputs : public VeltoFixture {};

TEST_F(TVeltoInputs, ReadRequestMatchesTheWorkedExample) {
  UseScript();
  Script(velto::kInstReadInputs, {0, Hex("00 05"), false});
  TVeltoIOArray states;
  ASSERT_TRUE(Device->ReadInputs(states, true));
  EXPECT_EQ(Transport->Written().front(), Hex("2A 61 00 05 31 00 31 0D 0D"));
}

TEST_F(TVeltoInputs, TwoAnswerBytesGiveSixteenStates) {
  UseScript();
  Script(velto::kInstReadInputs, {0, Hex("00 05"), false});
  TVeltoIOArray states;
  ASSERT_TRUE(Device->ReadInputs(states, true));
  ASSERT_EQ(states.size(), 16u);
  for (std::size_t i = 0; i < states.size(); ++i) {
    EXPECT_EQ(states[i], i == 0 || i == 2) << "input " << i + 1;
  }
  // An unknown module's copy grows to what the answer holds.
  TVeltoIOArray cached;
  EXPECT_EQ(Device->GetCachedInputs(cached), 16);
  EXPECT_EQ(cached, states);
}

TEST_F(TVeltoInputs, AnswerWithoutDataFailsAndLeavesTheCopy) {
  UseScript();
  Script(velto::kInstReadInputs, {0, {}, false});
  TVeltoIOArray states;
  EXPECT_FALSE(Device->ReadInputs(states, true));
  TVeltoIOArray cached;
  EXPECT_EQ(Device->GetCachedInputs(cached), 0);
  EXPECT_TRUE(cached.empty());
}

TEST_F(TVeltoInputs, FirstReadOfAKnownModuleFillsTheCopyAndASecondIdenticalReadIsSilent) {
  TSimConfig config;
  config.Inputs = {true, false, true};
  config.StateBytes = 2;  // the module answers with more states than it has
  UseSimulator(config);
  ASSERT_TRUE(Identify());
  TEventLog log;
  log.Subscribe(*Device, true);
  TVeltoIOArray states;
  ASSERT_TRUE(Device->ReadInputs(states, true));
  EXPECT_EQ(states.size(), 16u);
  TVeltoIOArray cached;
  EXPECT_EQ(Device->GetCachedInputs(cached), 8);
  EXPECT_EQ(cached, States({true, false, true, false, false, false, false, false}));
  EXPECT_EQ(log.Singles().size(), 8u);
  ASSERT_EQ(log.Lists().size(), 1u);
  const TIOsChngRec first = log.Lists()[0];
  ASSERT_EQ(first.size(), 8u);
  for (std::int16_t n = 1; n <= 8; ++n) {
    const auto& change = first[static_cast<std::size_t>(n - 1)];
    EXPECT_EQ(change.Number, n);
    EXPECT_EQ(change.OldState, change.NewState);  // nothing was known before
  }

  TVeltoIOArray again;
  ASSERT_TRUE(Device->ReadInputs(again, true));
  EXPECT_EQ(log.Singles().size(), 8u);
  EXPECT_EQ(log.Lists().size(), 1u);

  // One input changes: one single event and a list of one.
  Sim->SetInput(2, true);
  ASSERT_TRUE(Device->ReadInputs(again, true));
  ASSERT_EQ(log.Singles().size(), 9u);
  EXPECT_EQ(log.Singles()[8], (TEventLog::TSingle{2, true, false}));
  ASSERT_EQ(log.Lists().size(), 2u);
  EXPECT_EQ(log.Lists()[1], (TIOsChngRec{{2, false, true}}));
  log.Unsubscribe(*Device, true);
}

TEST_F(TVeltoInputs, UnknownModuleCopyGrowsAndForgetsWhatItKnew) {
  UseScript();
  Script(velto::kInstReadInputs, {0, Hex("01"), false});
  TEventLog log;
  log.Subscribe(*Device, true);
  TVeltoIOArray states;
  ASSERT_TRUE(Device->ReadInputs(states, true));
  EXPECT_EQ(log.Singles().size(), 8u);
  Script(velto::kInstReadInputs, {0, Hex("00 01"), false});
  TVeltoIOArray wider;
  ASSERT_TRUE(Device->ReadInputs(wider, true));
  // Grown to 16: every element was marked unknown, so all 16 report.
  EXPECT_EQ(log.Singles().size(), 24u);
  TVeltoIOArray cached;
  EXPECT_EQ(Device->GetCachedInputs(cached), 16);
  // A shorter answer later does not shrink the copy.
  Script(velto::kInstReadInputs, {0, Hex("03"), false});
  TVeltoIOArray narrow;
  ASSERT_TRUE(Device->ReadInputs(narrow, true));
  EXPECT_EQ(Device->GetCachedInputs(cached), 16);
  ASSERT_EQ(log.Singles().size(), 25u);
  EXPECT_EQ(log.Singles()[24], (TEventLog::TSingle{2, true, false}));
  log.Unsubscribe(*Device, true);
}

TEST_F(TVeltoInputs, NegativeCountFromTheModuleIsTreatedAsUnknown) {
  UseScript();
  ScriptIdentification("VELTO ETH -3/4;V1.0.0;F97");
  Script(velto::kInstReadInputs, {0, Hex("04"), false});
  ASSERT_TRUE(Identify());
  ASSERT_TRUE(Device->GetInfoKnown());
  TVeltoIOArray states;
  ASSERT_TRUE(Device->ReadInputs(states, true));
  TVeltoIOArray cached;
  EXPECT_EQ(Device->GetCachedInputs(cached), 8);
  EXPECT_EQ(Device->GetCounterCount(), 0);
}

TEST_F(TVeltoInputs, HugeCountFromTheModuleIsCutToWhatChangeRecordsCanNumber) {
  UseScript();
  ScriptIdentification("VELTO ETH 2000000000/4;V1.0.0;F97");
  Script(velto::kInstReadInputs, {0, Hex("04"), false});
  ASSERT_TRUE(Identify());
  TEventLog log;
  log.Subscribe(*Device, true);
  TVeltoIOArray states;
  ASSERT_TRUE(Device->ReadInputs(states, true));
  TVeltoIOArray cached;
  EXPECT_EQ(Device->GetCachedInputs(cached), 0);  // only the 8 answered are known
  EXPECT_EQ(cached.size(), 32767u);
  EXPECT_EQ(log.Singles().size(), 8u);
  EXPECT_EQ(Device->GetCounterCount(), 60);
  log.Unsubscribe(*Device, true);
}

TEST_F(TVeltoInputs, CallerArrayKeepsItsLength) {
  UseScript();
  Script(velto::kInstReadInputs, {0, Hex("00 05"), false});
  TVeltoIOArray states(4, false);
  ASSERT_TRUE(Device->ReadInputs(states, true));
  EXPECT_EQ(states, States({true, false, true, false}));
  TVeltoIOArray cached;
  EXPECT_EQ(Device->GetCachedInputs(cached), 4);
}

TEST_F(TVeltoInputs, CallerStatesTheAnswerDidNotCarryNeverReachTheCopy) {
  UseScript();
  Script(velto::kInstReadInputs, {0, Hex("05"), false});
  TEventLog log;
  log.Subscribe(*Device, true);
  // Whatever the caller's longer array held past the answer is not the module's word.
  TVeltoIOArray states(12, true);
  ASSERT_TRUE(Device->ReadInputs(states, true));
  EXPECT_EQ(states.size(), 12u);
  bool state = false;
  ASSERT_TRUE(Device->GetCachedInput(3, state));
  EXPECT_TRUE(state);
  EXPECT_FALSE(Device->GetCachedInput(10, state));
  TVeltoIOArray cached;
  EXPECT_EQ(Device->GetCachedInputs(cached), 8);
  EXPECT_EQ(log.Singles().size(), 8u);
  log.Unsubscribe(*Device, true);
}

TEST_F(TVeltoInputs, SingleInputReadsAllAndPicksOne) {
  UseScript();
  Script(velto::kInstReadInputs, {0, Hex("00 05"), false});
  bool state = false;
  ASSERT_TRUE(Device->ReadInput(3, state));
  EXPECT_TRUE(state);
  ASSERT_TRUE(Device->ReadInput(16, state));
  EXPECT_FALSE(state);
  EXPECT_FALSE(Device->ReadInput(17, state));
  EXPECT_FALSE(Device->ReadInput(0, state));
  EXPECT_EQ(RequestsOf(velto::kInstReadInputs).size(), 4u);
}

TEST_F(TVeltoInputs, SingleOutputReadsTheOutputs) {
  UseSimulator();
  ASSERT_TRUE(Device->SetOutputs(States({false, true}), true));
  bool state = false;
  ASSERT_TRUE(Device->ReadOutput(2, state));
  EXPECT_TRUE(state);
  ASSERT_TRUE(Device->ReadOutput(1, state));
  EXPECT_FALSE(state);
  EXPECT_EQ(Sim->RequestCount(0x30), 2);
}

TEST_F(TVeltoInputs, UnwaitedReadOnlySends) {
  UseScript();
  Script(velto::kInstReadInputs, {0, Hex("FF"), false});
  TVeltoIOArray states;
  ASSERT_TRUE(Device->ReadInputs(states, false));
  EXPECT_TRUE(states.empty());
  EXPECT_EQ(LastRequest().INST, 0x31);
  TVeltoIOArray cached;
  EXPECT_EQ(Device->GetCachedInputs(cached), 0);
  EXPECT_EQ(Device->GetLastResult(), tervan::kResultNone);
}

TEST_F(TVeltoInputs, UnwaitedReadFailsWithoutATransport) {
  Stack->SetTransport(nullptr);
  TVeltoIOArray states;
  EXPECT_FALSE(Device->ReadInputs(states, false));
  EXPECT_FALSE(Device->ReadInputs(states, true));
}

TEST_F(TVeltoInputs, HandlerMayReadTheCopyWhileItFires) {
  UseScript();
  Script(velto::kInstReadInputs, {0, Hex("04"), false});
  struct TReader {
    TVelto* Device = nullptr;
    bool SawState = false;
    void OnChange(TIntf<IVelto>, std::int16_t number, bool, bool) {
      bool state = false;
      if (number == 3 && Device->GetCachedInput(3, state)) SawState = state;
    }
  } reader{Device.get()};
  const auto handler = TeventerVeltoNotifyChangeIO::THandler::Of<&TReader::OnChange>(&reader);
  Device->InputChangedEvents().AddHandler(handler);
  TVeltoIOArray states;
  ASSERT_TRUE(Device->ReadInputs(states, true));
  EXPECT_TRUE(reader.SawState);
  Device->InputChangedEvents().RemoveHandler(handler);
}

TEST_F(TVeltoInputs, NewerStatesLearntInsideAHandlerAreNotOverwritten) {
  // The module sends an input-change notification in the same write as its
  // answer to the command the handler sends: the exchange hands it on, and it
  // is merged while the read's events are still being fired.
  Transport->SetResponder([](const TBytes& written) -> TBytes {
    const auto request = ParsePacket(written);
    if (request.INST == 0x31) return BuildPacket(0x31, request.SIG, 0, Hex("00"));
    TBytes bytes = BuildPacket(0x31, 0, 0x0D, Hex("04"));
    const TBytes answer = BuildPacket(0x31, request.SIG, 0, {});
    bytes.insert(bytes.end(), answer.begin(), answer.end());
    return bytes;
  });
  struct TSwitcher {
    TVelto* Device = nullptr;
    bool Switched = false;
    void OnChange(TIntf<IVelto>, std::int16_t, bool, bool) {
      if (Switched) return;
      Switched = true;
      Device->SetOutput(1, true, 0, true);
    }
  } switcher{Device.get()};
  const auto handler = TeventerVeltoNotifyChangeIO::THandler::Of<&TSwitcher::OnChange>(&switcher);
  Device->InputChangedEvents().AddHandler(handler);
  TVeltoIOArray states;
  ASSERT_TRUE(Device->ReadInputs(states, true));
  Device->InputChangedEvents().RemoveHandler(handler);
  ASSERT_TRUE(switcher.Switched);
  bool state = false;
  ASSERT_TRUE(Device->GetCachedInput(3, state));
  EXPECT_TRUE(state);  // the notification is newer than the read's answer
}

TEST_F(TVeltoInputs, FailingHandlerDoesNotStopTheOthers) {
  UseScript();
  Script(velto::kInstReadInputs, {0, Hex("01"), false});
  struct TThrower {
    void OnList(TIntf<IVelto>, TIOsChngRec) { throw std::runtime_error("subscriber fault"); }
  } thrower;
  const auto bad = TeventerVeltoNotifyChangeIOs::THandler::Of<&TThrower::OnList>(&thrower);
  Device->InputsChangedEvents().AddHandler(bad);
  TEventLog log;
  log.Subscribe(*Device, true);
  TVeltoIOArray states;
  ASSERT_TRUE(Device->ReadInputs(states, true));
  EXPECT_EQ(log.Lists().size(), 1u);
  Device->InputsChangedEvents().RemoveHandler(bad);
  log.Unsubscribe(*Device, true);
}

// --- Option byte ----------------------------------------------------------------

class TVeltoOption : public VeltoFixture {};

TEST_F(TVeltoOption, FlagIsSetOnlyByTheByte61) {
  UseScript();
  bool flag = false;
  Script(velto::kInstReadOption, {0, Hex("61"), false});
  ASSERT_TRUE(Device->ReadOptionFlag(flag));
  EXPECT_TRUE(flag);
  Script(velto::kInstReadOption, {0, Hex("01"), false});
  ASSERT_TRUE(Device->ReadOptionFlag(flag));
  EXPECT_FALSE(flag);
  EXPECT_TRUE(LastRequest().Data.empty());
}

TEST_F(TVeltoOption, AnswerOfOtherLengthFails) {
  UseScript();
  bool flag = true;
  Script(velto::kInstReadOption, {0, Hex("61 61"), false});
  EXPECT_FALSE(Device->ReadOptionFlag(flag));
  Script(velto::kInstReadOption, {0, {}, false});
  EXPECT_FALSE(Device->ReadOptionFlag(flag));
  EXPECT_TRUE(flag);  // untouched
}

TEST_F(TVeltoOption, WriteSendsTheByte) {
  UseSimulator();
  ASSERT_TRUE(Device->WriteOptionByte(0x5A));
  EXPECT_EQ(LastRequest().INST, 0x10);
  EXPECT_EQ(LastRequest().Data, Hex("5A"));
  EXPECT_EQ(Sim->OptionByte(), 0x5A);
}

TEST_F(TVeltoOption, SetFlagWritesItsByteAndIsRemembered) {
  UseSimulator();
  Device->SetOptionFlag(true);
  EXPECT_EQ(LastRequest().Data, Hex("01"));
  EXPECT_TRUE(Device->GetOptionKnown());
  EXPECT_TRUE(Device->GetOptionFlag());
  EXPECT_EQ(Sim->RequestCount(0x11), 0);  // the recorded flag answers

  Device->SetOptionFlag(false);
  EXPECT_EQ(LastRequest().Data, Hex("00"));
  EXPECT_FALSE(Device->GetOptionFlag());
  EXPECT_EQ(Sim->RequestCount(0x11), 0);
}

TEST_F(TVeltoOption, UnknownFlagIsReadFromTheModuleEachTime) {
  TSimConfig config;
  config.OptionByte = 0x61;
  UseSimulator(config);
  EXPECT_TRUE(Device->GetOptionFlag());
  EXPECT_TRUE(Device->GetOptionFlag());
  EXPECT_EQ(Sim->RequestCount(0x11), 2);
  EXPECT_FALSE(Device->GetOptionKnown());
}

TEST_F(TVeltoOption, RefusedWriteLeavesTheFlagUnknown) {
  UseScript();
  Script(velto::kInstWriteOption, {3, {}, false});
  Script(velto::kInstReadOption, {0, Hex("00"), false});
  Device->SetOptionFlag(true);
  EXPECT_FALSE(Device->GetOptionKnown());
  EXPECT_FALSE(Device->GetOptionFlag());  // read from the module instead
  EXPECT_EQ(RequestsOf(velto::kInstReadOption).size(), 1u);
}

TEST_F(TVeltoOption, FailedReadGivesFalse) {
  UseScript();
  Script(velto::kInstReadOption, {0, {}, true});
  EXPECT_FALSE(Device->GetOptionFlag());
}

// --- Labels -----------------------------------------------------------------------

class TVeltoLabels : public VeltoFixture {};

TEST_F(TVeltoLabels, WriteSendsIndexDigitAndPaddedText) {
  UseSimulator();
  ASSERT_TRUE(Device->WriteLabelA(5, "Pump", 3));
  const auto request = LastRequest();
  EXPECT_EQ(request.INST, 0x2A);
  TBytes expected = {0x05, '3', 'P', 'u', 'm', 'p'};
  expected.resize(22, 0x00);
  EXPECT_EQ(request.Data, expected);
}

TEST_F(TVeltoLabels, ReadGivesBackDigitAndText) {
  UseSimulator();
  ASSERT_TRUE(Device->WriteLabelA(5, "Pump", 3));
  std::uint8_t digit = 0;
  std::string text;
  ASSERT_TRUE(Device->ReadLabelA(5, digit, text));
  EXPECT_EQ(LastRequest().INST, 0x3A);
  EXPECT_EQ(LastRequest().Data, Hex("05"));
  EXPECT_EQ(digit, 3);
  EXPECT_EQ(text, "Pump");
}

TEST_F(TVeltoLabels, TheTwoTablesAreSeparate) {
  UseSimulator();
  ASSERT_TRUE(Device->WriteLabelA(1, "Door", 1));
  ASSERT_TRUE(Device->WriteLabelB(1, "Alarm", 7));
  EXPECT_EQ(RequestsOf(velto::kInstWriteLabelB).size(), 1u);
  std::uint8_t digit = 0;
  std::string text;
  ASSERT_TRUE(Device->ReadLabelB(1, digit, text));
  EXPECT_EQ(LastRequest().INST, 0x3B);
  EXPECT_EQ(digit, 7);
  EXPECT_EQ(text, "Alarm");
  ASSERT_TRUE(Device->ReadLabelA(1, digit, text));
  EXPECT_EQ(digit, 1);
  EXPECT_EQ(text, "Door");
}

TEST_F(TVeltoLabels, LongTextIsCutToTwentyCharacters) {
  UseSimulator();
  ASSERT_TRUE(Device->WriteLabelA(2, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", 9));
  EXPECT_EQ(LastRequest().Data.size(), 22u);
  std::uint8_t digit = 0;
  std::string text;
  ASSERT_TRUE(Device->ReadLabelA(2, digit, text));
  EXPECT_EQ(digit, 9);
  EXPECT_EQ(text, "ABCDEFGHIJKLMNOPQRST");
}

TEST_F(TVeltoLabels, DigitWiderThanOneCharacterIsRefusedUnsent) {
  UseSimulator();
  EXPECT_FALSE(Device->WriteLabelA(1, "Door", 10));
  EXPECT_FALSE(Device->WriteLabelB(1, "Door", 255));
  EXPECT_TRUE(Transport->Written().empty());
}

TEST_F(TVeltoLabels, AnswerOfWrongLengthFails) {
  UseScript();
  std::uint8_t digit = 4;
  std::string text = "kept";
  Script(velto::kInstReadLabelA, {0, TBytes(20, 'x'), false});
  EXPECT_FALSE(Device->ReadLabelA(1, digit, text));
  Script(velto::kInstReadLabelA, {0, TBytes(22, 'x'), false});
  EXPECT_FALSE(Device->ReadLabelA(1, digit, text));
  EXPECT_EQ(digit, 4);
  EXPECT_EQ(text, "kept");
}

TEST_F(TVeltoLabels, RecordWithoutALeadingDigitGivesDigitZero) {
  UseScript();
  TBytes record = BytesOf("xHeater");
  record.resize(21, 0x00);
  Script(velto::kInstReadLabelB, {0, record, false});
  std::uint8_t digit = 9;
  std::string text;
  ASSERT_TRUE(Device->ReadLabelB(0, digit, text));
  EXPECT_EQ(digit, 0);
  EXPECT_EQ(text, "Heater");
}

TEST_F(TVeltoLabels, EmptyRecordGivesDigitZeroAndNoText) {
  UseScript();
  Script(velto::kInstReadLabelA, {0, TBytes(21, 0x00), false});
  std::uint8_t digit = 9;
  std::string text = "old";
  ASSERT_TRUE(Device->ReadLabelA(0, digit, text));
  EXPECT_EQ(digit, 0);
  EXPECT_EQ(text, "");
}

}  // namespace
