// How long Close of an open USB adapter takes while its receive thread sits in
// its 100 ms wait: the stop request must wake it at once. Runs against the
// stand-in D2XX library beside this program, whose adapter leads to a
// loopback listener here.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "transport/usb/uci_FTDIcore.h"

namespace {

// A loopback listener whose connections are taken and dropped in turn.
class TListener {
 public:
  TListener() {
    FFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(FFd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(FFd, 8) != 0 ||
        getsockname(FFd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      FPort = 0;
    else
      FPort = ntohs(address.sin_port);
  }
  ~TListener() { close(FFd); }
  TListener(const TListener&) = delete;
  TListener& operator=(const TListener&) = delete;

  int Port() const { return FPort; }
  void DropOne() {
    const int fd = accept(FFd, nullptr, nullptr);
    if (fd >= 0) close(fd);
  }

 private:
  int FFd = -1;
  int FPort = 0;
};

void BM_CloseWakesTheReceiveThread(benchmark::State& state) {
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  setenv("VELTO_D2XX_LIBRARY", (self.parent_path() / "libfake_d2xx.so").c_str(), 1);
  TListener listener;
  setenv("FAKE_D2XX_DEVICE", ("BENCH@127.0.0.1:" + std::to_string(listener.Port())).c_str(), 1);
  auto t = Make<TFTDIDevice>("provider=FTD_USB;serial_number=BENCH");
  for (auto _ : state) {
    if (!t->Open()) {
      state.SkipWithError(t->GetLastError().c_str());
      break;
    }
    // Long enough for the thread to be inside its 100 ms wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto start = std::chrono::steady_clock::now();
    t->Close(false);
    const auto stop = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
    listener.DropOne();
  }
}
BENCHMARK(BM_CloseWakesTheReceiveThread)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(50);

}  // namespace
