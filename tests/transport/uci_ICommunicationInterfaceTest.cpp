#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "framework/uTick.h"
#include "transport/uci_ICommunicationInterface.h"
#include "support/uTickShift.h"

namespace {

// A transport in memory: bytes handed to Feed become readable once their
// release tick has come, so exchanges with a delayed answer can be played.
class TScriptedTransport : public TCommunicationInterface {
 public:
  explicit TScriptedTransport(const std::string& text = std::string()) {
    if (!text.empty()) SetConnectionString(text);
  }
  TScriptedTransport(TXmlNode node, TIntf<IInterface> owner) {
    LoadFromNode(std::move(node), true, true);
    SetOwner(std::move(owner));
  }

  bool GetActive() override { return FActive; }
  bool Open() override {
    ++Opens;
    TCommunicationInterface::Open();
    FActive = true;
    AnnounceOpened();
    return true;
  }
  bool Close(bool /*force*/) override {
    ++Closes;
    FActive = false;
    AnnounceClosed();
    return true;
  }
  std::int32_t Write(const TBytes& data) override {
    std::lock_guard<TTransportMutex> guard(TransportLock());
    Written.push_back(data);
    return static_cast<std::int32_t>(data.size());
  }
  void Read(TBytes& data) override {
    std::lock_guard<TTransportMutex> guard(TransportLock());
    data.clear();
    std::uint32_t now = GetTickCount32();
    while (!FPending.empty() && !TickAfter(FPending.front().first, now)) {
      data.insert(data.end(), FPending.front().second.begin(), FPending.front().second.end());
      FPending.pop_front();
    }
    if (!data.empty()) Trace(kTraceReceived, data);
  }
  std::int32_t GetReceivedCount() override {
    std::lock_guard<TTransportMutex> guard(TransportLock());
    std::uint32_t now = GetTickCount32();
    std::int32_t count = 0;
    for (const auto& [tick, bytes] : FPending)
      if (!TickAfter(tick, now)) count += static_cast<std::int32_t>(bytes.size());
    return count;
  }
  std::string GetDescription() override { return "MEM"; }
  std::string GetConnectionString() override { return FText; }
  void SetConnectionString(const std::string& text) override {
    FText = text;
    TCommunicationInterface::SetConnectionString(text);
  }

  // Bytes that become readable `delayMs` from now.
  void Feed(const TBytes& bytes, std::uint32_t delayMs = 0) {
    std::lock_guard<TTransportMutex> guard(TransportLock());
    FPending.emplace_back(GetTickCount32() + delayMs, bytes);
  }
  void SetByteTime(double ms) { FByteTime = ms; }
  void CallTrace(std::int32_t direction, const TBytes& data) { Trace(direction, data); }
  void CallAnnounceDataReceived() { AnnounceDataReceived(); }
  void CallAnnounceOpened() { AnnounceOpened(); }
  void CallAnnounceLineChanged(std::int32_t line, bool state) { AnnounceLineChanged(line, state); }

  int Opens = 0;
  int Closes = 0;
  std::vector<TBytes> Written;

 private:
  bool FActive = false;
  std::string FText;
  std::deque<std::pair<std::uint32_t, TBytes>> FPending;
};

// Records the order and senders of calls it receives.
struct TRecorder {
  std::vector<std::string> Calls;
  std::vector<const void*> Senders;
  bool ThrowInHandler = false;

  void Note(const char* what, const TIntf<ICommunicationInterface>& sender) {
    Calls.emplace_back(what);
    Senders.push_back(ObjectOf(sender.get()));
  }
  void OnHandler(TIntf<ICommunicationInterface> sender) {
    Note("handler", sender);
    if (ThrowInHandler) throw std::runtime_error("subscriber failed");
  }
  void OnEventer(TIntf<ICommunicationInterface> sender) { Note("eventer", sender); }
  void OnLineHandler(TIntf<ICommunicationInterface> sender, std::int32_t line, bool state) {
    Note("handler", sender);
    Lines.emplace_back(line, state);
  }
  void OnLineEventer(TIntf<ICommunicationInterface> sender, std::int32_t line, bool state) {
    Note("eventer", sender);
    Lines.emplace_back(line, state);
  }
  std::vector<std::pair<std::int32_t, bool>> Lines;
};

TCiNotifyHandler HandlerOf(TRecorder& r) {
  return TCiNotifyHandler::Of<&TRecorder::OnHandler>(&r);
}
TCiNotifyHandler EventerOf(TRecorder& r) {
  return TCiNotifyHandler::Of<&TRecorder::OnEventer>(&r);
}

const void* IdentityOf(const TIntf<TScriptedTransport>& t) {
  return ObjectOf(static_cast<ICommunicationInterface*>(t.get()));
}

// ---------------------------------------------------------------------------

TEST(CommunicationInterfaceAnnouncements, DataReceivedCallsHandlerBeforeEventerWithSelfAsSender) {
  auto t = Make<TScriptedTransport>();
  TRecorder r;
  t->DataReceived().AddHandler(EventerOf(r));
  t->SetOnDataReceived(HandlerOf(r));
  t->CallAnnounceDataReceived();
  ASSERT_EQ(r.Calls, (std::vector<std::string>{"handler", "eventer"}));
  EXPECT_EQ(r.Senders[0], IdentityOf(t));
  EXPECT_EQ(r.Senders[1], IdentityOf(t));
  t->DataReceived().RemoveHandler(EventerOf(r));
}

TEST(CommunicationInterfaceAnnouncements, ThrowingDataHandlerSkipsEventerAndIsSwallowed) {
  auto t = Make<TScriptedTransport>();
  TRecorder r;
  r.ThrowInHandler = true;
  t->DataReceived().AddHandler(EventerOf(r));
  t->SetOnDataReceived(HandlerOf(r));
  EXPECT_NO_THROW(t->CallAnnounceDataReceived());
  EXPECT_EQ(r.Calls, (std::vector<std::string>{"handler"}));
  t->DataReceived().RemoveHandler(EventerOf(r));
}

TEST(CommunicationInterfaceAnnouncements, OpenedAndClosedFireEventerBeforeHandler) {
  auto t = Make<TScriptedTransport>();
  TRecorder opened, closed;
  t->Opened().AddHandler(EventerOf(opened));
  t->SetOnOpened(HandlerOf(opened));
  t->Closed().AddHandler(EventerOf(closed));
  t->SetOnClosed(HandlerOf(closed));
  ASSERT_TRUE(t->Open());
  ASSERT_TRUE(t->Close(false));
  EXPECT_EQ(opened.Calls, (std::vector<std::string>{"eventer", "handler"}));
  EXPECT_EQ(closed.Calls, (std::vector<std::string>{"eventer", "handler"}));
  EXPECT_EQ(opened.Senders[1], IdentityOf(t));
  t->Opened().RemoveHandler(EventerOf(opened));
  t->Closed().RemoveHandler(EventerOf(closed));
}

TEST(CommunicationInterfaceAnnouncements, ThrowingOpenedHandlerIsSwallowed) {
  auto t = Make<TScriptedTransport>();
  TRecorder r;
  r.ThrowInHandler = true;
  t->SetOnOpened(HandlerOf(r));
  EXPECT_NO_THROW(t->CallAnnounceOpened());
  EXPECT_EQ(r.Calls.size(), 1u);
}

TEST(CommunicationInterfaceAnnouncements, LineChangeCarriesLineAndState) {
  auto t = Make<TScriptedTransport>();
  TRecorder r;
  using TLine = TCiLineChangeHandler;
  t->LineChanged().AddHandler(TLine::Of<&TRecorder::OnLineEventer>(&r));
  t->SetOnLineChanged(TLine::Of<&TRecorder::OnLineHandler>(&r));
  t->CallAnnounceLineChanged(4, true);
  EXPECT_EQ(r.Calls, (std::vector<std::string>{"eventer", "handler"}));
  EXPECT_EQ(r.Lines, (std::vector<std::pair<std::int32_t, bool>>{{4, true}, {4, true}}));
  t->LineChanged().RemoveHandler(TLine::Of<&TRecorder::OnLineEventer>(&r));
}

TEST(CommunicationInterfaceAnnouncements, SettingChangeOfConnectionStringFiresSettingsChanged) {
  auto t = Make<TScriptedTransport>();
  TRecorder r;
  t->SettingsChanged().AddHandler(EventerOf(r));
  t->SetConnectionString("a=1");
  EXPECT_EQ(r.Calls, (std::vector<std::string>{"eventer"}));
  t->SettingsChanged().RemoveHandler(EventerOf(r));
}

TEST(CommunicationInterfaceAnnouncements, EachHandlerGetterReturnsWhatItsSetterStored) {
  auto t = Make<TScriptedTransport>();
  TRecorder a, b, c, d;
  t->SetOnDataReceived(HandlerOf(a));
  t->SetOnOpened(HandlerOf(b));
  t->SetOnClosed(HandlerOf(c));
  auto line = TCiLineChangeHandler::Of<&TRecorder::OnLineHandler>(&d);
  t->SetOnLineChanged(line);
  EXPECT_EQ(t->GetOnDataReceived(), HandlerOf(a));
  EXPECT_EQ(t->GetOnOpened(), HandlerOf(b));
  EXPECT_EQ(t->GetOnClosed(), HandlerOf(c));
  EXPECT_EQ(t->GetOnLineChanged(), line);
  t->SetOnDataReceived(HandlerOf(d));  // setting replaces
  EXPECT_EQ(t->GetOnDataReceived(), HandlerOf(d));
}

// ---------------------------------------------------------------------------

TEST(CommunicationInterfaceState, SetActiveOnlyActsOnAChange) {
  auto t = Make<TScriptedTransport>();
  EXPECT_TRUE(t->SetActive(false));
  EXPECT_EQ(t->Closes, 0);
  EXPECT_TRUE(t->SetActive(true));
  EXPECT_EQ(t->Opens, 1);
  EXPECT_TRUE(t->SetActive(true));
  EXPECT_EQ(t->Opens, 1);
  EXPECT_TRUE(t->SetActive(false));
  EXPECT_EQ(t->Closes, 1);
  EXPECT_FALSE(t->GetActive());
}

TEST(CommunicationInterfaceState, ByteTimeIsZeroUntilBaseOpenSetsTen) {
  auto t = Make<TScriptedTransport>();
  EXPECT_EQ(t->GetByteTime(), 0.0);
  t->Open();
  EXPECT_EQ(t->GetByteTime(), 10.0);
}

TEST(CommunicationInterfaceState, CaptionIsDescriptionAndBaseDefaults) {
  auto t = Make<TScriptedTransport>();
  EXPECT_EQ(t->GetCaption(), "MEM");
  EXPECT_FALSE(t->HasSetupDialog());
  EXPECT_FALSE(t->ShowSetupDialog());
  t->SetPermitted(true);
  EXPECT_TRUE(t->GetPermitted());
  t->SetPermitted(false);
  EXPECT_FALSE(t->GetPermitted());
}

TEST(CommunicationInterfaceState, OffersBothTransportInterfacesAndTheNodedOnes) {
  auto t = Make<TScriptedTransport>();
  IInterface* base = static_cast<ICommunicationInterface*>(t.get());
  EXPECT_TRUE(Supports<ICommunicationInterface>(base));
  EXPECT_TRUE(Supports<ICommunicationInterfaceCore>(base));
  EXPECT_TRUE(Supports<INodedInterface>(base));
}

// ---------------------------------------------------------------------------

TEST(CommunicationInterfaceSettingsNode,
     ConnectionStringAttributeConfiguresOnLoadAndIsWrittenBack) {
  pugi::xml_document doc;
  pugi::xml_node element = doc.append_child("transport");
  element.append_attribute("connectionstring") = "port=3";
  {
    auto t = Make<TScriptedTransport>(MakeXmlNode(element), nullptr);
    EXPECT_EQ(t->GetConnectionString(), "port=3");
    t->SetConnectionString("port=7");
  }
  EXPECT_STREQ(element.attribute("connectionstring").value(), "port=7");
}

TEST(CommunicationInterfaceSettingsNode, NodeWithoutAttributeLeavesConnectionStringAlone) {
  pugi::xml_document doc;
  pugi::xml_node element = doc.append_child("transport");
  auto t = Make<TScriptedTransport>("x=1");
  t->LoadFromNode(MakeXmlNode(element), true, true);
  EXPECT_EQ(t->GetConnectionString(), "x=1");
  t->SaveToNode();
  EXPECT_STREQ(element.attribute("connectionstring").value(), "x=1");
}

TEST(CommunicationInterfaceSettingsNode, BaseConstructorWithNodeAttachesToOwner) {
  pugi::xml_document doc;
  pugi::xml_node element = doc.append_child("transport");
  element.append_attribute("connectionstring") = "y=2";
  auto owner = Make<TNodedInterface>();
  auto t = Make<TScriptedTransport>(MakeXmlNode(element), TIntf<IInterface>(owner.get()));
  EXPECT_EQ(owner->GetChildCount(), 1);
  EXPECT_EQ(t->GetConnectionString(), "y=2");
  owner->DetachChildren();
  EXPECT_EQ(owner->GetChildCount(), 0);
}

// ---------------------------------------------------------------------------

TEST(CommunicationInterfaceDeadline, FirstDeadlineAllowsForRequestTransferTime) {
  // 10 bytes, 1 ms per character, 100 ms: 100 + (10 + 5) * 1 = 115 ms after the write.
  EXPECT_EQ(TCommunicationInterface::FirstDeadline(1000, 10, 100, 1.0), 1115u);
  EXPECT_EQ(TCommunicationInterface::FirstDeadline(1000, 10, 100, 0.0), 1100u);
  // Fractions of a millisecond round up: 15 * 0.1 = 1.5 -> 2.
  EXPECT_EQ(TCommunicationInterface::FirstDeadline(1000, 10, 100, 0.1), 1102u);
  // A negative time-out counts as none.
  EXPECT_EQ(TCommunicationInterface::FirstDeadline(1000, 0, -5, 0.0), 1000u);
}

TEST(CommunicationInterfaceDeadline, SilenceDeadlineIsTenCharactersPlusFifty) {
  EXPECT_EQ(TCommunicationInterface::SilenceDeadline(500, 0.0), 550u);
  EXPECT_EQ(TCommunicationInterface::SilenceDeadline(500, 1.0), 560u);
  EXPECT_EQ(TCommunicationInterface::SilenceDeadline(500, 10000.0 / 9600.0), 561u);
}

TEST(CommunicationInterfaceDeadline, DeadlinesSurviveTheTickWrap) {
  std::uint32_t nearWrap = 0xFFFFFFF0u;
  std::uint32_t d = TCommunicationInterface::FirstDeadline(nearWrap, 10, 100, 1.0);
  EXPECT_EQ(d, 115u - 16u);
  EXPECT_TRUE(TickAfter(d, nearWrap));
}

TEST(CommunicationInterfaceExchange, ClosedTransportReturnsEmptyWithoutWriting) {
  auto t = Make<TScriptedTransport>();
  TBytes response{1, 2};
  t->SendAndReceive(TBytes{9}, 100, response, nullptr);
  EXPECT_TRUE(response.empty());
  EXPECT_TRUE(t->Written.empty());
}

TEST(CommunicationInterfaceExchange, SilentPeerEndsAtFirstDeadlineNotBefore) {
  auto t = Make<TScriptedTransport>();
  t->Open();
  t->SetByteTime(1.0);
  TBytes request(10, 0x55);
  TBytes response;
  std::uint32_t start = GetTickCount32();
  t->SendAndReceive(request, 100, response, nullptr);
  std::uint32_t elapsed = GetTickCount32() - start;
  EXPECT_TRUE(response.empty());
  ASSERT_EQ(t->Written.size(), 1u);
  EXPECT_EQ(t->Written[0], request);
  EXPECT_GE(elapsed, 115u);
}

TEST(CommunicationInterfaceExchange, CollectsAnswerArrivingInPartsAndWaitsForSilence) {
  auto t = Make<TScriptedTransport>();
  t->Open();
  t->SetByteTime(0.0);
  t->Feed(TBytes{1, 2}, 10);
  t->Feed(TBytes{3}, 40);  // within 50 ms of silence after the first part
  TBytes response;
  std::uint32_t start = GetTickCount32();
  t->SendAndReceive(TBytes{0x10}, 20, response, nullptr);
  std::uint32_t elapsed = GetTickCount32() - start;
  EXPECT_EQ(response, (TBytes{1, 2, 3}));
  // The last part came at 40 ms; the silence after it lasts at least 50 ms.
  EXPECT_GE(elapsed, 90u);
}

TEST(CommunicationInterfaceExchange, CheckEndsExchangeWhenNothingMoreIsExpected) {
  auto t = Make<TScriptedTransport>();
  t->Open();
  t->Feed(TBytes{1, 2, 3}, 5);
  t->Feed(TBytes{4, 5}, 400);
  TBytes response;
  t->SendAndReceive(TBytes{0x10}, 1000, response, [](const TBytes& r) { return r.size() < 3; });
  EXPECT_EQ(response, (TBytes{1, 2, 3}));
  // The late part was left on the transport for whoever reads next.
  ASSERT_TRUE(t->WaitReceived(5000));
  TBytes rest;
  t->Read(rest);
  EXPECT_EQ(rest, (TBytes{4, 5}));
}

// A peer that never falls silent: every look finds `Chunk` more bytes, and
// each read moves the library's tick `StepMs` on, until `Total` bytes went.
class TStreamingTransport : public TCommunicationInterface {
 public:
  TStreamingTransport(TTickShift& tick, std::size_t chunk, std::uint32_t stepMs, std::size_t total)
      : FTick(tick), FChunk(chunk), FStepMs(stepMs), FLeft(total) {}

  bool GetActive() override { return true; }
  std::int32_t Write(const TBytes& data) override { return static_cast<std::int32_t>(data.size()); }
  std::int32_t GetReceivedCount() override {
    return static_cast<std::int32_t>(std::min(FChunk, FLeft));
  }
  void Read(TBytes& data) override {
    data.assign(std::min(FChunk, FLeft), 0x2A);
    FLeft -= data.size();
    FTick.Advance(FStepMs);
  }
  std::string GetDescription() override { return "STREAM"; }
  void SetByteTime(double ms) { FByteTime = ms; }
  std::size_t Left() const { return FLeft; }

 private:
  TTickShift& FTick;
  std::size_t FChunk;
  std::uint32_t FStepMs;
  std::size_t FLeft;
};

struct TStreamCase {
  const char* Name;
  std::size_t Chunk;
  std::uint32_t StepMs;
  std::size_t Total;
  double ByteTime;
};

class CommunicationInterfaceStream : public ::testing::TestWithParam<TStreamCase> {};

// The response holds at most kResponseCap bytes, and the exchange ends by
// the time a full response takes on the line after its first deadline.
TEST_P(CommunicationInterfaceStream, NeverSilentPeerHoldsNeitherMemoryNorTheCaller) {
  const TStreamCase c = GetParam();
  TTickShift tick;
  auto t = Make<TStreamingTransport>(tick, c.Chunk, c.StepMs, c.Total);
  t->SetByteTime(c.ByteTime);
  constexpr std::int32_t kTimeout = 100;
  TBytes response;
  const std::uint32_t start = GetTickCount32();
  t->SendAndReceive(TBytes(10, 0x55), kTimeout, response, nullptr);
  const std::uint32_t took = GetTickCount32() - start;
  EXPECT_LE(response.size(), TCommunicationInterface::kResponseCap);
  EXPECT_GT(t->Left(), 0u) << "the exchange ran until the peer stopped";
  const std::uint32_t first = TCommunicationInterface::FirstDeadline(0, 10, kTimeout, c.ByteTime);
  // One step of the stream and the loop's own sleeps on a loaded machine.
  EXPECT_LE(took, TCommunicationInterface::OverrunLimit(first, c.ByteTime) + c.StepMs + 1000u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommunicationInterfaceStream,
    ::testing::Values(
        // 4 MiB as fast as the reads go.
        TStreamCase{"Flood", 0x1000, 1, 4u << 20, 0.0},
        // A byte every 40 ms: never 50 ms of silence.
        TStreamCase{"TrickleWithoutWireTime", 1, 40, 4000, 0.0},
        // 57,600 baud, a byte every 50 ms: a full response would take 23 s.
        TStreamCase{"TrickleOnALine", 1, 50, 2000, 10000.0 / 57600.0}),
    [](const ::testing::TestParamInfo<TStreamCase>& info) { return info.param.Name; });

// ---------------------------------------------------------------------------

TEST(CommunicationInterfaceBuffered, ReadAllEmptiesBuffer) {
  auto t = Make<TScriptedTransport>();
  t->Feed(TBytes{1, 2, 3, 4});
  EXPECT_EQ(t->GetBufferedCount(false), 0);
  EXPECT_EQ(t->GetBufferedCount(true), 4);
  TBytes data;
  t->ReadBuffered(-1, data);
  EXPECT_EQ(data, (TBytes{1, 2, 3, 4}));
  EXPECT_EQ(t->GetBufferedCount(true), 0);
}

TEST(CommunicationInterfaceBuffered, ZeroCountReturnsNothingAndKeepsBuffer) {
  auto t = Make<TScriptedTransport>();
  t->Feed(TBytes{1, 2, 3});
  TBytes data{9};
  t->ReadBuffered(0, data);
  EXPECT_TRUE(data.empty());
  EXPECT_EQ(t->GetBufferedCount(false), 3);
}

TEST(CommunicationInterfaceBuffered, PartialReadTakesFrontAndPullsNewBytes) {
  auto t = Make<TScriptedTransport>();
  t->Feed(TBytes{1, 2, 3});
  TBytes data;
  t->ReadBuffered(2, data);
  EXPECT_EQ(data, (TBytes{1, 2}));
  t->Feed(TBytes{4, 5});
  t->ReadBuffered(2, data);  // pulls 4 5 behind the remaining 3
  EXPECT_EQ(data, (TBytes{3, 4}));
  t->ReadBuffered(10, data);  // more than there is: everything
  EXPECT_EQ(data, (TBytes{5}));
}

TEST(CommunicationInterfaceBuffered, PeekLeavesBufferUnchanged) {
  auto t = Make<TScriptedTransport>();
  t->Feed(TBytes{7, 8, 9, 10});
  TBytes first, second;
  t->PeekBuffered(3, first);
  t->PeekBuffered(3, second);
  EXPECT_EQ(first, (TBytes{7, 8, 9}));
  EXPECT_EQ(second, first);
  EXPECT_EQ(t->GetBufferedCount(false), 4);
}

// ---------------------------------------------------------------------------

struct TTraceLog {
  std::vector<std::pair<std::int32_t, TBytes>> Blocks;
  std::vector<const void*> Senders;
  bool Throw = false;
  void OnTrace(TIntf<ICommunicationInterface> sender, const TBytes& data, std::int32_t direction) {
    Blocks.emplace_back(direction, data);
    Senders.push_back(ObjectOf(sender.get()));
    if (Throw) throw std::runtime_error("trace failed");
  }
};

class CommunicationInterfaceTrace : public ::testing::Test {
 protected:
  void SetUp() override { FSaved = GetTraceHandler(); }
  void TearDown() override { SetTraceHandler(FSaved); }
  TTraceHandler FSaved;
};

TEST_F(CommunicationInterfaceTrace, TraceReachesProcessHandlerWithSenderAndDirection) {
  TTraceLog log;
  SetTraceHandler(TTraceHandler::Of<&TTraceLog::OnTrace>(&log));
  auto t = Make<TScriptedTransport>();
  t->Feed(TBytes{0xAA});
  TBytes data;
  t->Read(data);
  t->CallTrace(kTraceSent, TBytes{1, 2});
  ASSERT_EQ(log.Blocks.size(), 2u);
  EXPECT_EQ(log.Blocks[0], (std::pair<std::int32_t, TBytes>{2, TBytes{0xAA}}));
  EXPECT_EQ(log.Blocks[1], (std::pair<std::int32_t, TBytes>{1, TBytes{1, 2}}));
  EXPECT_EQ(log.Senders[0], IdentityOf(t));
}

TEST_F(CommunicationInterfaceTrace, FailingTraceHandlerIsSwallowed) {
  TTraceLog log;
  log.Throw = true;
  SetTraceHandler(TTraceHandler::Of<&TTraceLog::OnTrace>(&log));
  auto t = Make<TScriptedTransport>();
  EXPECT_NO_THROW(t->CallTrace(kTraceSent, TBytes{1}));
  EXPECT_EQ(log.Blocks.size(), 1u);
}

TEST_F(CommunicationInterfaceTrace, NoHandlerMeansNothingIsCalled) {
  SetTraceHandler(TTraceHandler());
  auto t = Make<TScriptedTransport>();
  EXPECT_NO_THROW(t->CallTrace(kTraceSent, TBytes{1}));
  EXPECT_FALSE(GetTraceHandler());
}

TEST(TraceSwitch, RecognisesBothSpellingsAfterOnePrefixInAnyCase) {
  EXPECT_TRUE(IsTraceSwitch("DST"));
  EXPECT_TRUE(IsTraceSwitch("/dst"));
  EXPECT_TRUE(IsTraceSwitch("-Std"));
  EXPECT_TRUE(IsTraceSwitch("  /DST  "));
  EXPECT_FALSE(IsTraceSwitch("//DST"));
  EXPECT_FALSE(IsTraceSwitch("/DSTX"));
  EXPECT_FALSE(IsTraceSwitch("/Address=1"));
  EXPECT_FALSE(IsTraceSwitch(""));
  EXPECT_FALSE(IsTraceSwitch("/"));
}

// ---------------------------------------------------------------------------

TEST(CommunicationInterfaceLockThreaded, TryLockFailsWhileAnotherThreadHoldsTheLock) {
  auto t = Make<TScriptedTransport>();
  std::atomic<bool> held{false}, release{false};
  std::thread holder([&] {
    TTransportLock lock(*t);
    held = true;
    while (!release) SleepMs(1);
  });
  while (!held) SleepMs(1);
  bool whileHeld = t->TryLock();
  if (whileHeld) t->Unlock();
  release = true;
  holder.join();
  EXPECT_FALSE(whileHeld);
  ASSERT_TRUE(t->TryLock());
  EXPECT_TRUE(t->TryLock());  // recursive on the same thread
  t->Unlock();
  t->Unlock();
}

// A subscriber that clears its handler (a stack being unbound) must not be
// called afterwards by a receive thread that had already picked it up.
struct TSlowSubscriber {
  std::atomic<bool> inside{false};
  std::atomic<bool> finished{false};
  void OnData(TIntf<ICommunicationInterface>) {
    inside = true;
    SleepMs(100);
    finished = true;
  }
};

TEST(CommunicationInterfaceHandlerThreaded, ClearingTheDataHandlerWaitsForARunningCall) {
  auto t = Make<TScriptedTransport>();
  TSlowSubscriber subscriber;
  t->SetOnDataReceived(TCiNotifyHandler::Of<&TSlowSubscriber::OnData>(&subscriber));
  std::thread receiver([&] { t->CallAnnounceDataReceived(); });
  while (!subscriber.inside) SleepMs(1);
  t->SetOnDataReceived({});
  const bool finishedWhenCleared = subscriber.finished;
  receiver.join();
  EXPECT_TRUE(finishedWhenCleared);
}

struct TSelfClearingSubscriber {
  TScriptedTransport* transport = nullptr;
  int calls = 0;
  void OnData(TIntf<ICommunicationInterface>) {
    ++calls;
    transport->SetOnDataReceived({});  // on the announcing thread itself: no wait
  }
};

TEST(CommunicationInterfaceAnnouncements, DataHandlerMayClearItself) {
  auto t = Make<TScriptedTransport>();
  TSelfClearingSubscriber subscriber{t.get()};
  t->SetOnDataReceived(TCiNotifyHandler::Of<&TSelfClearingSubscriber::OnData>(&subscriber));
  t->CallAnnounceDataReceived();
  t->CallAnnounceDataReceived();
  EXPECT_EQ(subscriber.calls, 1);
}

TEST(CommunicationInterfaceWaitThreaded, WaitReceivedWakesOnArrivalFromAnotherThread) {
  auto t = Make<TScriptedTransport>();
  std::thread feeder([&] {
    SleepMs(20);
    t->Feed(TBytes{1});
    t->CallAnnounceDataReceived();
  });
  bool arrived = t->WaitReceived(5000);
  feeder.join();
  EXPECT_TRUE(arrived);
  EXPECT_EQ(t->GetReceivedCount(), 1);
}

TEST(CommunicationInterfaceWait, WaitReceivedReturnsAtOnceWhenBytesWaitAndFalseOnTimeout) {
  auto t = Make<TScriptedTransport>();
  std::uint32_t start = GetTickCount32();
  EXPECT_FALSE(t->WaitReceived(30));
  EXPECT_GE(GetTickCount32() - start, 30u);
  t->Feed(TBytes{1});
  EXPECT_TRUE(t->WaitReceived(0));
}

TEST(CommunicationInterfaceWait, WaitReceivedSeesBytesOfATransportThatDoesNotAnnounce) {
  auto t = Make<TScriptedTransport>();
  t->Feed(TBytes{1}, 15);  // readable later, never announced
  EXPECT_TRUE(t->WaitReceived(5000));
}

}  // namespace
