// The transport contract written once (TPortLink), driven through a port
// whose every answer the test sets: lost lines, waits on the port's
// readiness, and announcements made after the lock is let go, also to a
// handler that drops the last reference to the transport.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "framework/uTick.h"
#include "support/uTickShift.h"
#include "transport/uPortLink.h"

namespace {

constexpr std::uint32_t kHangGuardMs = 10000;

// A port in memory. Bytes come with Arrive (from any thread); Lose makes the
// line go; the next Read, Write or count then reports the loss.
class TScriptedPort final : public IBytePort {
 public:
  TPortResult Open() override {
    std::lock_guard<std::mutex> guard(FLock);
    ++Opens;
    if (!OpenFailure.empty()) return TPortResult::Failed(ENOENT, OpenFailure);
    FOpen = true;
    FLost = false;
    FLostAtOnce = false;
    return TPortResult::Done();
  }
  bool Close() override {
    std::lock_guard<std::mutex> guard(FLock);
    ++Closes;
    FOpen = false;
    FWake.notify_all();
    return true;
  }
  TPortResult State() override {
    std::lock_guard<std::mutex> guard(FLock);
    if (!FOpen) return TPortResult::Failed(0, "closed");
    return FLostAtOnce ? LostResult(0) : TPortResult::Done();
  }
  TPortResult Write(const TBytes& data) override {
    std::lock_guard<std::mutex> guard(FLock);
    if (FLost) return LostResult(0);
    Written.push_back(data);
    return TPortResult::Done(data.size());
  }
  TPortResult Read(TBytes& data) override {
    std::lock_guard<std::mutex> guard(FLock);
    data = FWaiting;
    FWaiting.clear();
    return FLost ? LostResult(data.size()) : TPortResult::Done(data.size());
  }
  TPortResult BytesWaiting() override {
    std::lock_guard<std::mutex> guard(FLock);
    if (FWaiting.empty() && FLost) return LostResult(0);
    return TPortResult::Done(FWaiting.size());
  }
  TPortResult WaitReadable(std::uint32_t deadline) override {
    std::unique_lock<std::mutex> lock(FLock);
    ++Waits;
    FWaitStarted.notify_all();
    // Woken by an arrival, a loss or a close; the test moves the tick on
    // and wakes it to pass the deadline.
    FWake.wait(lock, [&] {
      return !FWaiting.empty() || FLost || !FOpen || TicksLeft(GetTickCount32(), deadline) == 0;
    });
    if (FLost) return LostResult(0);
    return TPortResult::Done(FWaiting.size());
  }

  void Arrive(const TBytes& bytes) {
    std::lock_guard<std::mutex> guard(FLock);
    FWaiting.insert(FWaiting.end(), bytes.begin(), bytes.end());
    FWake.notify_all();
  }
  // The line goes; with `atOnce` even the state says so (a port whose event
  // thread saw it), else only the next step finds it.
  void Lose(bool atOnce = false) {
    std::lock_guard<std::mutex> guard(FLock);
    FLost = true;
    FLostAtOnce = atOnce;
    FWake.notify_all();
  }
  void Wake() {
    std::lock_guard<std::mutex> guard(FLock);
    FWake.notify_all();
  }
  bool WaitUntilWaiting(int count) {
    std::unique_lock<std::mutex> lock(FLock);
    return FWaitStarted.wait_for(lock, std::chrono::milliseconds(kHangGuardMs),
                                 [&] { return Waits >= count; });
  }

  std::string OpenFailure;
  std::vector<TBytes> Written;
  int Opens = 0;
  int Closes = 0;
  int Waits = 0;

 private:
  TPortResult LostResult(std::size_t count) const {
    return TPortResult::LineLost(EIO, "/dev/ttyTEST: the device has gone", count);
  }

  std::mutex FLock;
  std::condition_variable FWake;
  std::condition_variable FWaitStarted;
  bool FOpen = false;
  bool FLost = false;
  bool FLostAtOnce = false;
  TBytes FWaiting;
};

// The smallest transport on a port: everything is forwarded to the link.
class TLinkedTransport : public TCommunicationInterface {
 public:
  bool GetActive() override { return FLink.Active(); }
  bool Open() override { return FLink.Open(); }
  bool Close(bool /*force*/) override { return FLink.Close(); }
  std::int32_t Write(const TBytes& data) override { return FLink.Write(data); }
  void Read(TBytes& data) override { FLink.Read(data); }
  std::int32_t GetReceivedCount() override { return FLink.ReceivedCount(); }
  bool WaitReceived(std::int32_t timeout) override { return FLink.WaitReceived(timeout); }
  std::string GetDescription() override { return "scripted"; }

  void Arrived(TPortLink::TArrivalLock how) { FLink.Arrived(how); }
  void CheckLine() { FLink.CheckLine(); }

  TScriptedPort Port;

 private:
  TPortLink FLink{*this, Port};
};

// Records each announcement and whether another thread could take the
// transport's lock while it ran (it must: announcements come after the
// lock is let go).
struct TWatcher {
  std::vector<std::string> Events;
  std::vector<bool> LockFree;
  TIntf<ICommunicationInterface> DropOnData;  // let go in the data handler

  void Note(const std::string& what, ICommunicationInterface& t) {
    Events.push_back(what);
    LockFree.push_back(std::async(std::launch::async, [&t] {
                         if (!t.TryLock()) return false;
                         t.Unlock();
                         return true;
                       }).get());
  }
  void Opened(TIntf<ICommunicationInterface> sender) { Note("opened", *sender); }
  void Closed(TIntf<ICommunicationInterface> sender) { Note("closed", *sender); }
  void Data(TIntf<ICommunicationInterface> sender) {
    Note("data", *sender);
    DropOnData = nullptr;
  }
  void Attach(ICommunicationInterface& t) {
    t.SetOnOpened(TCiNotifyHandler::Of<&TWatcher::Opened>(this));
    t.SetOnClosed(TCiNotifyHandler::Of<&TWatcher::Closed>(this));
    t.SetOnDataReceived(TCiNotifyHandler::Of<&TWatcher::Data>(this));
  }
};

class PortLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FWatcher.Events.clear();
    FWatcher.LockFree.clear();
    FTransport = Make<TLinkedTransport>();
    FRaw = dynamic_cast<TLinkedTransport*>(FTransport.get());
    ASSERT_NE(FRaw, nullptr);
    FWatcher.Attach(*FTransport);
  }

  // Whatever a test did, no announcement came while the lock was held.
  void TearDown() override {
    EXPECT_EQ(FWatcher.LockFree, std::vector<bool>(FWatcher.Events.size(), true));
  }

  TIntf<ICommunicationInterface> FTransport;
  TLinkedTransport* FRaw = nullptr;
  TWatcher FWatcher;
};

TEST_F(PortLinkTest, OpenAnnouncesAfterTheLockAndAFailedOpenKeepsThePortsReason) {
  FRaw->Port.OpenFailure = "/dev/ttyTEST: no such device";
  EXPECT_FALSE(FTransport->Open());
  EXPECT_EQ(FTransport->GetLastError(), "/dev/ttyTEST: no such device");
  EXPECT_TRUE(FWatcher.Events.empty());

  FRaw->Port.OpenFailure.clear();
  EXPECT_TRUE(FTransport->Open());
  EXPECT_TRUE(FTransport->Open());  // open already: nothing more
  EXPECT_EQ(FRaw->Port.Opens, 2);
  EXPECT_EQ(FTransport->GetLastError(), "");
  EXPECT_EQ(FWatcher.Events, (std::vector<std::string>{"opened"}));
  EXPECT_EQ(FWatcher.LockFree, (std::vector<bool>{true}));
}

// Each step that meets the loss closes the port once, keeps the port's
// reason and announces closed after the lock; the steps after it find a
// closed transport. Bytes read before the loss are handed over.
TEST_F(PortLinkTest, ALostLineIsClosedOnceWithItsReasonWhicheverStepMeetsIt) {
  struct TCase {
    const char* Step;
    std::function<void(ICommunicationInterface&)> Run;
  };
  const std::vector<TCase> cases{
      {"write",
       [](ICommunicationInterface& t) {
         EXPECT_EQ(t.Write(TBytes{1, 2}), 0);
       }},
      {"read",
       [](ICommunicationInterface& t) {
         TBytes data;
         t.Read(data);
         EXPECT_EQ(data, (TBytes{7, 8}));
       }},
      {"count", [](ICommunicationInterface& t) { EXPECT_EQ(t.GetReceivedCount(), 0); }},
      {"wait", [](ICommunicationInterface& t) { EXPECT_FALSE(t.WaitReceived(5000)); }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Step);
    SetUp();  // a fresh transport for each step
    ASSERT_TRUE(FTransport->Open());
    if (std::string(c.Step) == "read") FRaw->Port.Arrive({7, 8});
    FRaw->Port.Lose();
    c.Run(*FTransport);
    EXPECT_FALSE(FTransport->GetActive());
    EXPECT_EQ(FTransport->GetLastError(), "/dev/ttyTEST: the device has gone");
    EXPECT_EQ(FRaw->Port.Closes, 1);
    EXPECT_EQ(FWatcher.Events, (std::vector<std::string>{"opened", "closed"}));
    EXPECT_EQ(FWatcher.LockFree, (std::vector<bool>{true, true}));
    EXPECT_EQ(FTransport->Write(TBytes{1}), 0);
    EXPECT_FALSE(FTransport->Close(false));  // nothing left to close
    EXPECT_EQ(FRaw->Port.Closes, 1);
  }
}

TEST_F(PortLinkTest, ALossTheStateShowsIsClosedByGetActiveAndAReopenClearsTheReason) {
  ASSERT_TRUE(FTransport->Open());
  FRaw->Port.Lose(true);
  EXPECT_FALSE(FTransport->GetActive());
  EXPECT_EQ(FTransport->GetLastError(), "/dev/ttyTEST: the device has gone");
  EXPECT_TRUE(FTransport->Open());
  EXPECT_EQ(FTransport->GetLastError(), "");
  EXPECT_EQ(FWatcher.Events, (std::vector<std::string>{"opened", "closed", "opened"}));
}

// The wait sleeps in the port until the bytes come: one wait, no rounds.
TEST_F(PortLinkTest, WaitReceivedSleepsOnThePortUntilBytesArrive) {
  ASSERT_TRUE(FTransport->Open());
  auto waiting = std::async(std::launch::async, [&] { return FTransport->WaitReceived(60000); });
  ASSERT_TRUE(FRaw->Port.WaitUntilWaiting(1));
  FRaw->Port.Arrive({0x2A});
  EXPECT_TRUE(waiting.get());
  EXPECT_EQ(FRaw->Port.Waits, 1);
}

TEST_F(PortLinkTest, WaitReceivedEndsAtItsDeadlineAndAtAClose) {
  ASSERT_TRUE(FTransport->Open());
  {
    TTickShift tick;
    auto waiting = std::async(std::launch::async, [&] { return FTransport->WaitReceived(500); });
    ASSERT_TRUE(FRaw->Port.WaitUntilWaiting(1));
    tick.Advance(501);
    FRaw->Port.Wake();
    EXPECT_FALSE(waiting.get());
  }
  auto waiting = std::async(std::launch::async, [&] { return FTransport->WaitReceived(60000); });
  ASSERT_TRUE(FRaw->Port.WaitUntilWaiting(2));
  EXPECT_TRUE(FTransport->Close(false));
  EXPECT_FALSE(waiting.get());
  EXPECT_FALSE(FTransport->WaitReceived(60000));  // closed: no wait at all
  EXPECT_EQ(FRaw->Port.Waits, 2);
}

TEST_F(PortLinkTest, WrittenAndReadBlocksPassThePortWhole) {
  ASSERT_TRUE(FTransport->Open());
  EXPECT_EQ(FTransport->Write(TBytes{1, 2, 3}), 3);
  EXPECT_EQ(FTransport->Write(TBytes{}), 0);
  EXPECT_EQ(FRaw->Port.Written, (std::vector<TBytes>{{1, 2, 3}}));
  FRaw->Port.Arrive({4, 5});
  EXPECT_EQ(FTransport->GetReceivedCount(), 2);
  TBytes data;
  FTransport->Read(data);
  EXPECT_EQ(data, (TBytes{4, 5}));
  EXPECT_EQ(FTransport->GetReceivedCount(), 0);
}

// An arrival is announced after the lock is let go; the handler drops the
// last reference, and the transport ends once the link is done with it
// (AddressSanitizer watches for a use after that).
TEST_F(PortLinkTest, ArrivalHandlerMayDropTheLastReference) {
  ASSERT_TRUE(FTransport->Open());
  FRaw->Port.Arrive({1});
  TLinkedTransport* raw = FRaw;
  FWatcher.DropOnData = std::move(FTransport);
  FRaw = nullptr;
  raw->Arrived(TPortLink::TArrivalLock::Wait);
  EXPECT_EQ(FWatcher.Events, (std::vector<std::string>{"opened", "data"}));
  EXPECT_EQ(FWatcher.LockFree, (std::vector<bool>{true, true}));
  EXPECT_EQ(FWatcher.DropOnData.get(), nullptr);
}

TEST_F(PortLinkTest, ArrivalIsAnnouncedOnlyWhenBytesWaitAndATryLeavesThemToAnExchange) {
  ASSERT_TRUE(FTransport->Open());
  FRaw->Arrived(TPortLink::TArrivalLock::Wait);  // nothing waits
  FRaw->Port.Arrive({1});
  {
    // An exchange on another thread holds the lock: the receive thread
    // that only tries leaves the bytes to it.
    std::promise<void> held, done;
    auto exchange = std::async(std::launch::async, [&] {
      TTransportLock lock(*FTransport);
      held.set_value();
      done.get_future().wait();
    });
    held.get_future().wait();
    FRaw->Arrived(TPortLink::TArrivalLock::Try);
    done.set_value();
    exchange.get();
  }
  EXPECT_EQ(FWatcher.Events, (std::vector<std::string>{"opened"}));
  ASSERT_TRUE(FTransport->TryLock());
  FRaw->Arrived(TPortLink::TArrivalLock::Held);
  EXPECT_EQ(FWatcher.Events, (std::vector<std::string>{"opened", "data"}));
  EXPECT_EQ(FWatcher.LockFree, (std::vector<bool>{true, true}));
}

TEST_F(PortLinkTest, ALossSeenByAnEventThreadIsClosedOnCheckLine) {
  ASSERT_TRUE(FTransport->Open());
  FRaw->CheckLine();  // the line is there: nothing happens
  EXPECT_TRUE(FTransport->GetActive());
  FRaw->Port.Lose(true);
  FRaw->CheckLine();
  FRaw->CheckLine();
  EXPECT_EQ(FRaw->Port.Closes, 1);
  EXPECT_EQ(FWatcher.Events, (std::vector<std::string>{"opened", "closed"}));
}

}  // namespace
