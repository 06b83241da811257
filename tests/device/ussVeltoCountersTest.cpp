// The I/O module device: counters, their configuration, the thermometer, the
// module's input-change notification and the group refresh.
#include <gtest/gtest.h>

#include "device/ussVelto.h"
#include "uVeltoTestKit.h"

using namespace veltotest;

namespace {

// --- Counter count ------------------------------------------------------------

class TVeltoCounterCount : public VeltoFixture {};

TEST_F(TVeltoCounterCount, OneCounterPerInput) {
  UseScript();
  ScriptIdentification("VELTO RS 10/4;V1.0.0;F97");
  EXPECT_EQ(Device->GetCounterCount(), 10);
  EXPECT_EQ(Device->GetCounterCopy().size(), 10u);
}

TEST_F(TVeltoCounterCount, AtMostSixty) {
  UseScript();
  ScriptIdentification("VELTO RS 64/4;V1.0.0;F97");
  EXPECT_EQ(Device->GetCounterCount(), 60);
  EXPECT_EQ(Device->GetCounterCopy().size(), 60u);
}

TEST_F(TVeltoCounterCount, NoneWithoutAnIdentification) {
  UseScript();
  Script(tervan::kInstIdentify, {0, {}, true});
  EXPECT_EQ(Device->GetCounterCount(), 0);
  ScriptIdentification("MODULE X;V0.0.0;F97");  // answered but not recognised
  EXPECT_EQ(Device->GetCounterCount(), 0);
  EXPECT_TRUE(Device->GetCounterCopy().empty());
}

TEST_F(TVeltoCounterCount, RefusalWithCodeTwoSwitchesCountersOffForGood) {
  UseScript();
  ScriptIdentification("VELTO ETH 8/4;V1.0.0;F97");
  Script(velto::kInstReadCounterConfig, {2, {}, false});
  ASSERT_EQ(Device->GetCounterCount(), 8);
  bool first = false;
  bool second = false;
  EXPECT_FALSE(Device->ReadCounterConfig(1, first, second));
  EXPECT_EQ(Device->GetLastResult(), tervan::kResultRefused);
  EXPECT_EQ(Device->GetLastAck(), 2);
  EXPECT_TRUE(Device->GetCountersUnsupported());
  EXPECT_EQ(Device->GetCounterCount(), 0);
  // The module answering later does not bring them back.
  Script(velto::kInstReadCounterConfig, {0, Hex("81"), false});
  ASSERT_TRUE(Device->ReadCounterConfig(1, first, second));
  EXPECT_EQ(Device->GetCounterCount(), 0);
  EXPECT_FALSE(Device->GetCachedCounterConfig(1, first, second));
}

TEST_F(TVeltoCounterCount, SingleCounterRefusedWithCodeTwoSwitchesThemOff) {
  UseScript();
  ScriptIdentification("VELTO ETH 8/4;V1.0.0;F97");
  Script(velto::kInstReadCounters, {2, {}, false});
  std::uint32_t value = 0;
  EXPECT_FALSE(Device->ReadCounter(1, value, false, true));
  EXPECT_EQ(Device->GetCounterCount(), 0);
}

TEST_F(TVeltoCounterCount, ConfigurationWriteRefusedWithCodeTwoSwitchesThemOff) {
  UseScript();
  ScriptIdentification("VELTO ETH 8/4;V1.0.0;F97");
  Script(velto::kInstWriteCounterConfig, {2, {}, false});
  EXPECT_FALSE(Device->WriteCounterConfig(1, true, true));
  EXPECT_EQ(Device->GetCounterCount(), 0);
}

TEST_F(TVeltoCounterCount, ReadingAllCountersRefusedWithCodeTwoSwitchesThemOff) {
  UseScript();
  ScriptIdentification("VELTO ETH 8/4;V1.0.0;F97");
  Script(velto::kInstReadCounters, {2, {}, false});
  TVeltoCounterArray values;
  EXPECT_FALSE(Device->ReadCounters(values, false, true));
  EXPECT_EQ(Device->GetCounterCount(), 0);
}

TEST_F(TVeltoCounterCount, OtherRefusalsOrSilenceKeepThem) {
  UseScript();
  ScriptIdentification("VELTO ETH 8/4;V1.0.0;F97");
  Script(velto::kInstReadCounters, {3, {}, false});
  std::uint32_t value = 0;
  EXPECT_FALSE(Device->ReadCounter(1, value, false, true));
  EXPECT_EQ(Device->GetLastAck(), 3);
  Script(velto::kInstReadCounters, {0, {}, true});
  EXPECT_FALSE(Device->ReadCounter(1, value, false, true));
  EXPECT_EQ(Device->GetCounterCount(), 8);
  EXPECT_FALSE(Device->GetCountersUnsupported());
}

// --- Reading counters ---------------------------------------------------------------

class TVeltoCounters : public VeltoFixture {};

TEST_F(TVeltoCounters, RequestBytesCarryClearFlagAndIndex) {
  UseScript();
  ScriptIdentification("VELTO ETH 8/4;V1.0.0;F97");
  Script(velto::kInstReadCounters, {0, Hex("08 01"), false});
  std::uint32_t value = 0;
  ASSERT_TRUE(Device->ReadCounter(3, value, true, true));
  EXPECT_EQ(RequestsOf(velto::kInstReadCounters).back().Data, Hex("83"));
  ASSERT_TRUE(Device->ReadCounter(3, value, false, true));
  EXPECT_EQ(RequestsOf(velto::kInstReadCounters).back().Data, Hex("03"));
  TVeltoCounterArray values;
  Device->ReadCounters(values, true, true);
  EXPECT_EQ(RequestsOf(velto::kInstReadCounters).back().Data, Hex("80"));
  Device->ReadCounters(values, false, true);
  EXPECT_EQ(RequestsOf(velto::kInstReadCounters).back().Data, Hex("00"));
}

TEST_F(TVeltoCounters, WideValuesAreBigEndian) {
  UseScript();
  ScriptIdentification("VELTO ETH 8/4;V1.0.0;F97");
  Script(velto::kInstReadCounters, {0, Hex("20 00 00 01 00"), false});
  std::uint32_t value = 0;
  ASSERT_TRUE(Device->ReadCounter(1, value, false, true));
  EXPECT_EQ(value, 256u);
  std::uint32_t cached = 0;
  ASSERT_TRUE(Device->GetCachedCounter(1, cached));
  EXPECT_EQ(cached, 256u);
}

TEST_F(TVeltoCounters, ReadWithClearPassesTheValueOnAndCachesZero) {
  TSimConfig config;
  config.Counters = {0, 0, 41};
  UseSimulator(config);
  std::uint32_t value = 0;
  ASSERT_TRUE(Device->ReadCounter(3, value, true, true));
  EXPECT_EQ(value, 41u);
  std::uint32_t cached = 99;
  ASSERT_TRUE(Device->GetCachedCounter(3, cached));
  EXPECT_EQ(cached, 0u);
  EXPECT_EQ(Sim->Counter(3), 0u);
  EXPECT_FALSE(Device->GetCachedCounter(2, cached));  // never read
}

TEST_F(TVeltoCounters, UnwaitedReadSendsButReportsFailure) {
  UseScript();
  ScriptIdentification("VELTO ETH 8/4;V1.0.0;F97");
  Script(velto::kInstReadCounters, {0, Hex("08 05"), false});
  std::uint32_t value = 7;
  EXPECT_FALSE(Device->ReadCounter(2, value, false, false));
  EXPECT_EQ(RequestsOf(velto::kInstReadCounters).size(), 1u);
  EXPECT_EQ(value, 7u);
}

TEST_F(TVeltoCounters, IndexesOutsideTheCountersAreRefusedUnsent) {
  UseSimulator();
  std::uint32_t value = 0;
  bool first = false;
  bool second = false;
  EXPECT_FALSE(Device->ReadCounter(64, value, false, true));  // would ask for all
  EXPECT_FALSE(Device->ReadCounter(-1, value, false, true));
  EXPECT_FALSE(Device->ReadCounterConfig(61, first, second));
  EXPECT_FALSE(Device->WriteCounterConfig(61, true, false));
  EXPECT_TRUE(Transport->Written().empty());
}

TEST_F(TVeltoCounters, IndexBeyondTheCountIsPassedOnButNotCached) {
  UseScript();
  ScriptIdentification("VELTO ETH 2/4;V1.0.0;F97");
  Script(velto::kInstReadCounters, {0, Hex("08 09"), false});
  std::uint32_t value = 0;
  ASSERT_TRUE(Device->ReadCounter(5, value, false, true));
  EXPECT_EQ(value, 9u);
  EXPECT_FALSE(Device->GetCachedCounter(5, value));
  EXPECT_EQ(Device->GetCounterCopy().size(), 2u);
}

TEST_F(TVeltoCounters, AllCountersFillTheArrayAndTheCopy) {
  TSimConfig config;
  config.InputCount = 4;
  config.Counters = {10, 20, 30, 40};
  config.CounterWidth = 16;
  UseSimulator(config);
  TVeltoCounterArray values;
  ASSERT_TRUE(Device->ReadCounters(values, true, true));
  EXPECT_EQ(values, (TVeltoCounterArray{10, 20, 30, 40}));
  // Unlike a single read, the copy keeps the values read also with clear.
  for (std::int32_t i = 1; i <= 4; ++i) {
    std::uint32_t cached = 0;
    ASSERT_TRUE(Device->GetCachedCounter(i, cached));
    EXPECT_EQ(cached, static_cast<std::uint32_t>(10 * i));
  }
}

TEST_F(TVeltoCounters, ShortAnswerStoresWhatItHoldsAndFails) {
  UseScript();
  ScriptIdentification("VELTO ETH 4/4;V1.0.0;F97");
  Script(velto::kInstReadCounters, {0, Hex("08 05 06"), false});
  TVeltoCounterArray values;
  EXPECT_FALSE(Device->ReadCounters(values, false, true));
  ASSERT_EQ(values.size(), 4u);
  EXPECT_EQ(values[0], 5u);
  EXPECT_EQ(values[1], 6u);
  std::uint32_t cached = 0;
  ASSERT_TRUE(Device->GetCachedCounter(2, cached));
  EXPECT_EQ(cached, 6u);
  EXPECT_FALSE(Device->GetCachedCounter(3, cached));
}

TEST_F(TVeltoCounters, LongerArrayKeepsItsLength) {
  UseScript();
  ScriptIdentification("VELTO ETH 2/4;V1.0.0;F97");
  Script(velto::kInstReadCounters, {0, Hex("08 05 06"), false});
  TVeltoCounterArray values(5, 77);
  ASSERT_TRUE(Device->ReadCounters(values, false, true));
  EXPECT_EQ(values, (TVeltoCounterArray{5, 6, 77, 77, 77}));
}

TEST_F(TVeltoCounters, LegacyModuleIsNeverAskedForCounterValuesToCache) {
  UseScript();
  ScriptIdentification("Velto;V0094.01;F97");
  Script(velto::kInstReadCounters, {0, Hex("08 05 06"), false});
  std::uint32_t value = 0;
  ASSERT_TRUE(Device->ReadCounter(1, value, false, true));
  EXPECT_EQ(value, 5u);
  EXPECT_FALSE(Device->GetCachedCounter(1, value));
  EXPECT_EQ(Device->GetCounterCount(), 0);
}

// --- Counter configuration -------------------------------------------------------

class TVeltoCounterConfig : public VeltoFixture {};

TEST_F(TVeltoCounterConfig, WriteSendsIndexAndFlagBits) {
  UseSimulator();
  ASSERT_TRUE(Device->WriteCounterConfig(5, true, false));
  EXPECT_EQ(LastRequest().INST, 0x6A);
  EXPECT_EQ(LastRequest().Data, Hex("85"));
  bool first = false;
  bool second = true;
  ASSERT_TRUE(Sim->CounterConfig(5, first, second));
  EXPECT_TRUE(first);
  EXPECT_FALSE(second);
}

TEST_F(TVeltoCounterConfig, WriteCachesFlagsOnlyWhereTheCopyReaches) {
  UseSimulator();
  bool first = false;
  bool second = false;
  // The copy is empty until the counter count is known.
  ASSERT_TRUE(Device->WriteCounterConfig(2, false, true));
  EXPECT_FALSE(Device->GetCachedCounterConfig(2, first, second));
  ASSERT_EQ(Device->GetCounterCount(), 8);
  ASSERT_TRUE(Device->WriteCounterConfig(2, false, true));
  ASSERT_TRUE(Device->GetCachedCounterConfig(2, first, second));
  EXPECT_FALSE(first);
  EXPECT_TRUE(second);
}

TEST_F(TVeltoCounterConfig, ReadSendsTheIndexAndFindsItsByte) {
  UseScript();
  ScriptIdentification("VELTO ETH 8/4;V1.0.0;F97");
  Script(velto::kInstReadCounterConfig, {0, Hex("01 42 83"), false});
  bool first = false;
  bool second = false;
  ASSERT_TRUE(Device->ReadCounterConfig(2, first, second));
  ASSERT_EQ(RequestsOf(velto::kInstReadCounterConfig).size(), 1u);
  EXPECT_EQ(RequestsOf(velto::kInstReadCounterConfig)[0].Data, Hex("02"));
  EXPECT_FALSE(first);
  EXPECT_TRUE(second);
  bool cachedFirst = true;
  bool cachedSecond = false;
  ASSERT_TRUE(Device->GetCachedCounterConfig(2, cachedFirst, cachedSecond));
  EXPECT_FALSE(cachedFirst);
  EXPECT_TRUE(cachedSecond);
  EXPECT_FALSE(Device->ReadCounterConfig(4, first, second));  // no byte for counter 4
}

TEST_F(TVeltoCounterConfig, WrittenFlagsReadBackFromTheModule) {
  UseSimulator();
  ASSERT_TRUE(Device->WriteCounterConfig(7, true, true));
  bool first = false;
  bool second = false;
  ASSERT_TRUE(Device->ReadCounterConfig(7, first, second));
  EXPECT_TRUE(first);
  EXPECT_TRUE(second);
}

// --- Temperature ------------------------------------------------------------------

class TVeltoTemperature : public VeltoFixture {};

TEST_F(TVeltoTemperature, AnswerIsDecodedAndTheEventCarriesBothReadings) {
  UseScript();
  Script(velto::kInstReadTemperature, {0, Hex("00 00 E7"), false});
  TEventLog log;
  log.SubscribeTemperature(*Device);
  TTemperatureReading reading;
  const double before = NowDateTime();
  ASSERT_TRUE(Device->ReadTemperature(reading));
  EXPECT_EQ(LastRequest().INST, 0x51);
  EXPECT_EQ(LastRequest().Data, Hex("01"));
  EXPECT_NEAR(reading.Degrees, 23.1, 1e-9);
  EXPECT_TRUE(reading.Valid);
  EXPECT_GE(reading.ReadAt, before);
  ASSERT_EQ(log.Temperatures().size(), 1u);
  const TTemperatureChange change = log.Temperatures()[0];
  EXPECT_FALSE(change.Previous.Valid);
  EXPECT_EQ(change.Previous.ReadAt, 0.0);
  EXPECT_TRUE(change.Current.Valid);
  EXPECT_NEAR(change.Current.Degrees, 23.1, 1e-9);
  EXPECT_EQ(log.LastSender(), ObjectOf(static_cast<IVelto*>(Device.get())));
}

TEST_F(TVeltoTemperature, FailedAttemptStillFiresAndKeepsTheLastDegrees) {
  UseScript();
  Script(velto::kInstReadTemperature, {0, Hex("00 FF 38"), false});
  TEventLog log;
  log.SubscribeTemperature(*Device);
  TTemperatureReading reading;
  ASSERT_TRUE(Device->ReadTemperature(reading));
  EXPECT_NEAR(reading.Degrees, -20.0, 1e-9);

  Script(velto::kInstReadTemperature, {0, Hex("00 E7"), false});  // two bytes: not a reading
  TTemperatureReading untouched;
  untouched.Degrees = 99.0;
  EXPECT_FALSE(Device->ReadTemperature(untouched));
  EXPECT_EQ(untouched.Degrees, 99.0);
  ASSERT_EQ(log.Temperatures().size(), 2u);
  const TTemperatureChange change = log.Temperatures()[1];
  EXPECT_TRUE(change.Previous.Valid);
  EXPECT_NEAR(change.Previous.Degrees, -20.0, 1e-9);
  EXPECT_FALSE(change.Current.Valid);
  EXPECT_GE(change.Current.ReadAt, change.Previous.ReadAt);
  EXPECT_FALSE(Device->GetTemperature().Valid);
}

TEST_F(TVeltoTemperature, SilenceAndRefusalAreFailuresWithAnEvent) {
  UseScript();
  TEventLog log;
  log.SubscribeTemperature(*Device);
  TTemperatureReading reading;
  Script(velto::kInstReadTemperature, {0, {}, true});
  EXPECT_FALSE(Device->ReadTemperature(reading));
  Script(velto::kInstReadTemperature, {2, Hex("00 00 E7"), false});
  EXPECT_FALSE(Device->ReadTemperature(reading));
  ASSERT_EQ(log.Temperatures().size(), 2u);
  EXPECT_FALSE(log.Temperatures()[0].Current.Valid);
  EXPECT_GT(log.Temperatures()[0].Current.ReadAt, 0.0);
  EXPECT_FALSE(log.Temperatures()[1].Current.Valid);
  EXPECT_FALSE(Device->GetCountersUnsupported());  // only counter refusals count
}

TEST_F(TVeltoTemperature, SimulatedThermometer) {
  TSimConfig config;
  config.Temperature = -3.4;
  UseSimulator(config);
  TTemperatureReading reading;
  ASSERT_TRUE(Device->ReadTemperature(reading));
  EXPECT_NEAR(reading.Degrees, -3.4, 1e-9);
}

// --- Notification ----------------------------------------------------------------

class TVeltoNotification : public VeltoFixture {};

TEST_F(TVeltoNotification, InputChangeNotificationTurnsInputThreeOn) {
  UseScript();
  Script(velto::kInstReadInputs, {0, Hex("00"), false});
  ScriptIdentification("VELTO ETH 8/4;V1.0.0;F97");
  ASSERT_TRUE(Identify());
  TVeltoIOArray states;
  ASSERT_TRUE(Device->ReadInputs(states, true));
  TEventLog log;
  log.Subscribe(*Device, true);
  DeliverFromModule(0x0D, Hex("04"), 9);
  bool state = false;
  ASSERT_TRUE(Device->GetCachedInput(3, state));
  EXPECT_TRUE(state);
  ASSERT_EQ(log.Singles().size(), 1u);
  EXPECT_EQ(log.Singles()[0], (TEventLog::TSingle{3, true, false}));
  ASSERT_EQ(log.Lists().size(), 1u);
  EXPECT_EQ(log.Lists()[0], (TIOsChngRec{{3, false, true}}));
  // The same notification again changes nothing.
  DeliverFromModule(0x0D, Hex("04"), 10);
  EXPECT_EQ(log.Singles().size(), 1u);
  log.Unsubscribe(*Device, true);
}

TEST_F(TVeltoNotification, FillsAnEmptyCopy) {
  TEventLog log;
  log.Subscribe(*Device, true);
  DeliverFromModule(0x0D, Hex("04"));
  TVeltoIOArray cached;
  EXPECT_EQ(Device->GetCachedInputs(cached), 8);
  EXPECT_EQ(cached, States({false, false, true, false, false, false, false, false}));
  EXPECT_EQ(log.Singles().size(), 8u);
  EXPECT_EQ(log.Lists().size(), 1u);
  log.Unsubscribe(*Device, true);
}

TEST_F(TVeltoNotification, OtherCodesAndEmptyDataAreIgnored) {
  TEventLog log;
  log.Subscribe(*Device, true);
  DeliverFromModule(0x0C, Hex("04"));
  DeliverFromModule(0x0F, Hex("FF"));
  DeliverFromModule(0x0D, {});
  TVeltoIOArray cached;
  EXPECT_EQ(Device->GetCachedInputs(cached), 0);
  EXPECT_TRUE(cached.empty());
  EXPECT_TRUE(log.Singles().empty());
  log.Unsubscribe(*Device, true);
}

TEST_F(TVeltoNotification, OutputsAreNotTouched) {
  TEventLog log;
  log.Subscribe(*Device, false);
  DeliverFromModule(0x0D, Hex("FF"));
  TVeltoIOArray cached;
  EXPECT_EQ(Device->GetCachedOutputs(cached), 0);
  EXPECT_TRUE(log.Singles().empty());
  log.Unsubscribe(*Device, false);
}

TEST_F(TVeltoNotification, SimulatedInputChangeArrivesAsNotification) {
  TSimConfig config;
  config.Notify = true;
  UseSimulator(config);
  ASSERT_TRUE(Identify());
  TEventLog log;
  log.Subscribe(*Device, true);
  ASSERT_TRUE(Sim->SetInput(5, true));
  Transport->Deliver(Sim->TakeBytes());
  bool state = false;
  ASSERT_TRUE(Device->GetCachedInput(5, state));
  EXPECT_TRUE(state);
  TVeltoIOArray cached;
  EXPECT_EQ(Device->GetCachedInputs(cached), 8);
  EXPECT_EQ(log.Lists().size(), 1u);
  EXPECT_EQ(log.Singles().size(), 8u);
  log.Unsubscribe(*Device, true);
}

// --- Refresh ------------------------------------------------------------------------

class TVeltoRefresh : public VeltoFixture {};

TEST_F(TVeltoRefresh, AllGroupsOfAKnownModule) {
  TSimConfig config;
  config.Inputs = {false, true};
  config.Outputs = {true};
  config.Counters = {5, 6};
  UseSimulator(config);
  ASSERT_TRUE(Device->WriteCounterConfig(2, true, false));
  ASSERT_TRUE(Device->RefreshAll(true, true, true, true));
  TVeltoIOArray cached;
  EXPECT_EQ(Device->GetCachedInputs(cached), 8);
  EXPECT_TRUE(cached[1]);
  EXPECT_EQ(Device->GetCachedOutputs(cached), 4);
  EXPECT_TRUE(cached[0]);
  std::uint32_t value = 0;
  ASSERT_TRUE(Device->GetCachedCounter(2, value));
  EXPECT_EQ(value, 6u);
  bool first = false;
  bool second = true;
  ASSERT_TRUE(Device->GetCachedCounterConfig(2, first, second));
  EXPECT_TRUE(first);
  EXPECT_FALSE(second);
  ASSERT_TRUE(Device->GetCachedCounterConfig(8, first, second));
  EXPECT_FALSE(first);
  // The configurations are asked for all at once, with index 0.
  ASSERT_EQ(RequestsOf(velto::kInstReadCounterConfig).size(), 1u);
  EXPECT_EQ(RequestsOf(velto::kInstReadCounterConfig)[0].Data, Hex("00"));
  EXPECT_EQ(RequestsOf(velto::kInstReadCounters)[0].Data, Hex("00"));  // counters are not cleared
}

TEST_F(TVeltoRefresh, OnlyChosenGroupsAreAsked) {
  UseSimulator();
  ASSERT_TRUE(Device->RefreshAll(false, true, false, false));
  EXPECT_EQ(Sim->RequestCount(0x31), 1);
  EXPECT_EQ(Sim->RequestCount(0x30), 0);
  EXPECT_EQ(Sim->RequestCount(0x60), 0);
  EXPECT_EQ(Sim->RequestCount(0x6B), 0);
}

TEST_F(TVeltoRefresh, FailsWhenTheModuleCannotBeIdentified) {
  UseScript();
  ScriptIdentification("MODULE X;V0.0.0;F97");
  EXPECT_FALSE(Device->RefreshAll(true, true, false, false));
  EXPECT_TRUE(RequestsOf(velto::kInstReadInputs).empty());
  bool outputs = true;
  bool inputs = false;
  bool counters = true;
  bool configs = true;
  EXPECT_FALSE(Device->RefreshSelected(outputs, inputs, counters, configs));
  EXPECT_FALSE(outputs);
  EXPECT_FALSE(counters);
  EXPECT_FALSE(configs);
}

TEST_F(TVeltoRefresh, SelectedFlagsTellWhichGroupsSucceeded) {
  UseScript();
  ScriptIdentification("VELTO ETH 8/4;V1.0.0;F97");
  Script(velto::kInstReadOutputs, {0, Hex("01"), false});
  Script(velto::kInstReadInputs, {0, {}, false});  // no states: fails
  Script(velto::kInstReadCounters, {0, Hex("08 01 02 03 04 05 06 07 08"), false});
  Script(velto::kInstReadCounterConfig, {0, Hex("01 02"), false});  // configurations 3..8 missing
  bool outputs = true;
  bool inputs = true;
  bool counters = true;
  bool configs = true;
  EXPECT_FALSE(Device->RefreshSelected(outputs, inputs, counters, configs));
  EXPECT_TRUE(outputs);
  EXPECT_FALSE(inputs);
  EXPECT_TRUE(counters);
  EXPECT_FALSE(configs);
  bool first = true;
  bool second = true;
  ASSERT_TRUE(Device->GetCachedCounterConfig(2, first, second));  // found ones are kept
  EXPECT_FALSE(first);
  EXPECT_FALSE(Device->GetCachedCounterConfig(3, first, second));
}

TEST_F(TVeltoRefresh, GroupsWithNothingInThemSucceedUnasked) {
  UseScript();
  ScriptIdentification("Velto;V0094.01;F97");  // no counters
  Script(velto::kInstReadOutputs, {0, Hex("00"), false});
  bool outputs = false;
  bool inputs = false;
  bool counters = true;
  bool configs = true;
  EXPECT_TRUE(Device->RefreshSelected(outputs, inputs, counters, configs));
  EXPECT_TRUE(counters);
  EXPECT_TRUE(configs);
  EXPECT_FALSE(outputs);  // not chosen: left as it was
  EXPECT_TRUE(RequestsOf(velto::kInstReadCounters).empty());
  EXPECT_TRUE(RequestsOf(velto::kInstReadCounterConfig).empty());
}

}  // namespace
