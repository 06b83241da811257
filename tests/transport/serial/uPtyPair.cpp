#include "uPtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

TComPath::TComPath(int comNumber, const std::string& path)
    : FVariable("VELTO_COM" + std::to_string(comNumber)) {
  setenv(FVariable.c_str(), path.c_str(), 1);
}

TComPath::~TComPath() {
  unsetenv(FVariable.c_str());
}

TPtyPair::TPtyPair(int comNumber) {
  FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  char name[128] = {};
  if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0 ||
      ptsname_r(FMaster, name, sizeof name) != 0) {
    CloseMaster();
    return;
  }
  FSlavePath = name;
  FComPath = std::make_unique<TComPath>(comNumber, FSlavePath);
}

TPtyPair::~TPtyPair() {
  CloseMaster();
}

void TPtyPair::CloseMaster() {
  if (FMaster >= 0) close(FMaster);
  FMaster = -1;
}

bool TPtyPair::Send(const TBytes& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = write(FMaster, bytes.data() + sent, bytes.size() - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{FMaster, POLLOUT, 0};
      if (poll(&p, 1, 10000) <= 0) return false;
    } else {
      return false;
    }
  }
  return true;
}

TBytes TPtyPair::Receive(std::size_t count, int timeoutMs) {
  TBytes got;
  std::uint8_t buffer[65536];
  while (got.size() < count) {
    pollfd p{FMaster, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0 || (p.revents & POLLIN) == 0) break;
    const ssize_t n = read(FMaster, buffer, sizeof buffer);
    if (n <= 0) break;
    got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}
