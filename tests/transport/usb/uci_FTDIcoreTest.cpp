#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/uAlert.h"
#include "support/uThreadState.h"
#include "transport/usb/uFakeAdapter.h"

namespace {

// ---------------------------------------------------------------- settings

TEST(FTDIDeviceSettings, NewTransportWritesItsDefaults) {
  auto t = Make<TFTDIDevice>();
  EXPECT_EQ(t->GetConnectionString(),
            "provider=FTD_USB;serial_number=;baudrate=115200;databits=8;stopbits=One;"
            "parity=None;dtr=0;rts=0");
  t->SetConnectionString("provider=FTD_USB;serial_number=AB12;baudrate=9600");
  EXPECT_EQ(t->GetDescription(), "AB12");
  EXPECT_EQ(t->GetCaption(), "");
  EXPECT_DOUBLE_EQ(t->GetByteTime(), 10000.0 / 9600);
  EXPECT_TRUE(SupportsIID(t.get(), IFTDISerialPortInterface::IID));
}

// A closed adapter takes no line settings: the library is never asked, and
// the previous values stay. The baud rate is only stored.
TEST(FTDIDeviceSettings, LineSettingsStayWhileClosed) {
  auto t = Make<TFTDIDevice>();
  t->SetConnectionString("databits=7;stopbits=Two;parity=Even;dtr=1;rts=1;baudrate=300");
  EXPECT_EQ(t->GetDataBits(), 8);
  EXPECT_EQ(t->GetStopBits(), sbOne);
  EXPECT_EQ(t->GetParity(), paNone);
  EXPECT_FALSE(t->GetDTR());
  EXPECT_FALSE(t->GetRTS());
  EXPECT_EQ(t->GetBaudRate(), 300);
}

// ---------------------------------------------------------------- open

using FTDIDeviceOpen = FakeAdapterTest;

TEST_F(FTDIDeviceOpen, FailuresKeepTheTransportClosedWithTheReason) {
  struct TCase {
    const char* Settings;
    const char* Fail;
    const char* Reason;
    bool Connected;  // the library opened the adapter before the failure
  } cases[] = {
      {"serial_number=", "", "USB: no adapter serial number given", false},
      {"serial_number=NOPE", "", "USB NOPE: FT_OpenEx failed with status 2", false},
      {"serial_number=SIM1", "open=3", "USB SIM1: FT_OpenEx failed with status 3", false},
      {"serial_number=SIM1", "open=4", "USB SIM1: FT_OpenEx failed with status 4", false},
      // The library's own 65535 is a status like any other.
      {"serial_number=SIM1", "open=65535", "USB SIM1: FT_OpenEx failed with status 65535", false},
      // Success without a handle: no adapter to speak to, and no thread for one.
      {"serial_number=SIM1", "open=nohandle", "USB SIM1: FT_OpenEx gave no handle (status 0)",
       false},
      // Setting the rate met an input/output error, which closed the adapter again.
      {"serial_number=SIM1", "baud=4",
       "USB SIM1: FT_SetBaudRate failed with status 4 (input/output error); closed", true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Settings + std::string(" ") + c.Fail);
    Fail(c.Fail);
    auto t = Make<TFTDIDevice>(c.Settings);
    std::vector<std::string> alerts;
    TAlertSink old = SetAlertSink([&](const std::string& text) { alerts.push_back(text); });
    EXPECT_FALSE(t->Open());
    SetAlertSink(old);
    EXPECT_FALSE(t->GetActive());
    EXPECT_EQ(t->GetLastError(), c.Reason);
    EXPECT_EQ(alerts, std::vector<std::string>{});  // the reason says it all
    // The listener may see the handshake's end a moment after the library
    // saw the connection made.
    EXPECT_EQ(FListener.Accept(c.Connected ? 10000 : 0).Valid(), c.Connected);
  }
}

TEST_F(FTDIDeviceOpen, OpensAtItsRateAndCarriesBytesBothWays) {
  TArrivals arrivals;
  auto t = OpenAdapter(";baudrate=9600");
  arrivals.Attach(*t);
  auto baudRate = FakeEntry<DWORD (*)(void*)>("FakeD2xxBaudRate");
  ASSERT_NE(baudRate, nullptr);
  EXPECT_EQ(baudRate(t->GetHandle()), 9600u);
  EXPECT_EQ(t->GetLastError(), "");

  EXPECT_EQ(t->Write(BytesOf("request")), 7);
  EXPECT_EQ(TextOf(FPeer.ReceiveExactly(7, 10000)), "request");
  // Announced on the receive thread, which the subscriber reads on.
  ASSERT_TRUE(FPeer.SendAll(BytesOf("answer")));
  ASSERT_TRUE(arrivals.WaitBytes(6));
  EXPECT_EQ(TextOf(arrivals.Bytes), "answer");
  EXPECT_NE(arrivals.Thread, std::this_thread::get_id());
}

TEST_F(FTDIDeviceOpen, NewSerialNumberReopensOnThatAdapter) {
  TLoopbackListener second;
  setenv("FAKE_D2XX_DEVICE",
         ("SIM1@127.0.0.1:" + std::to_string(FListener.Port()) +
          ",SIM2@127.0.0.1:" + std::to_string(second.Port()))
             .c_str(),
         1);
  auto t = OpenAdapter();
  t->SetConnectionString("serial_number=SIM2");
  EXPECT_TRUE(t->GetActive()) << t->GetLastError();
  EXPECT_TRUE(second.Accept(10000).Valid());
  EXPECT_TRUE(FPeer.ReceiveExactly(1, 10000).empty());  // the first adapter was closed
  EXPECT_EQ(t->GetConnectionString().rfind("provider=FTD_USB;serial_number=SIM2;baudrate=", 0), 0u);
}

// An arrival is announced also when the library never signals: the thread
// looks at the queue at every time-out.
TEST_F(FTDIDeviceOpen, FailedEventRegistrationIsOneAlertAndArrivalsStillCome) {
  std::vector<std::string> alerts;
  TAlertSink old = SetAlertSink([&](const std::string& text) { alerts.push_back(text); });
  Fail("event=5");
  TArrivals arrivals;
  auto t = OpenAdapter();
  SetAlertSink(old);
  EXPECT_EQ(alerts,
            std::vector<std::string>{"USB SIM1: FT_SetEventNotification failed with "
                                     "status 5; received bytes are looked for every 100 ms"});
  arrivals.Attach(*t);
  ASSERT_TRUE(FPeer.SendAll(BytesOf("polled")));
  EXPECT_TRUE(arrivals.WaitBytes(6));
}

// ---------------------------------------------------------------- I/O error

TEST_F(FTDIDeviceOpen, InputOutputErrorClosesTheTransport) {
  struct TCase {
    const char* Fail;
    std::function<void(TFTDIDevice&)> Use;
  } cases[] = {
      {"write=4", [](TFTDIDevice& t) { EXPECT_EQ(t.Write(BytesOf("x")), 0); }},
      {"queue=4", [](TFTDIDevice& t) { EXPECT_EQ(t.GetReceivedCount(), 0); }},
      {"read=4",
       [this](TFTDIDevice& t) {
         ASSERT_TRUE(FPeer.SendAll(BytesOf("x")));
         ASSERT_TRUE(Eventually([&] { return t.GetReceivedCount() > 0; }));
         TBytes data;
         t.Read(data);
         EXPECT_TRUE(data.empty());
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Fail);
    Fail(c.Fail);
    TArrivals arrivals;
    // Only the closing is watched (a subscriber would read on the receive
    // thread), from before Open: the receive thread may meet the error first.
    auto t = OpenAdapter("", "SIM1", [&arrivals](TFTDIDevice& d) {
      arrivals.Follow(d);
      d.SetOnClosed(TCiNotifyHandler::Of<&TArrivals::OnClosed>(&arrivals));
    });
    c.Use(*t);
    EXPECT_FALSE(t->GetActive());
    EXPECT_TRUE(arrivals.WaitClosed());
    EXPECT_NE(t->GetLastError().find("failed with status 4 (input/output error)"),
              std::string::npos);
    EXPECT_EQ(t->Write(BytesOf("x")), 0);
  }
}

// Granting permission leaves an open adapter open; withdrawing it closes.
TEST_F(FTDIDeviceOpen, OnlyWithdrawnPermissionCloses) {
  TArrivals arrivals;
  auto t = OpenAdapter();
  arrivals.Attach(*t);
  t->SetPermitted(true);
  EXPECT_TRUE(t->GetPermitted());
  EXPECT_TRUE(t->GetActive());
  EXPECT_EQ(t->Write(BytesOf("still")), 5);
  EXPECT_EQ(TextOf(FPeer.ReceiveExactly(5, 10000)), "still");
  t->SetPermitted(false);
  EXPECT_FALSE(t->GetPermitted());
  EXPECT_FALSE(t->GetActive());
  EXPECT_TRUE(arrivals.WaitClosed());
}

// A read the library refuses (not an input/output error) while bytes wait is
// tried again at the next event or poll, not at once for ever: at most one
// attempt per library signal and per poll period (the allowance only grows
// on a slower machine; a thread that wakes itself makes thousands).
TEST_F(FTDIDeviceOpen, RefusedReadWaitsForTheNextEventOrPoll) {
  Fail("read=3");
  TArrivals arrivals;
  auto t = OpenAdapter();
  arrivals.Attach(*t);
  auto reads = FakeEntry<unsigned (*)()>("FakeD2xxReads");
  auto signals = FakeEntry<unsigned (*)()>("FakeD2xxSignals");
  ASSERT_NE(reads, nullptr);
  ASSERT_NE(signals, nullptr);
  const unsigned readsBefore = reads();
  const unsigned signalsBefore = signals();
  const std::uint32_t start = GetTickCount32();
  ASSERT_TRUE(FPeer.SendAll(BytesOf("stuck")));
  ASSERT_TRUE(Eventually([&] { return reads() - readsBefore >= 5; }));
  const unsigned attempts = reads() - readsBefore;
  const std::uint32_t periods = (GetTickCount32() - start) / TFTDIDevicecore::kIdleWaitMs;
  EXPECT_LE(attempts, (signals() - signalsBefore) + periods + 2);
  EXPECT_TRUE(t->GetActive());  // a refused read is no lost adapter
  std::lock_guard<std::mutex> guard(arrivals.Lock);
  EXPECT_TRUE(arrivals.Bytes.empty());
}

// A read that met the input/output error closes the adapter; when that close
// fails too, the handle it was given is not used again.
TEST_F(FTDIDeviceOpen, FailedReadAndFailedCloseLeaveTheHandleAlone) {
  // The adapter stays open in the library: a name no other test opens.
  static int run = 0;
  const std::string serial = "READ" + std::to_string(++run);
  Own(serial, FListener);
  Fail("read=4,close=1");
  auto t = OpenAdapter("", serial);
  auto late = FakeEntry<unsigned (*)()>("FakeD2xxCallsAfterClose");
  ASSERT_NE(late, nullptr);
  const unsigned before = late();
  ASSERT_TRUE(FPeer.SendAll(BytesOf("x")));
  ASSERT_TRUE(Eventually([&] { return t->GetReceivedCount() > 0; }));
  TBytes data;
  t->Read(data);
  EXPECT_TRUE(data.empty());
  EXPECT_FALSE(t->GetActive());
  EXPECT_EQ(late(), before);
}

// ---------------------------------------------------------------- threads

using FTDIDeviceThreads = FakeAdapterTest;

TEST_F(FTDIDeviceThreads, CloseFromTheCallerEndsTheThreadsAtOnce) {
  const TThreadIds before = ThreadIds();
  auto t = OpenAdapter();
  const TThreadIds started = StartedSince(before);
  EXPECT_EQ(started.size(), 2u);  // the receive thread and the library's
  EXPECT_TRUE(t->Close(false));   // joins both
  EXPECT_TRUE(ThreadsEnd(started));
  EXPECT_TRUE(t->Close(false));  // closed already
}

// A caller that holds the lock around Close while a data handler on the
// receive thread waits for that lock: the close cannot wait for the thread
// (which waits for the caller); the thread ends once the caller lets go.
TEST_F(FTDIDeviceThreads, CloseUnderTheCallersLockWhileAHandlerWaitsForIt) {
  struct THandler {
    std::mutex Lock;
    std::condition_variable Changed;
    pid_t Thread = 0;
    bool Go = false;
    bool GotLock = false;
    void OnData(TIntf<ICommunicationInterface> sender) {
      {
        std::unique_lock<std::mutex> wait(Lock);
        Thread = CurrentThreadId();
        Changed.notify_all();
        Changed.wait(wait, [this] { return Go; });
      }
      TTransportLock hold(*sender);  // the caller holds it
      std::lock_guard<std::mutex> guard(Lock);
      GotLock = true;
    }
  };
  const TThreadIds before = ThreadIds();
  auto t = OpenAdapter();
  const TThreadIds started = StartedSince(before);
  THandler handler;
  t->SetOnDataReceived(TCiNotifyHandler::Of<&THandler::OnData>(&handler));
  ASSERT_TRUE(FPeer.SendAll(BytesOf("x")));
  pid_t inHandler = 0;
  {
    std::unique_lock<std::mutex> wait(handler.Lock);
    ASSERT_TRUE(handler.Changed.wait_for(wait, std::chrono::seconds(10),
                                         [&] { return handler.Thread != 0; }));
    inHandler = handler.Thread;
  }
  std::atomic<bool> closeReturned{false};
  std::thread caller([&] {
    TTransportLock hold(*t);
    {
      std::lock_guard<std::mutex> guard(handler.Lock);
      handler.Go = true;
    }
    handler.Changed.notify_all();
    // The handler now waits for the lock this thread holds.
    EXPECT_TRUE(ThreadSleepsSoon(inHandler, 10000));
    EXPECT_TRUE(t->Close(false));
    closeReturned = true;
  });
  const bool returned = Eventually([&] { return closeReturned.load(); });
  if (!returned) {
    ADD_FAILURE() << "Close waited for the receive thread, which waits for the caller";
    std::abort();  // the two threads wait for each other for ever
  }
  caller.join();
  EXPECT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> guard(handler.Lock);
    return handler.GotLock;
  }));
  EXPECT_TRUE(ThreadsEnd(started));
  EXPECT_FALSE(t->GetActive());
}

// Closing, or dropping the last reference, inside an announcement runs on the
// receive thread itself, which then ends without a join.
TEST_F(FTDIDeviceThreads, CloseOrLastReferenceInsideAnAnnouncement) {
  struct TInside {
    TIntf<TFTDIDevice> Held;
    bool DropIt = false;
    void OnData(TIntf<ICommunicationInterface> sender) {
      if (DropIt)
        Held = nullptr;  // the announcement's own reference is the last
      else
        sender->Close(false);
    }
  };
  for (bool drop : {false, true}) {
    SCOPED_TRACE(drop ? "last reference" : "close");
    const TThreadIds before = ThreadIds();
    const std::int32_t nodes = LiveNodeCount();
    TInside inside{OpenAdapter(), drop};
    const TThreadIds started = StartedSince(before);
    EXPECT_EQ(started.size(), 2u);
    inside.Held->SetOnDataReceived(TCiNotifyHandler::Of<&TInside::OnData>(&inside));
    ASSERT_TRUE(FPeer.SendAll(BytesOf("x")));
    if (!drop) {
      // The thread that closed ends on its own; the destructor here joins it.
      ASSERT_TRUE(Eventually([&] { return !inside.Held->GetActive(); }));
      ASSERT_TRUE(ThreadsEnd(started));
      inside.Held = nullptr;
    }
    EXPECT_TRUE(Eventually([&] { return LiveNodeCount() == nodes; }));
    EXPECT_TRUE(EndFTDIReceiveThreads(10000));  // as the program's end does
    EXPECT_TRUE(ThreadsEnd(started));
  }
}

// The adapter goes away while nobody reads: the receive thread meets the
// input/output error, which closes the transport, and the closed handler
// drops the last reference to it there. Nothing of the transport may be used
// afterwards (AddressSanitizer watches).
TEST_F(FTDIDeviceThreads, ClosedHandlerDropsTheLastReferenceOnTheReceiveThread) {
  struct TOwner {
    TIntf<TFTDIDevice> Held;
    std::atomic<bool> Dropped{false};
    std::thread::id Thread;
    void OnClosed(TIntf<ICommunicationInterface>) {
      Thread = std::this_thread::get_id();
      Held = nullptr;  // the announcement's own reference is all that is left
      Dropped = true;
    }
  };
  const TThreadIds before = ThreadIds();
  const std::int32_t nodes = LiveNodeCount();
  TOwner owner;
  owner.Held = OpenAdapter();
  const TThreadIds started = StartedSince(before);
  EXPECT_EQ(started.size(), 2u);
  owner.Held->SetOnClosed(TCiNotifyHandler::Of<&TOwner::OnClosed>(&owner));
  FPeer.Close();
  ASSERT_TRUE(Eventually([&] { return owner.Dropped.load(); }));
  EXPECT_NE(owner.Thread, std::this_thread::get_id());
  EXPECT_TRUE(Eventually([&] { return LiveNodeCount() == nodes; }));
  EXPECT_TRUE(EndFTDIReceiveThreads(10000));  // as the program's end does
  EXPECT_TRUE(ThreadsEnd(started));
}

// Holds the receive thread, when armed, in its next look at the queue, where
// it holds a counted reference to its transport, until the test lets it go.
struct TVisitGate {
  std::mutex Lock;
  std::condition_variable Changed;
  bool Armed = false;
  bool Visiting = false;
  bool Go = false;

  void Hold() {
    std::unique_lock<std::mutex> lock(Lock);
    if (!Armed) return;
    Armed = false;
    Visiting = true;
    Changed.notify_all();
    Changed.wait_for(lock, std::chrono::seconds(10), [this] { return Go; });
  }
  bool WaitVisiting() {
    std::unique_lock<std::mutex> lock(Lock);
    return Changed.wait_for(lock, std::chrono::seconds(10), [this] { return Visiting; });
  }
  void Release() {
    std::lock_guard<std::mutex> guard(Lock);
    Go = true;
    Changed.notify_all();
  }
};

class TGatedDevice : public TFTDIDevice {
 public:
  TGatedDevice(const std::string& connectionString, std::shared_ptr<TVisitGate> gate)
      : TFTDIDevice(connectionString),
        FGate(std::move(gate)),
        FCreator(std::this_thread::get_id()) {}
  bool TryLock() override {
    if (std::this_thread::get_id() != FCreator) FGate->Hold();
    return TFTDIDevice::TryLock();
  }

 private:
  std::shared_ptr<TVisitGate> FGate;
  const std::thread::id FCreator;
};

// The caller lets go of the transport while its receive thread holds a
// reference: the transport ends on that thread a moment later, announcing
// its closing there. Its end is told once nothing of it runs any more: the
// handlers were called before, the adapter is closed (it opens again at
// once) and no thread of it is left.
TEST_F(FTDIDeviceThreads, LastReferenceLetGoWhileTheReceiveThreadHoldsIt) {
  const std::int32_t nodes = LiveNodeCount();
  auto gate = std::make_shared<TVisitGate>();
  TArrivals arrivals;
  auto t = Make<TGatedDevice>("provider=FTD_USB;serial_number=SIM1", gate);
  arrivals.Attach(*t);
  ASSERT_TRUE(t->Open()) << t->GetLastError();
  FPeer = FListener.Accept(10000);
  {
    std::lock_guard<std::mutex> guard(gate->Lock);
    gate->Armed = true;
  }
  ASSERT_TRUE(gate->WaitVisiting());
  const std::shared_ptr<TUsbTransportEnd> end = t->TransportEnd();
  t = nullptr;  // not the last reference: the receive thread holds one
  EXPECT_FALSE(end->Wait(0));
  EXPECT_NE(LiveNodeCount(), nodes);
  gate->Release();
  ASSERT_TRUE(end->Wait(10000));
  EXPECT_EQ(LiveNodeCount(), nodes);
  {
    std::lock_guard<std::mutex> guard(arrivals.Lock);
    EXPECT_EQ(arrivals.Closed, 1);
  }
  EXPECT_TRUE(EndFTDIReceiveThreads(10000));
  auto again = OpenAdapter();
  EXPECT_TRUE(again->GetActive());
}

// A library whose close never returns holds up neither Close nor the
// transport's end: the close is given up after a bound, said once.
TEST_F(FTDIDeviceThreads, CloseThatNeverReturnsIsGivenUp) {
  static int run = 0;
  const std::string serial = "HANG" + std::to_string(++run);
  Own(serial, FListener);
  Fail("close=hang");
  const TThreadIds before = ThreadIds();
  auto t = OpenAdapter("", serial);
  const TThreadIds started = StartedSince(before);
  auto release = FakeEntry<void (*)()>("FakeD2xxReleaseHangs");
  ASSERT_NE(release, nullptr);
  std::vector<std::string> alerts;
  TAlertSink old = SetAlertSink([&](const std::string& text) { alerts.push_back(text); });
  EXPECT_FALSE(t->Close(true));
  SetAlertSink(old);
  EXPECT_FALSE(t->GetActive());
  const std::string reason = "USB " + serial + ": FT_Close did not return within " +
                             std::to_string(kD2xxCloseWaitMs) + " ms; the adapter is left to it";
  EXPECT_EQ(t->GetLastError(), reason);
  EXPECT_EQ(alerts, std::vector<std::string>{reason});
  t = nullptr;
  release();  // the stuck close ends, and with it the library's thread
  EXPECT_TRUE(ThreadsEnd(started));
}

TEST_F(FTDIDeviceThreads, OpenTransportDestroyedOnAnotherThreadWhileBytesArrive) {
  const TThreadIds before = ThreadIds();
  TArrivals arrivals;
  auto t = OpenAdapter();
  const TThreadIds started = StartedSince(before);
  EXPECT_EQ(started.size(), 2u);
  arrivals.Attach(*t);
  std::thread sender([this] {
    for (int i = 0; i < 200 && FPeer.SendAll(BytesOf("0123456789")); ++i) SleepMs(1);
  });
  ASSERT_TRUE(arrivals.WaitBytes(1));
  std::thread owner([held = std::move(t)]() mutable { held = nullptr; });
  owner.join();
  sender.join();
  // The receive thread may have held the last reference for a moment.
  EXPECT_TRUE(EndFTDIReceiveThreads(10000));
  EXPECT_TRUE(ThreadsEnd(started));
}

// The library may signal the event of an adapter whose close failed at any
// time later: that event is never freed (AddressSanitizer watches it here).
TEST_F(FTDIDeviceThreads, FailedCloseKeepsTheEventTheLibraryHolds) {
  const TThreadIds before = ThreadIds();
  // The adapter stays open in the library: a name no other test opens.
  static int run = 0;
  const std::string serial = "KEPT" + std::to_string(++run);
  Own(serial, FListener);
  Fail("close=1");
  auto t = OpenAdapter("", serial);
  const TThreadIds started = StartedSince(before);
  EXPECT_EQ(started.size(), 2u);
  EXPECT_FALSE(t->Close(false));
  EXPECT_FALSE(t->GetActive());
  EXPECT_EQ(StillListed(started), 2u);  // the receive thread keeps running
  t = nullptr;
  EXPECT_TRUE(ThreadsEnd(started, 1));  // destruction ended it; the library's stays
  EXPECT_EQ(StillListed(started), 1u);
  auto signals = FakeEntry<unsigned (*)()>("FakeD2xxSignals");
  ASSERT_NE(signals, nullptr);
  const unsigned seen = signals();
  ASSERT_TRUE(FPeer.SendAll(BytesOf("late")));
  EXPECT_TRUE(Eventually([&] { return signals() > seen; }));
}

}  // namespace
