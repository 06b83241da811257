#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "support/uLoopbackPeer.h"
#include "transport/tcp/uci_ITCPClientInterface.h"
#include "transport/uConnectionString.h"
#include "transport/uTraceForwarder.h"
#include "transport/uTransports.h"

namespace {

// A temporary directory with a datagram socket in it, standing in for the
// monitor; TERVAN_MONITOR_SOCKET points there for the test.
class TraceForwarding : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/velto-trace-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    FDir = dir;
    FPath = FDir + "/monitor.sock";
    const char* old = std::getenv("TERVAN_MONITOR_SOCKET");
    FHadOld = old != nullptr;
    if (FHadOld) FOld = old;
    setenv("TERVAN_MONITOR_SOCKET", FPath.c_str(), 1);
    FSaved = GetTraceHandler();
    SetTraceHandler(TTraceHandler());
  }
  void TearDown() override {
    SetTraceHandler(FSaved);
    if (FHadOld)
      setenv("TERVAN_MONITOR_SOCKET", FOld.c_str(), 1);
    else
      unsetenv("TERVAN_MONITOR_SOCKET");
    if (FListener >= 0) close(FListener);
    unlink(FPath.c_str());
    rmdir(FDir.c_str());
  }
  void Listen() {
    FListener = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(FListener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, FPath.c_str(), FPath.size() + 1);
    ASSERT_EQ(bind(FListener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  // The next datagram, or empty when none came within `timeoutMs`.
  TBytes NextDatagram(int timeoutMs = 2000) {
    pollfd p{FListener, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return {};
    TBytes buffer(1 << 17);
    ssize_t n = recv(FListener, buffer.data(), buffer.size(), 0);
    buffer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return buffer;
  }
  std::string FDir, FPath, FOld;
  bool FHadOld = false;
  int FListener = -1;
  TTraceHandler FSaved;
};

TEST_F(TraceForwarding, PathOverrideAndDefaults) {
  EXPECT_EQ(TraceMonitorSocketPath(), FPath);
  unsetenv("TERVAN_MONITOR_SOCKET");
  std::string path = TraceMonitorSocketPath();
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0')
    EXPECT_EQ(path, std::string(runtime) + "/tervan-monitor.sock");
  else
    EXPECT_EQ(path, "/tmp/tervan-monitor-" + std::to_string(getuid()) + ".sock");
}

TEST_F(TraceForwarding, SwitchAfterSlashInLowerCaseForwardsEveryBlockWithDirection) {
  Listen();
  const char* argv[] = {"/usr/bin/prog", "/Address=1", "/dst"};
  ASSERT_TRUE(ScanTraceSwitches(3, argv));
  TLoopbackListener listener;
  auto t = Make<TTCPClientInterface>("host=127.0.0.1;port=" + std::to_string(listener.Port()));
  ASSERT_TRUE(t->Open());
  TPeerSocket peer = listener.Accept(2000);
  ASSERT_TRUE(peer.Valid());
  ASSERT_EQ(t->Write(TBytes{0x2A, 0x61}), 2);
  EXPECT_EQ(NextDatagram(), (TBytes{1, 0x2A, 0x61}));
  ASSERT_TRUE(peer.SendAll(TBytes{0x0D}));
  ASSERT_TRUE(t->WaitReceived(2000));
  TBytes data;
  t->Read(data);
  EXPECT_EQ(NextDatagram(), (TBytes{2, 0x0D}));
  t->Read(data);  // nothing read: nothing forwarded
  EXPECT_TRUE(NextDatagram(100).empty());
}

TEST_F(TraceForwarding, WithoutSwitchNothingIsSent) {
  Listen();
  const char* argv[] = {"prog", "/Address=1", "DSTX", "/-dst"};
  EXPECT_FALSE(ScanTraceSwitches(4, argv));
  EXPECT_FALSE(GetTraceHandler());
  TLoopbackListener listener;
  auto t = Make<TTCPClientInterface>("host=127.0.0.1;port=" + std::to_string(listener.Port()));
  ASSERT_TRUE(t->Open());
  EXPECT_EQ(t->Write(TBytes{1, 2, 3}), 3);
  EXPECT_TRUE(NextDatagram(200).empty());
}

TEST_F(TraceForwarding, ProgramPathItselfCanCarryTheSwitch) {
  const char* argv[] = {"STD"};
  EXPECT_TRUE(ScanTraceSwitches(1, argv));
  EXPECT_TRUE(GetTraceHandler());
}

TEST_F(TraceForwarding, NoMonitorListeningNeitherBlocksNorFails) {
  TTraceHandler forwarder = MakeTraceForwarder();
  TBytes block(100, 0x11);
  for (int i = 0; i < 1000; ++i) forwarder(nullptr, block, kTraceSent);  // nobody at the path
  // A monitor that starts later gets the blocks from then on.
  Listen();
  forwarder(nullptr, TBytes{7}, kTraceReceived);
  EXPECT_EQ(NextDatagram(), (TBytes{2, 7}));
}

TEST_F(TraceForwarding, EmptyBlockIsNotSentAndLargeBlockArrivesWhole) {
  Listen();
  TTraceHandler forwarder = MakeTraceForwarder();
  forwarder(nullptr, TBytes{}, kTraceSent);
  EXPECT_TRUE(NextDatagram(100).empty());
  TBytes big(kTraceDatagramPayload + 10);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i);
  forwarder(nullptr, big, kTraceSent);
  TBytes first = NextDatagram();
  TBytes second = NextDatagram();
  ASSERT_EQ(first.size(), kTraceDatagramPayload + 1);
  ASSERT_EQ(second.size(), 11u);
  EXPECT_EQ(first[0], 1);
  EXPECT_EQ(second[0], 1);
  TBytes joined(first.begin() + 1, first.end());
  joined.insert(joined.end(), second.begin() + 1, second.end());
  EXPECT_TRUE(joined == big);
}

TEST_F(TraceForwarding, InitTransportsScansSwitchesAndRegistersTcpUntilDone) {
  char prog[] = "prog";
  char sw[] = "-DST";
  char* argv[] = {prog, sw};
  InitTransports(2, argv);
  InitTransports(2, argv);  // a second start registers nothing more
  TTransportClass found = nullptr;
  EXPECT_TRUE(FindProvider("TCP_CLIENT", found));
  EXPECT_EQ(found, &CreateTCPClientInterface);
  std::size_t registered = 0;
  for (const auto& entry : ProviderRegistry())
    if (entry.TransportClass == &CreateTCPClientInterface) ++registered;
  EXPECT_EQ(registered, 1u);
  EXPECT_TRUE(GetTraceHandler());
  DoneTransports();
  EXPECT_FALSE(FindProvider("TCP_CLIENT", found));
  EXPECT_FALSE(GetTraceHandler());
}

}  // namespace
