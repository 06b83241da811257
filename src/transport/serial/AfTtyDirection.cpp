// The tty calls of direction control.
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "transport/serial/AfLineDirection.h"
#include "transport/serial/AfTty.h"

namespace {

class TSystemDirectionTty final : public IAfDirectionTty {
 public:
  int SetRs485(int fd, bool enabled, std::uint32_t beforeMs, std::uint32_t afterMs) override {
    serial_rs485 config{};
    if (enabled) {
      // The driver on (RTS raised) while sending, off after.
      config.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
      config.delay_rts_before_send = beforeMs;
      config.delay_rts_after_send = afterMs;
    }
    return ioctl(fd, TIOCSRS485, &config) == 0 ? 0 : errno;
  }

  bool SetRts(int fd, bool raised) override {
    return TtySetModemLine(fd, TTtyOutputLine::Rts, raised);
  }

  bool WriteAll(int fd, const std::uint8_t* data, std::size_t n,
                std::uint32_t timeoutMs) override {
    using TClock = std::chrono::steady_clock;
    const TClock::time_point deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t done = 0;
    while (done < n) {
      const ssize_t wrote = ::write(fd, data + done, n - done);
      if (wrote > 0) {
        done += static_cast<std::size_t>(wrote);
        continue;
      }
      if (wrote < 0 && errno != EAGAIN && errno != EINTR) return false;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - TClock::now());
      if (left.count() <= 0) return false;
      pollfd watch{fd, POLLOUT, 0};
      if (poll(&watch, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    }
    return true;
  }

  bool Drain(int fd) override {
    while (tcdrain(fd) != 0)
      if (errno != EINTR) return false;
    return true;
  }

  void Pause(std::uint32_t microseconds) override {
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
  }
};

}  // namespace

IAfDirectionTty& SystemDirectionTty() {
  static TSystemDirectionTty tty;
  return tty;
}
