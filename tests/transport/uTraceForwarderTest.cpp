#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "transport/tcp/uLoopbackPeer.h"
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
  TBytes NextDatagram(int timeoutMs = kWaitMs) {
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

TEST_F(TraceForwarding, PlaceFromTheEnvironment) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string savedRuntime = runtime != nullptr ? runtime : "";
  const std::string own = "/tmp/tervan-monitor-" + std::to_string(getuid());
  struct TCase {
    const char* Socket;
    const char* Runtime;
    std::string Path;
    std::string PrivateDir;
  };
  for (const TCase& c : {TCase{"/x/m.sock", "/run/user/7", "/x/m.sock", ""},
                         TCase{nullptr, "/run/user/7", "/run/user/7/tervan-monitor.sock", ""},
                         TCase{nullptr, "", own + "/tervan-monitor.sock", own},
                         TCase{nullptr, nullptr, own + "/tervan-monitor.sock", own}}) {
    for (auto [name, value] :
         {std::pair{"TERVAN_MONITOR_SOCKET", c.Socket}, std::pair{"XDG_RUNTIME_DIR", c.Runtime}}) {
      if (value != nullptr)
        setenv(name, value, 1);
      else
        unsetenv(name);
    }
    const TTraceSocketPlace place = TraceMonitorSocketPlace();
    EXPECT_EQ(place.Path, c.Path);
    EXPECT_EQ(place.PrivateDir, c.PrivateDir);
  }
  if (runtime != nullptr)
    setenv("XDG_RUNTIME_DIR", savedRuntime.c_str(), 1);
  else
    unsetenv("XDG_RUNTIME_DIR");
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

// A directory with exactly `mode`, whatever the umask.
void MakeDir(const std::string& path, mode_t mode) {
  ASSERT_EQ(mkdir(path.c_str(), mode), 0);
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

TEST_F(TraceForwarding, PrivateDirectoryIsMadeOrRefused) {
  struct TCase {
    const char* Name;
    std::function<void(const std::string&)> Prepare;
    const char* Refusal;  // nullptr: accepted
  };
  const TCase cases[] = {
      {"missing", [](const std::string&) {}, nullptr},
      {"readable by others", [](const std::string& d) { MakeDir(d, 0755); }, nullptr},
      {"writable by all", [](const std::string& d) { MakeDir(d, 0777); }, "others may write"},
      {"writable by the group", [](const std::string& d) { MakeDir(d, 0770); }, "others may write"},
      {"a link", [this](const std::string& d) { symlink(FDir.c_str(), d.c_str()); }, "is a link"},
      {"a file", [](const std::string& d) { close(creat(d.c_str(), 0600)); }, "not a directory"},
  };
  for (const TCase& c : cases) {
    const std::string dir = FDir + "/private";
    c.Prepare(dir);
    const std::string why = MakePrivateDirectory(dir);
    if (c.Refusal == nullptr) {
      EXPECT_EQ(why, "") << c.Name;
      struct stat info {};
      EXPECT_EQ(lstat(dir.c_str(), &info), 0);
      EXPECT_TRUE(S_ISDIR(info.st_mode)) << c.Name;
      EXPECT_EQ(info.st_mode & 022, 0u) << c.Name;
    } else {
      EXPECT_NE(why.find(c.Refusal), std::string::npos) << c.Name << ": " << why;
      EXPECT_EQ(why.rfind(dir, 0), 0u) << why;  // the line names the path
    }
    if (rmdir(dir.c_str()) != 0) unlink(dir.c_str());
  }
}

TEST_F(TraceForwarding, NothingIsSentToAnotherUsersSocketOrThroughAnUnsafeDirectory) {
  // The private directory is FDir itself here.
  ASSERT_EQ(chmod(FDir.c_str(), 0700), 0);
  Listen();
  TTraceForwarder forwarder({FPath, FDir}, kWaitMs);
  forwarder.Forward(TBytes{1}, kTraceSent);
  EXPECT_EQ(NextDatagram(), (TBytes{1, 1}));

  ASSERT_EQ(chmod(FDir.c_str(), 0777), 0);
  forwarder.Forward(TBytes{2}, kTraceSent);
  EXPECT_TRUE(NextDatagram(200).empty());
  ASSERT_EQ(chmod(FDir.c_str(), 0700), 0);

  if (geteuid() != 0) GTEST_SKIP() << "handing a file to another user needs root";
  ASSERT_EQ(chown(FPath.c_str(), 4242, 4242), 0);
  forwarder.Forward(TBytes{3}, kTraceSent);
  EXPECT_TRUE(NextDatagram(200).empty());
  EXPECT_NE(CheckOwnSocket(FPath).find("owned by uid 4242"), std::string::npos);
  ASSERT_EQ(chown(FPath.c_str(), geteuid(), getegid()), 0);
  ASSERT_EQ(chown(FDir.c_str(), 4242, 4242), 0);
  forwarder.Forward(TBytes{4}, kTraceSent);
  EXPECT_TRUE(NextDatagram(200).empty());
  ASSERT_EQ(chown(FDir.c_str(), geteuid(), getegid()), 0);
  forwarder.Forward(TBytes{5}, kTraceSent);
  EXPECT_EQ(NextDatagram(), (TBytes{1, 5}));
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
