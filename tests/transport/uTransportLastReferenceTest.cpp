// Every transport survives a handler that drops the last reference to it in
// the middle of an announcement: the code that announced goes on, and the
// transport ends once that code is done with it. (AddressSanitizer watches
// for the use of a freed transport.) Each announcement comes after the
// transport's lock was let go.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "framework/uMessageQueue.h"
#include "framework/uTick.h"
#include "support/uLoopbackPeer.h"
#include "support/uPumpUntil.h"
#include "transport/serial/uPtyPair.h"
#include "transport/serial/uci_ISerialPortInterface.h"
#include "transport/tcp/uci_ITCPClientInterface.h"
#include "transport/usb/uFakeAdapter.h"

namespace {

constexpr int kCom = 52;
constexpr int kHangGuardMs = 10000;

// Whether another thread can take the transport's lock while an
// announcement runs. One of the transport's own threads may hold it for a
// moment, so the other thread tries until it gets it, at most half the hang
// guard (the announcing side may wait for the handler for the whole guard).
bool LockFreeElsewhere(ICommunicationInterface& t) {
  return std::async(std::launch::async,
                    [&t] {
                      return Eventually(
                          [&t] {
                            if (!t.TryLock()) return false;
                            t.Unlock();
                            return true;
                          },
                          kHangGuardMs / 2);
                    })
      .get();
}

// Holds the only reference to a transport and lets it go in its handler.
struct TDropper {
  TIntf<ICommunicationInterface> Held;
  std::atomic<int> Calls{0};
  std::atomic<int> UnderLock{0};  // calls made while the announcing side held the lock

  void Drop(TIntf<ICommunicationInterface> sender) {
    if (!LockFreeElsewhere(*sender)) ++UnderLock;
    Held = nullptr;
    ++Calls;
  }
  TCiNotifyHandler Handler() { return TCiNotifyHandler::Of<&TDropper::Drop>(this); }
  // The transport, reached as a program reaches it through a reference it
  // keeps elsewhere (which the handler clears).
  ICommunicationInterface& Transport() { return *Held; }
};

// Serves the calling thread's messages until the handler ran.
bool ServeUntilCalled(TDropper& d) {
  return PumpUntil([&d] { return d.Calls != 0; }, kHangGuardMs);
}

// The stand-in D2XX library leads adapter SIM9 to `listener`; with `fail`
// it injects a status.
class TFakeUsb {
 public:
  explicit TFakeUsb(const char* fail = "") {
    setenv("VELTO_D2XX_LIBRARY", FakeLibraryPath().c_str(), 1);
    setenv("FAKE_D2XX_DEVICE", ("SIM9@127.0.0.1:" + std::to_string(FListener.Port())).c_str(), 1);
    setenv("FAKE_D2XX_FAIL", fail, 1);
  }
  ~TFakeUsb() {
    unsetenv("FAKE_D2XX_DEVICE");
    unsetenv("FAKE_D2XX_FAIL");
  }
  TFakeUsb(const TFakeUsb&) = delete;
  TFakeUsb& operator=(const TFakeUsb&) = delete;

  // A transport on the adapter, not opened yet.
  static TIntf<ICommunicationInterface> Create() {
    return Make<TFTDIDevice>("provider=FTD_USB;serial_number=SIM9");
  }

  // An open transport on the adapter, its far end in Peer.
  TIntf<ICommunicationInterface> Open() {
    TIntf<ICommunicationInterface> t = Create();
    EXPECT_TRUE(t->Open()) << t->GetLastError();
    Peer = FListener.Accept(kHangGuardMs);
    EXPECT_TRUE(Peer.Valid());
    return t;
  }

  TPeerSocket Peer;

 private:
  TLoopbackListener FListener;
};

// An open TCP transport on a loopback listener, its far end in Peer.
struct TTcpLine {
  TTcpLine() {
    Transport = Make<TTCPClientInterface>("host=127.0.0.1;port=" + std::to_string(Listener.Port()));
    EXPECT_TRUE(Transport->Open()) << Transport->GetLastError();
    Peer = Listener.Accept(kHangGuardMs);
    EXPECT_TRUE(Peer.Valid());
  }
  TLoopbackListener Listener;
  TIntf<ICommunicationInterface> Transport;
  TPeerSocket Peer;
};

TIntf<ICommunicationInterface> OpenSerial() {
  TIntf<ICommunicationInterface> t = Make<TSerialPortInterface>("comport=" + std::to_string(kCom));
  EXPECT_TRUE(t->Open()) << t->GetLastError();
  return t;
}

struct TDropCase {
  const char* Name;
  // Hands the transport to the dropper, sets its handler and makes the
  // transport announce; returns once the handler ran (or failed to).
  std::function<void(TDropper&)> Run;
};

TEST(TransportLastReferenceTest, AHandlerMayDropTheLastReferenceInEveryAnnouncement) {
  const std::vector<TDropCase> cases{
      {"serial: data received, on the owner thread",
       [](TDropper& d) {
         TPtyPair pty(kCom);
         d.Held = OpenSerial();
         d.Transport().SetOnDataReceived(d.Handler());
         ASSERT_TRUE(pty.Send(BytesOf("x")));
         EXPECT_TRUE(ServeUntilCalled(d));
       }},
      {"serial: opened, from Open",
       [](TDropper& d) {
         TPtyPair pty(kCom);
         d.Held = Make<TSerialPortInterface>("comport=" + std::to_string(kCom));
         d.Transport().SetOnOpened(d.Handler());
         d.Transport().Open();
       }},
      {"serial: closed, from Close",
       [](TDropper& d) {
         TPtyPair pty(kCom);
         d.Held = OpenSerial();
         d.Transport().SetOnClosed(d.Handler());
         d.Transport().Close(false);
       }},
      {"serial: closed, when the device has gone",
       [](TDropper& d) {
         TPtyPair pty(kCom);
         d.Held = OpenSerial();
         d.Transport().SetOnClosed(d.Handler());
         pty.CloseMaster();
         d.Transport().WaitReceived(kHangGuardMs);
       }},
      {"serial: settings changed, before the open a connection string asks for",
       [](TDropper& d) {
         TPtyPair pty(kCom);
         d.Held = Make<TSerialPortInterface>("comport=" + std::to_string(kCom));
         d.Transport().SettingsChanged().AddHandler(d.Handler());
         d.Transport().SetConnectionString("baudrate=19200;active=1");
       }},
      {"TCP: data received, on the owner thread",
       [](TDropper& d) {
         TTcpLine line;
         d.Held = std::move(line.Transport);
         d.Transport().SetOnDataReceived(d.Handler());
         ASSERT_TRUE(line.Peer.SendAll(BytesOf("x")));
         EXPECT_TRUE(ServeUntilCalled(d));
       }},
      {"TCP: closed, from Close",
       [](TDropper& d) {
         TTcpLine line;
         d.Held = std::move(line.Transport);
         d.Transport().SetOnClosed(d.Handler());
         d.Transport().Close(false);
       }},
      {"TCP: closed by the peer, while waiting for bytes",
       [](TDropper& d) {
         TTcpLine line;
         d.Held = std::move(line.Transport);
         d.Transport().SetOnClosed(d.Handler());
         line.Peer.Close();
         d.Transport().WaitReceived(kHangGuardMs);
       }},
      {"USB: data received, on the receive thread",
       [](TDropper& d) {
         TFakeUsb usb;
         d.Held = usb.Open();
         d.Transport().SetOnDataReceived(d.Handler());
         ASSERT_TRUE(usb.Peer.SendAll(BytesOf("x")));
         EXPECT_TRUE(Eventually([&] { return d.Calls > 0; }));
         EXPECT_TRUE(EndFTDIReceiveThreads(kHangGuardMs));  // the thread may have ended it
       }},
      {"USB: closed, by a read's input/output error",
       [](TDropper& d) {
         TFakeUsb usb("read=4");
         d.Held = usb.Open();
         ASSERT_TRUE(usb.Peer.SendAll(BytesOf("x")));
         ASSERT_TRUE(Eventually([&] { return d.Transport().GetReceivedCount() > 0; }));
         d.Transport().SetOnClosed(d.Handler());
         TBytes bytes;
         d.Transport().Read(bytes);
       }},
      {"USB: closed, by a write's input/output error",
       [](TDropper& d) {
         TFakeUsb usb("write=4");
         d.Held = usb.Open();
         d.Transport().SetOnClosed(d.Handler());
         d.Transport().Write(BytesOf("x"));
       }},
      {"USB: closed, by a setting's input/output error",
       [](TDropper& d) {
         TFakeUsb usb("baud=4@2");  // the first use is the open's
         d.Held = usb.Open();
         d.Transport().SetOnClosed(d.Handler());
         d.Transport().SetConnectionString("baudrate=9600");
       }},
      {"USB: closed, by an input/output error the receive thread meets",
       [](TDropper& d) {
         TFakeUsb usb("queue=4");
         d.Held = TFakeUsb::Create();
         // Set first: the thread may meet the error as soon as it runs.
         d.Transport().SetOnClosed(d.Handler());
         d.Transport().Open();  // the thread may have ended it before this returns
         EXPECT_TRUE(Eventually([&] { return d.Calls > 0; }));
         EXPECT_TRUE(EndFTDIReceiveThreads(kHangGuardMs));
       }},
  };
  for (const TDropCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::int32_t nodes = LiveNodeCount();
    TDropper d;
    c.Run(d);
    EXPECT_GE(d.Calls.load(), 1);
    EXPECT_EQ(d.UnderLock.load(), 0);
    EXPECT_FALSE(d.Held);
    EXPECT_TRUE(Eventually([&] { return LiveNodeCount() == nodes; }));
  }
}

}  // namespace
