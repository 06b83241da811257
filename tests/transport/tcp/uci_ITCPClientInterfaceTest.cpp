#include <gtest/gtest.h>
#include <sys/socket.h>

#include <netdb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/uMessageQueue.h"
#include "framework/uTick.h"
#include "support/uLoopbackPeer.h"
#include "support/uPumpUntil.h"
#include "support/uThreadState.h"
#include "support/uTickShift.h"
#include "transport/tcp/uci_ITCPClientInterface.h"
#include "transport/uConnectionString.h"

namespace {

std::string LoopbackString(std::uint16_t port, const std::string& host = "127.0.0.1") {
  return "provider=TCP_CLIENT;host=" + host + ";port=" + std::to_string(port);
}

// Counts the announcements of one transport.
struct TNoticeCounter {
  std::atomic<int> Opened{0};
  std::atomic<int> Closed{0};
  std::atomic<int> Data{0};
  std::atomic<int> Settings{0};
  void OnOpened(TIntf<ICommunicationInterface>) { ++Opened; }
  void OnClosed(TIntf<ICommunicationInterface>) { ++Closed; }
  void OnData(TIntf<ICommunicationInterface>) { ++Data; }
  void OnSettings(TIntf<ICommunicationInterface>) { ++Settings; }

  void Attach(ICommunicationInterface& t) {
    t.SetOnOpened(TCiNotifyHandler::Of<&TNoticeCounter::OnOpened>(this));
    t.SetOnClosed(TCiNotifyHandler::Of<&TNoticeCounter::OnClosed>(this));
    t.SetOnDataReceived(TCiNotifyHandler::Of<&TNoticeCounter::OnData>(this));
    t.SettingsChanged().AddHandler(TCiNotifyHandler::Of<&TNoticeCounter::OnSettings>(this));
  }
  void Detach(ICommunicationInterface& t) {
    t.SetOnOpened({});
    t.SetOnClosed({});
    t.SetOnDataReceived({});
    t.SettingsChanged().RemoveHandler(TCiNotifyHandler::Of<&TNoticeCounter::OnSettings>(this));
  }
};

// Open, with the tick moved past the open wait once Open sleeps in it
// instead of sleeping through the wait.
bool OpenPastItsWait(ICommunicationInterface& t) {
  TTickShift tick;
  const pid_t opener = CurrentThreadId();
  std::thread mover([&] {
    EXPECT_TRUE(ThreadSleepsSoon(opener, 10000));
    tick.Advance(TTCPClientInterface::kOpenTimeoutMs + 1);
  });
  const bool opened = t.Open();
  mover.join();
  return opened;
}

TIntf<TTCPClientInterface> OpenTo(TLoopbackListener& listener, TPeerSocket& peer) {
  auto t = Make<TTCPClientInterface>(LoopbackString(listener.Port()));
  if (!t->Open()) return {};
  peer = listener.Accept(2000);
  return t;
}

// ---------------------------------------------------------------------------

TEST(TCPClientSettings, ConnectionStringGivesHostPortAndDescriptionBack) {
  auto t = Make<TTCPClientInterface>("provider=TCP_CLIENT;host=192.168.1.254;port=10001");
  EXPECT_EQ(t->GetHost(), "192.168.1.254");
  EXPECT_EQ(t->GetPort(), 10001);
  EXPECT_EQ(t->GetConnectionString(), "provider=TCP_CLIENT;host=192.168.1.254;port=10001");
  EXPECT_EQ(t->GetDescription(), "TCPC 192.168.1.254:10001");
  EXPECT_EQ(t->GetCaption(), "TCPC 192.168.1.254:10001");
  EXPECT_FALSE(t->GetActive());  // setting does not connect
}

TEST(TCPClientSettings, NewTransportHasEmptyHostAndPortZero) {
  auto t = Make<TTCPClientInterface>();
  EXPECT_EQ(t->GetHost(), "");
  EXPECT_EQ(t->GetPort(), 0);
  EXPECT_EQ(t->GetConnectionString(), "provider=TCP_CLIENT;host=;port=0");
  EXPECT_EQ(t->GetDescription(), "TCPC :0");
  EXPECT_EQ(t->GetLocalPort(), -1);
}

TEST(TCPClientSettings, AbsentKeysLeaveValuesAndPortTakesHexadecimal) {
  auto t = Make<TTCPClientInterface>("host=10.0.0.5;port=1000");
  t->SetConnectionString("port=$2711");
  EXPECT_EQ(t->GetHost(), "10.0.0.5");
  EXPECT_EQ(t->GetPort(), 10001);
  t->SetConnectionString("HOST=example.test\rPORT=7");  // pairs one per line, any case
  EXPECT_EQ(t->GetHost(), "example.test");
  EXPECT_EQ(t->GetPort(), 7);
}

TEST(TCPClientSettings, NonNumericPortRaisesConversionErrorAndChangesNothing) {
  auto t = Make<TTCPClientInterface>("host=10.0.0.5;port=1000");
  try {
    t->SetConnectionString("host=10.0.0.6;port=abc");
    FAIL() << "no error raised";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
  }
  EXPECT_EQ(t->GetHost(), "10.0.0.5");
  EXPECT_EQ(t->GetPort(), 1000);
  EXPECT_THROW(t->SetConnectionString("port=70000"), EConvertError);
  EXPECT_EQ(t->GetPort(), 1000);
}

TEST(TCPClientSettings, SettersAnnounceSettingsChanged) {
  auto t = Make<TTCPClientInterface>();
  TNoticeCounter n;
  n.Attach(*t);
  t->SetHost("h");
  t->SetPort(5);
  EXPECT_EQ(n.Settings, 2);
  t->SetConnectionString("host=x");  // before and after the change
  EXPECT_EQ(n.Settings, 4);
  EXPECT_EQ(t->GetConnectionString(), "provider=TCP_CLIENT;host=x;port=5");
  n.Detach(*t);
}

TEST(TCPClientSettings, OffersItsInterfacesAndNoSetupDialog) {
  auto t = Make<TTCPClientInterface>();
  IInterface* base = static_cast<ICommunicationInterface*>(t.get());
  EXPECT_TRUE(Supports<ITCPClientInterface>(base));
  EXPECT_TRUE(Supports<ISockClientInterface>(base));
  EXPECT_TRUE(Supports<ICommunicationInterface>(base));
  EXPECT_FALSE(t->ShowSetupDialog());
  EXPECT_EQ(t->GetByteTime(), 0.0);
}

TEST(TCPClientSettings, SettingsNodeConfiguresAndIsWrittenBack) {
  pugi::xml_document doc;
  pugi::xml_node element = doc.append_child("tcp");
  element.append_attribute("connectionstring") = "host=10.1.2.3;port=502";
  {
    auto t = Make<TTCPClientInterface>(MakeXmlNode(element), nullptr);
    EXPECT_EQ(t->GetDescription(), "TCPC 10.1.2.3:502");
    t->SetPort(503);
  }
  EXPECT_STREQ(element.attribute("connectionstring").value(),
               "provider=TCP_CLIENT;host=10.1.2.3;port=503");
}

// ---------------------------------------------------------------------------

TEST(TCPClientConnection, ConnectsAndExchangesBytesBothWays) {
  TLoopbackListener listener;
  auto t = Make<TTCPClientInterface>(LoopbackString(listener.Port()));
  TNoticeCounter n;
  n.Attach(*t);
  ASSERT_TRUE(t->Open());
  EXPECT_TRUE(t->GetActive());
  EXPECT_EQ(n.Opened, 1);
  TPeerSocket peer = listener.Accept(2000);
  ASSERT_TRUE(peer.Valid());
  EXPECT_EQ(t->GetLocalPort(), peer.RemotePort());

  TBytes request = BytesFromHex("2A 61 00 06 31 00 20 83 9A 0D");
  EXPECT_EQ(t->Write(request), 10);
  EXPECT_EQ(peer.ReceiveExactly(10, 2000), request);

  TBytes answer = BytesFromHex("2A 61 00 05 31 00 00 3E 0D");
  ASSERT_TRUE(peer.SendAll(answer));
  ASSERT_TRUE(t->WaitReceived(2000));
  TBytes received;
  while (received.size() < answer.size() && t->WaitReceived(2000)) {
    TBytes part;
    t->Read(part);
    received.insert(received.end(), part.begin(), part.end());
  }
  EXPECT_EQ(received, answer);
  EXPECT_EQ(t->GetReceivedCount(), 0);
  n.Detach(*t);
}

TEST(TCPClientConnection, HostNameIsResolved) {
  TLoopbackListener listener;
  auto t = Make<TTCPClientInterface>(LoopbackString(listener.Port(), "localhost"));
  ASSERT_TRUE(t->Open());
  EXPECT_TRUE(listener.Accept(2000).Valid());
}

TEST(TCPClientConnection, RefusedPortFailsWellBeforeTheOpenTimeoutAndSaysSo) {
  const std::uint16_t port = UnusedLoopbackPort();
  auto t = Make<TTCPClientInterface>(LoopbackString(port));
  TNoticeCounter n;
  n.Attach(*t);
  std::uint32_t start = GetTickCount32();
  EXPECT_FALSE(t->Open());
  std::uint32_t elapsed = GetTickCount32() - start;
  EXPECT_LT(elapsed, 1000u);
  EXPECT_FALSE(t->GetActive());
  EXPECT_EQ(t->GetLastError(), "127.0.0.1:" + std::to_string(port) + ": connection refused");
  EXPECT_EQ(n.Opened, 0);
  EXPECT_EQ(n.Closed, 0);
  n.Detach(*t);
}

TEST(TCPClientConnection, MissingPortOrHostFailsLikeARefusal) {
  auto noPort = Make<TTCPClientInterface>("provider=TCP_CLIENT;host=127.0.0.1");
  EXPECT_FALSE(noPort->Open());
  EXPECT_EQ(noPort->GetLastError(), "127.0.0.1:0: connection refused");
  auto noHost = Make<TTCPClientInterface>("provider=TCP_CLIENT;port=1");
  EXPECT_FALSE(noHost->Open());
  EXPECT_EQ(noHost->GetLastError(), ":1: no host given");
}

TEST(TCPClientConnection, LookUpFailureGivesTheResolversReason) {
  std::vector<TSocketAddress> addresses;
  std::string reason;
  EXPECT_NE(ResolveAddresses("module.example", 1, true, addresses, &reason), 0);
  EXPECT_EQ(reason, "name or service not known");
  EXPECT_TRUE(addresses.empty());
}

// Address literals are read without the resolver where they can be; the
// addresses must be exactly what the resolver gives, whichever way is taken.
TEST(TCPClientConnection, AddressLiteralsResolveAsTheResolverReadsThem) {
  const char* hosts[] = {"127.0.0.1", "10.1.2.3", "::1", "::ffff:10.0.0.1", "fe80::1:2",
                         "127.1",     "0x7f.1",   "fe80::1%lo"};
  for (const char* host : hosts) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* list = nullptr;
    ASSERT_EQ(getaddrinfo(host, "4242", &hints, &list), 0) << host;
    std::vector<std::string> expected;
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next)
      expected.emplace_back(reinterpret_cast<const char*>(ai->ai_addr), ai->ai_addrlen);
    freeaddrinfo(list);

    std::vector<TSocketAddress> addresses;
    std::string reason;
    ASSERT_EQ(ResolveAddresses(host, 4242, true, addresses, &reason), 0) << host << ": " << reason;
    std::vector<std::string> got;
    for (const TSocketAddress& a : addresses)
      got.emplace_back(reinterpret_cast<const char*>(&a.Addr), a.Length);
    EXPECT_EQ(got, expected) << host;
  }
}

TEST(TCPClientConnection, SuccessfulOpenClearsTheLastError) {
  TLoopbackListener listener;
  auto t = Make<TTCPClientInterface>(LoopbackString(UnusedLoopbackPort(), "::1"));
  EXPECT_FALSE(t->Open());
  EXPECT_NE(t->GetLastError().find("]:"), std::string::npos) << t->GetLastError();
  t->SetConnectionString(LoopbackString(listener.Port()));
  ASSERT_TRUE(t->Open());
  EXPECT_EQ(t->GetLastError(), "");
  t->Close(false);
  EXPECT_EQ(t->GetLastError(), "") << "closing on purpose is no failure";
}

TEST(TCPClientConnection, PeerThatNeverCompletesTheConnectionTimesOutAfterTheOpenWait) {
  TLoopbackListener listener(0);
  ASSERT_TRUE(listener.FillAcceptQueue());
  auto t = Make<TTCPClientInterface>(LoopbackString(listener.Port()));
  EXPECT_FALSE(OpenPastItsWait(*t));
  EXPECT_FALSE(t->GetActive());
  EXPECT_EQ(t->GetLastError(),
            "127.0.0.1:" + std::to_string(listener.Port()) + ": no answer within 1.5 s");
}

TEST(TCPClientConnection, AttemptLeftAfterTheOpenWaitStillOpensWhenItCompletesLater) {
  TLoopbackListener listener(0);
  ASSERT_TRUE(listener.FillAcceptQueue());
  auto t = Make<TTCPClientInterface>(LoopbackString(listener.Port()));
  TNoticeCounter n;
  n.Attach(*t);
  EXPECT_FALSE(OpenPastItsWait(*t));
  EXPECT_EQ(n.Opened, 0);
  // Room in the accept queue: the handshake completes on a repeated SYN, and
  // the connected event of the attempt still arrives with the messages.
  std::vector<TPeerSocket> accepted;
  EXPECT_TRUE(PumpUntil(
      [&] {
        for (TPeerSocket p = listener.Accept(0); p.Valid(); p = listener.Accept(0))
          accepted.push_back(std::move(p));
        return t->GetActive();
      },
      15000));
  EXPECT_EQ(n.Opened, 1);
  n.Detach(*t);
}

// A resolver that hangs, as one whose name server never answers, until the
// test lets it go (at the latest after a minute).
struct THangingResolver {
  static inline std::mutex Lock;
  static inline std::condition_variable Changed;
  static inline bool Released = false;
  static inline bool Returned = false;

  static int Resolve(const std::string&, std::uint16_t, bool, std::vector<TSocketAddress>&,
                     std::string* reason) {
    std::unique_lock<std::mutex> lock(Lock);
    Changed.wait_for(lock, std::chrono::seconds(60), [] { return Released; });
    Returned = true;
    Changed.notify_all();
    *reason = "temporary failure in name resolution";
    return EAI_AGAIN;
  }
};

TEST(TCPClientConnectionThreaded, LookUpThatHangsHoldsUpNeitherOpenNorTheRelease) {
  THangingResolver::Released = THangingResolver::Returned = false;
  const THostResolver previous = SetHostResolver(&THangingResolver::Resolve);
  auto t = Make<TTCPClientInterface>(LoopbackString(10001, "module.test"));
  EXPECT_FALSE(OpenPastItsWait(*t));
  EXPECT_EQ(t->GetLastError(), "module.test:10001: no answer within 1.5 s");
  t = nullptr;  // released while the look-up still hangs
  std::unique_lock<std::mutex> lock(THangingResolver::Lock);
  EXPECT_FALSE(THangingResolver::Returned) << "the release waited for the look-up";
  THangingResolver::Released = true;
  THangingResolver::Changed.notify_all();
  EXPECT_TRUE(THangingResolver::Changed.wait_for(lock, std::chrono::seconds(60),
                                                 [] { return THangingResolver::Returned; }));
  SetHostResolver(previous);
}

TEST(TCPClientConnection, OpenWhileOpenReturnsTrueWithoutANewAttempt) {
  TLoopbackListener listener;
  TPeerSocket peer;
  auto t = OpenTo(listener, peer);
  ASSERT_TRUE(t);
  ASSERT_TRUE(peer.Valid());
  TNoticeCounter n;
  n.Attach(*t);
  EXPECT_TRUE(t->Open());
  EXPECT_TRUE(t->SetActive(true));
  EXPECT_FALSE(listener.Pending(200));
  EXPECT_EQ(n.Opened, 0);
  n.Detach(*t);
}

TEST(TCPClientConnection, ActiveKeyOpensAndClosesTheConnection) {
  TLoopbackListener listener;
  auto t = Make<TTCPClientInterface>(LoopbackString(listener.Port()) + ";active=1");
  EXPECT_TRUE(t->GetActive());
  TPeerSocket peer = listener.Accept(2000);
  ASSERT_TRUE(peer.Valid());
  TNoticeCounter n;
  n.Attach(*t);
  t->SetConnectionString("active=0");
  EXPECT_FALSE(t->GetActive());
  EXPECT_EQ(n.Closed, 1);
  EXPECT_TRUE(peer.ReceiveExactly(1, 2000).empty());  // the peer sees the end
  t->SetConnectionString("ACTIVE=true");
  EXPECT_TRUE(t->GetActive());
  EXPECT_EQ(n.Opened, 1);
  n.Detach(*t);
}

TEST(TCPClientConnection, NewSettingsReopenAnOpenConnectionWithoutActiveKey) {
  TLoopbackListener first, second;
  auto t = Make<TTCPClientInterface>(LoopbackString(first.Port()) + ";active=TRUE");
  ASSERT_TRUE(t->GetActive());
  ASSERT_TRUE(first.Accept(2000).Valid());
  t->SetConnectionString("port=" + std::to_string(second.Port()));
  EXPECT_TRUE(t->GetActive());
  EXPECT_TRUE(second.Accept(2000).Valid());
  t->SetConnectionString("active=no");  // anything but TRUE or 1 means closed
  EXPECT_FALSE(t->GetActive());
}

TEST(TCPClientConnection, ClearingPermittedClosesTheConnection) {
  TLoopbackListener listener;
  TPeerSocket peer;
  auto t = OpenTo(listener, peer);
  ASSERT_TRUE(t);
  TNoticeCounter n;
  n.Attach(*t);
  t->SetPermitted(true);
  EXPECT_TRUE(t->GetActive());
  t->SetPermitted(false);
  EXPECT_FALSE(t->GetActive());
  EXPECT_FALSE(t->GetPermitted());
  EXPECT_EQ(n.Closed, 1);
  EXPECT_EQ(t->GetLocalPort(), -1);
  n.Detach(*t);
}

TEST(TCPClientConnection, CloseAnnouncesOnceAndWriteOnClosedTransportReturnsZero) {
  TLoopbackListener listener;
  TPeerSocket peer;
  auto t = OpenTo(listener, peer);
  ASSERT_TRUE(t);
  TNoticeCounter n;
  n.Attach(*t);
  EXPECT_TRUE(t->Close(false));
  EXPECT_TRUE(t->Close(true));
  EXPECT_EQ(n.Closed, 1);
  EXPECT_EQ(t->Write(TBytes{1, 2, 3}), 0);
  TBytes data{9};
  t->Read(data);
  EXPECT_TRUE(data.empty());
  EXPECT_EQ(t->GetReceivedCount(), 0);
  n.Detach(*t);
}

// ---------------------------------------------------------------------------

TEST(TCPClientPeerClose, PollingNoticesThePeerClosing) {
  TLoopbackListener listener;
  TPeerSocket peer;
  auto t = OpenTo(listener, peer);
  ASSERT_TRUE(t);
  TNoticeCounter n;
  n.Attach(*t);
  peer.Close();
  std::uint32_t start = GetTickCount32();
  while (t->GetActive() && GetTickCount32() - start < 5000) {
    EXPECT_EQ(t->GetReceivedCount(), 0);
    t->WaitReceived(100);  // ends when the end of the stream arrives
  }
  EXPECT_FALSE(t->GetActive());
  EXPECT_EQ(n.Closed, 1);
  n.Detach(*t);
}

// How the peer ends the connection, how the transport comes to notice it,
// and the last error it keeps.
struct TLostCase {
  const char* Name;
  bool Reset;
  bool ByRead;  // Read notices it; else the polling of GetReceivedCount
  const char* Reason;
};

class TCPClientLost : public ::testing::TestWithParam<TLostCase> {};

TEST_P(TCPClientLost, LostConnectionKeepsItsReason) {
  const TLostCase& c = GetParam();
  TLoopbackListener listener;
  TPeerSocket peer;
  auto t = OpenTo(listener, peer);
  ASSERT_TRUE(t);
  ASSERT_TRUE(peer.Valid());
  // A request the peer has taken, as in a run.
  ASSERT_EQ(t->Write(TBytes{1, 2, 3}), 3);
  ASSERT_EQ(peer.ReceiveExactly(3, 5000).size(), 3u);
  if (c.Reset)
    peer.Abort();
  else
    peer.Close();
  std::uint32_t start = GetTickCount32();
  while (t->GetActive() && GetTickCount32() - start < 5000) {
    if (c.ByRead) {
      TBytes data;
      t->Read(data);
    } else {
      t->GetReceivedCount();
    }
    t->WaitReceived(100);  // ends at once when the end of the connection arrives
  }
  EXPECT_FALSE(t->GetActive());
  EXPECT_EQ(t->GetLastError(), "127.0.0.1:" + std::to_string(listener.Port()) + ": " + c.Reason);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, TCPClientLost,
    ::testing::Values(TLostCase{"ClosedSeenByPolling", false, false, "connection closed by the module"},
                      TLostCase{"ClosedSeenByRead", false, true, "connection closed by the module"},
                      TLostCase{"ResetSeenByPolling", true, false, "connection reset"},
                      TLostCase{"ResetSeenByRead", true, true, "connection reset"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(TCPClientPeerClose, BytesSentBeforeTheCloseAreStillRead) {
  TLoopbackListener listener;
  TPeerSocket peer;
  auto t = OpenTo(listener, peer);
  ASSERT_TRUE(t);
  ASSERT_TRUE(peer.SendAll(TBytes{1, 2, 3}));
  peer.Close();
  ASSERT_TRUE(t->WaitReceived(2000));
  TBytes data;
  t->Read(data);
  EXPECT_EQ(data, (TBytes{1, 2, 3}));
  EXPECT_FALSE(t->WaitReceived(5000));  // ends when the end of the stream is seen
  EXPECT_FALSE(t->GetActive());
}

TEST(TCPClientPeerClose, DispatchedMessagesDeliverDataAndDisconnectEvents) {
  TLoopbackListener listener;
  TPeerSocket peer;
  auto t = OpenTo(listener, peer);
  ASSERT_TRUE(t);
  TNoticeCounter n;
  n.Attach(*t);
  ASSERT_TRUE(peer.SendAll(TBytes{0x2A}));
  EXPECT_TRUE(PumpUntil([&] { return n.Data > 0; }));
  TBytes data;
  t->Read(data);
  EXPECT_EQ(data, (TBytes{0x2A}));
  peer.Close();
  EXPECT_TRUE(PumpUntil([&] { return n.Closed > 0; }));
  EXPECT_FALSE(t->GetActive());
  n.Detach(*t);
}

TEST(TCPClientPeerClose, FailingSendClosesTheTransport) {
  TLoopbackListener listener;
  TPeerSocket peer;
  auto t = OpenTo(listener, peer);
  ASSERT_TRUE(t);
  TNoticeCounter n;
  n.Attach(*t);
  peer.Abort();  // a reset: the next sends fail
  TBytes block(100, 0x55);
  std::int32_t written = 0;
  for (std::uint32_t start = GetTickCount32(); t->GetActive() && GetTickCount32() - start < 5000;) {
    written = t->Write(block);
    t->WaitReceived(100);  // ends when the reset arrives
  }
  EXPECT_FALSE(t->GetActive());
  EXPECT_EQ(n.Closed, 1);
  EXPECT_LT(written, 100);
  EXPECT_EQ(t->Write(block), 0);
  EXPECT_EQ(t->GetLastError(), "127.0.0.1:" + std::to_string(listener.Port()) + ": connection reset");
  n.Detach(*t);
}

TEST(TCPClientWriteThreaded, ResetWhileAWriteWaitsForRoomClosesTheTransport) {
  TLoopbackListener listener;
  TPeerSocket peer;
  auto t = OpenTo(listener, peer);
  ASSERT_TRUE(t);
  ASSERT_TRUE(peer.Valid());
  TNoticeCounter n;
  n.Attach(*t);
  // The peer reads nothing, so the write soon waits for room; then it resets.
  const pid_t writer = CurrentThreadId();
  std::thread resetter([&] {
    EXPECT_TRUE(ThreadSleepsSoon(writer, 10000));
    peer.Abort();
  });
  TBytes big(64 * 1024 * 1024, 0x55);
  std::int32_t written = t->Write(big);
  resetter.join();
  EXPECT_LT(written, static_cast<std::int32_t>(big.size()));
  EXPECT_FALSE(t->GetActive()) << "a reset during a write left the connection half-open";
  EXPECT_EQ(n.Closed, 1);
  n.Detach(*t);
}

TEST(TCPClientWriteThreaded, LargeWriteIsSentWholeWhileThePeerReadsSlowly) {
  TLoopbackListener listener;
  TPeerSocket peer;
  auto t = OpenTo(listener, peer);
  ASSERT_TRUE(t);
  TBytes big(4 * 1024 * 1024);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  TBytes got;
  const pid_t writer = CurrentThreadId();
  std::thread reader([&] {
    EXPECT_TRUE(ThreadSleepsSoon(writer, 10000));  // the buffers are full first
    got = peer.ReceiveExactly(big.size(), 5000);
  });
  std::int32_t written = t->Write(big);
  reader.join();
  EXPECT_EQ(written, static_cast<std::int32_t>(big.size()));
  EXPECT_TRUE(got == big);
}

TEST(TCPClientReadThreaded, ReadTakesWhatWaitsAndReturnsWhileThePeerKeepsSending) {
  TLoopbackListener listener;
  TPeerSocket peer;
  auto t = OpenTo(listener, peer);
  ASSERT_TRUE(t);
  ASSERT_TRUE(peer.Valid());
  constexpr std::size_t kBlock = 16 * 1024;
  std::atomic<std::size_t> sent{0};
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    TBytes block(kBlock, 0x2A);
    std::uint32_t start = GetTickCount32();
    while (!stop && GetTickCount32() - start < 10000) {
      ssize_t n = send(peer.Fd(), block.data(), block.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sent += static_cast<std::size_t>(n);
    }
  });
  ASSERT_TRUE(t->WaitReceived(2000));
  // Some blocks more, so that the read has plenty waiting.
  for (std::uint32_t start = GetTickCount32();
       sent < 4 * kBlock && GetTickCount32() - start < 5000;)
    std::this_thread::yield();
  // What waits when Read begins was sent before it, give or take the one
  // send under way at that moment.
  const std::size_t sentBefore = sent.load();
  TBytes data;
  t->Read(data);
  stop = true;
  flood.join();
  EXPECT_FALSE(data.empty());
  EXPECT_LE(data.size(), sentBefore + kBlock);
  EXPECT_TRUE(t->GetActive());
}

// ---------------------------------------------------------------------------

struct TTraceCapture {
  std::vector<std::pair<std::int32_t, TBytes>> Blocks;
  void OnTrace(TIntf<ICommunicationInterface>, const TBytes& data, std::int32_t direction) {
    if (!data.empty()) Blocks.emplace_back(direction, data);
  }
};

TEST(TCPClientTrace, WrittenAndReadBlocksAreTracedWithTheirDirection) {
  TLoopbackListener listener;
  TPeerSocket peer;
  auto t = OpenTo(listener, peer);
  ASSERT_TRUE(t);
  TTraceCapture capture;
  TTraceHandler saved = GetTraceHandler();
  SetTraceHandler(TTraceHandler::Of<&TTraceCapture::OnTrace>(&capture));
  t->Write(TBytes{1, 2});
  ASSERT_TRUE(peer.SendAll(TBytes{3}));
  ASSERT_TRUE(t->WaitReceived(2000));
  TBytes data;
  t->Read(data);
  SetTraceHandler(saved);
  ASSERT_EQ(capture.Blocks.size(), 2u);
  EXPECT_EQ(capture.Blocks[0], (std::pair<std::int32_t, TBytes>{1, TBytes{1, 2}}));
  EXPECT_EQ(capture.Blocks[1], (std::pair<std::int32_t, TBytes>{2, TBytes{3}}));
}

// ---------------------------------------------------------------------------

TEST(TCPClientFactory, ProviderNameAndKeysMatchInAnyCaseAfterBlanksAreRemoved) {
  RegisterProvider(&CreateTCPClientInterface, kTCPClientProvider);
  TIntf<ICommunicationInterface> t;
  bool made = CreateTransport("Provider = tcp_client ; Port=10001", t);
  UnregisterProvider(&CreateTCPClientInterface);
  ASSERT_TRUE(made);
  auto tcp = Supports<ITCPClientInterface>(t);
  ASSERT_TRUE(tcp);
  EXPECT_EQ(tcp->GetPort(), 10001);
  EXPECT_FALSE(t->GetActive());  // the factory does not open
}

TEST(TCPClientFactory, ConstructorErrorReachesTheCaller) {
  RegisterProvider(&CreateTCPClientInterface, kTCPClientProvider);
  TIntf<ICommunicationInterface> t;
  EXPECT_THROW(CreateTransport("provider=TCP_CLIENT;port=1a", t), EConvertError);
  UnregisterProvider(&CreateTCPClientInterface);
  EXPECT_FALSE(t);
}

}  // namespace
