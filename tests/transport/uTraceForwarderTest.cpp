#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "support/uLoopbackPeer.h"
#include "support/uScratchDir.h"
#include "transport/tcp/uci_ITCPClientInterface.h"
#include "transport/uConnectionString.h"
#include "transport/uTraceForwarder.h"
#include "transport/uTransports.h"

namespace {

constexpr int kWaitMs = 5000;

// A temporary directory with a datagram socket in it, standing in for the
// monitor; TERVAN_MONITOR_SOCKET points there for the test.
class TraceForwarding : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kPlaceVariables) {
      const char* old = std::getenv(name);
      if (old != nullptr) FOld[name] = old;
    }
    setenv("TERVAN_MONITOR_SOCKET", FPath.c_str(), 1);
    FSaved = GetTraceHandler();
    SetTraceHandler(TTraceHandler());
  }
  void TearDown() override {
    SetTraceHandler(FSaved);
    for (const char* name : kPlaceVariables) {
      if (FOld.count(name) != 0)
        setenv(name, FOld[name].c_str(), 1);
      else
        unsetenv(name);
    }
    if (FListener >= 0) close(FListener);
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
  TBytes NextDatagram(int timeoutMs = kWaitMs) {
    pollfd p{FListener, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return {};
    TBytes buffer(1 << 17);
    ssize_t n = recv(FListener, buffer.data(), buffer.size(), 0);
    buffer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return buffer;
  }
  static constexpr const char* kPlaceVariables[] = {"TERVAN_MONITOR_SOCKET", "XDG_RUNTIME_DIR"};
  TScratchDir FDir{"velto-trace"};
  std::string FPath = FDir / "monitor.sock";
  std::map<std::string, std::string> FOld;
  int FListener = -1;
  TTraceHandler FSaved;
};

TEST_F(TraceForwarding, PlaceFromTheEnvironment) {
  EXPECT_EQ(TraceMonitorSocketPlace().Path, FPath);
  unsetenv("TERVAN_MONITOR_SOCKET");
  setenv("XDG_RUNTIME_DIR", "/run/user/7", 1);
  EXPECT_EQ(TraceMonitorSocketPlace().Path, "/run/user/7/tervan-monitor.sock");
  EXPECT_EQ(TraceMonitorSocketPlace().PrivateDir, "");
  unsetenv("XDG_RUNTIME_DIR");
  const std::string own = "/tmp/tervan-monitor-" + std::to_string(getuid());
  EXPECT_EQ(TraceMonitorSocketPlace().Path, own + "/tervan-monitor.sock");
  EXPECT_EQ(TraceMonitorSocketPlace().PrivateDir, own);
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

// A monitor that reads as it can gets a block far larger than a socket
// buffer whole, in pieces that each carry the direction byte.
TEST_F(TraceForwarding, BlockLargerThanTheSocketBufferArrivesWholeInPieces) {
  Listen();
  TBytes block(4 << 20);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7);
  TBytes joined;
  bool piecesGood = true;
  std::thread monitor([&] {
    while (joined.size() < block.size()) {
      TBytes piece = NextDatagram(kWaitMs);
      if (piece.empty()) return;
      piecesGood =
          piecesGood && piece[0] == kTraceReceived && piece.size() <= kTraceDatagramPayload + 1;
      joined.insert(joined.end(), piece.begin() + 1, piece.end());
    }
  });
  TTraceForwarder forwarder({FPath, ""}, kWaitMs);
  forwarder.Forward(block, kTraceReceived);
  monitor.join();
  EXPECT_TRUE(piecesGood);
  EXPECT_EQ(joined.size(), block.size());
  EXPECT_TRUE(joined == block);
}

// --- Nothing goes to a place another user could hold -------------------------

TEST_F(TraceForwarding, PrivateDirectoryIsMadeOrRefused) {
  const std::string dir = FDir / "private";
  EXPECT_EQ(MakePrivateDirectory(dir), "");  // made
  struct stat info {};
  ASSERT_EQ(lstat(dir.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(chmod(dir.c_str(), 0775), 0);
  EXPECT_EQ(MakePrivateDirectory(dir), dir + ": others may write in it");
  rmdir(dir.c_str());
  ASSERT_EQ(symlink(FDir.Path().c_str(), dir.c_str()), 0);
  EXPECT_EQ(MakePrivateDirectory(dir), dir + ": is a link, not a directory");
  unlink(dir.c_str());
}

TEST_F(TraceForwarding, NothingIsSentToAnotherUsersSocketOrThroughAnUnsafeDirectory) {
  ASSERT_EQ(chmod(FDir.Path().c_str(), 0700), 0);  // the private directory here
  Listen();
  TTraceForwarder forwarder({FPath, FDir.Path()}, kWaitMs);
  auto arrives = [&](int waitMs) {
    forwarder.Forward(TBytes{7}, kTraceSent);
    return NextDatagram(waitMs) == TBytes{1, 7};
  };
  EXPECT_TRUE(arrives(kWaitMs));
  ASSERT_EQ(chmod(FDir.Path().c_str(), 0777), 0);
  EXPECT_FALSE(arrives(200));
  ASSERT_EQ(chmod(FDir.Path().c_str(), 0700), 0);
  if (geteuid() != 0) GTEST_SKIP() << "handing a file to another user needs root";
  for (const std::string& path : {FPath, FDir.Path()}) {
    ASSERT_EQ(chown(path.c_str(), 4242, 4242), 0);
    EXPECT_FALSE(arrives(200)) << path;
    ASSERT_EQ(chown(path.c_str(), geteuid(), getegid()), 0);
  }
  EXPECT_TRUE(arrives(kWaitMs));
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
