#include "transport/serial/AfTty.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>

#include "framework/uErrors.h"
#include "transport/serial/AfTtyRate.h"
#include "transport/serial/AfTtyTermios.h"
#include "transport/serial/AfUtils.h"

std::string ComPortPath(int portNumber) {
  const std::string name = "VELTO_COM" + std::to_string(portNumber);
  if (const char* path = std::getenv(name.c_str()); path != nullptr && *path != '\0') return path;
  return "/dev/ttyS" + std::to_string(portNumber - 1);
}

std::string TtyFailureReason(const std::string& path, int error, bool& noDevice) {
  noDevice = false;
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO:
      noDevice = true;
      return path + ": no such device";
    case EBUSY:
    case EWOULDBLOCK:
      return path + " is in use by another program";
    case EACCES:
    case EPERM:
      return path +
             ": permission denied (add your user to the group that owns it, usually dialout)";
    case ENOTTY:
    case EINVAL:
      return path + ": not a serial device";
    case ENOSYS:
      // Only the bit-rate call of a rate outside the standard list ends here:
      // a kernel without it, or a user-mode emulator that does not pass it on.
      return path + ": this system cannot set bit rates outside the standard list";
    default:
      return path + ": " + ErrnoText(error);
  }
}

namespace {

TTtyOpenResult Failed(const std::string& path, int error, int& fd) {
  SafeCloseHandle(fd);
  TTtyOpenResult result;
  bool noDevice = false;
  result.Reason = TtyFailureReason(path, error, noDevice);
  result.Failure = noDevice ? TTtyOpenFailure::NoDevice : TTtyOpenFailure::CannotOpen;
  return result;
}

TTtyOpenResult Held(const std::string& path, int& fd) {
  SafeCloseHandle(fd);
  TTtyOpenResult result;
  result.Failure = TTtyOpenFailure::Held;
  result.Reason = path + " is in use by another program";
  return result;
}

// The low-latency flag outlives the descriptor, so a port we set it on gets
// back the flags it had when we close it. Kept by descriptor, since the
// port's owner keeps nothing else of the open.
std::mutex gSavedFlagsLock;
std::map<int, int> gSavedFlags;

void AskLowLatency(int fd) {
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
  if ((serial.flags & ASYNC_LOW_LATENCY) != 0) return;
  const int before = serial.flags;
  serial.flags |= ASYNC_LOW_LATENCY;
  // Refused by many drivers (and for an unprivileged user); the line works without.
  if (ioctl(fd, TIOCSSERIAL, &serial) != 0) return;
  std::lock_guard<std::mutex> guard(gSavedFlagsLock);
  gSavedFlags[fd] = before;
}

// Only the flag we changed goes back: anything else another program set
// while we held the port stays.
void RestoreSerialFlags(int fd) {
  int before = 0;
  {
    std::lock_guard<std::mutex> guard(gSavedFlagsLock);
    auto saved = gSavedFlags.find(fd);
    if (saved == gSavedFlags.end()) return;
    before = saved->second;
    gSavedFlags.erase(saved);
  }
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return;  // the device has gone
  serial.flags = (serial.flags & ~ASYNC_LOW_LATENCY) | (before & ASYNC_LOW_LATENCY);
  ioctl(fd, TIOCSSERIAL, &serial);
}

// The far side of a pseudo-terminal (socat, the simulator) may stay open
// when we end: the exclusive-open flag would then outlive us, even a killed
// run, and keep every later opener but root out. The lock goes with us.
bool IsPseudoTerminal(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned int major = ::major(st.st_rdev);
  // Unix98 slaves (136 to 143) and the old BSD-style slaves (3).
  return (major >= 136 && major <= 143) || major == 3;
}

}  // namespace

TTtyOpenResult OpenTtyExclusive(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY ? Held(path, fd) : Failed(path, errno, fd);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0)
    return errno == EWOULDBLOCK ? Held(path, fd) : Failed(path, errno, fd);
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return Failed(path, errno, fd);
  // Root opens through another holder's exclusive-open flag: look at it.
  // Where the flag cannot be read (a user-mode emulator answers ENOSYS), the
  // lock above is what keeps programs apart, and a held lock is still waited for.
  int exclusive = 0;
  if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) return Held(path, fd);
  if (!IsPseudoTerminal(fd)) ioctl(fd, TIOCEXCL);
  AskLowLatency(fd);
  TTtyOpenResult result;
  result.Fd = fd;
  return result;
}

void CloseTty(int& fd) {
  if (fd >= 0) {
    RestoreSerialFlags(fd);
    ioctl(fd, TIOCNXCL);
  }
  SafeCloseHandle(fd);
}

int TtyInQueue(int fd) {
  int count = 0;
  if (ioctl(fd, FIONREAD, &count) != 0) return -1;
  return count;
}

int TtyOutQueue(int fd) {
  int count = 0;
  if (ioctl(fd, TIOCOUTQ, &count) != 0) return 0;
  return count;
}

bool TtyModemLines(int fd, std::uint32_t& status) {
  int bits = 0;
  if (ioctl(fd, TIOCMGET, &bits) != 0) return false;
  status = 0;
  if ((bits & TIOCM_CTS) != 0) status |= kModemCts;
  if ((bits & TIOCM_DSR) != 0) status |= kModemDsr;
  if ((bits & TIOCM_RI) != 0) status |= kModemRing;
  if ((bits & TIOCM_CD) != 0) status |= kModemRlsd;
  return true;
}

bool TtySetModemLine(int fd, TTtyOutputLine line, bool raised) {
  int bit = line == TTtyOutputLine::Dtr ? TIOCM_DTR : TIOCM_RTS;
  if (ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &bit) == 0) return true;
  return errno == ENOTTY || errno == EINVAL;
}

bool TtyReadCounters(int fd, TTtyCounters& counters) {
  serial_icounter_struct icount{};
  if (ioctl(fd, TIOCGICOUNT, &icount) != 0) return false;
  counters.Cts = static_cast<std::uint32_t>(icount.cts);
  counters.Dsr = static_cast<std::uint32_t>(icount.dsr);
  counters.Ring = static_cast<std::uint32_t>(icount.rng);
  counters.Dcd = static_cast<std::uint32_t>(icount.dcd);
  counters.Frame = static_cast<std::uint32_t>(icount.frame);
  counters.Parity = static_cast<std::uint32_t>(icount.parity);
  counters.Overrun = static_cast<std::uint32_t>(icount.overrun);
  counters.Break = static_cast<std::uint32_t>(icount.brk);
  counters.BufferOverrun = static_cast<std::uint32_t>(icount.buf_overrun);
  return true;
}

namespace {

bool ReadBack(int fd, termios& settings, std::uint32_t& rate) {
  if (tcgetattr(fd, &settings) != 0) return false;
  if (!GetTtyRate(fd, rate)) rate = SpeedRate(cfgetospeed(&settings));
  return true;
}

// The rate the line really makes of `reported`, where the driver tells its
// base rate (a UART does; a pseudo-terminal does not, and keeps any rate).
std::uint32_t RateMade(int fd, std::uint32_t reported) {
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || serial.baud_base <= 0) return reported;
  const auto base = static_cast<std::uint32_t>(serial.baud_base);
  // The old way to an odd rate: 38400 stands for base over a divisor of one's own.
  if ((serial.flags & ASYNC_SPD_MASK) == ASYNC_SPD_CUST && serial.custom_divisor > 0 &&
      reported == 38400)
    return base / static_cast<std::uint32_t>(serial.custom_divisor);
  return DivisorRate(base, reported);
}

bool SetLinesFromRecord(int fd, const TAfLineRecord& record) {
  bool ok = true;
  const std::uint32_t dtr = record.Flags & kLineDtrMask;
  const std::uint32_t rts = record.Flags & kLineRtsMask;
  if (dtr != kLineDtrHandshake)
    ok = TtySetModemLine(fd, TTtyOutputLine::Dtr, dtr == kLineDtrEnable) && ok;
  if (rts != kLineRtsHandshake && rts != kLineRtsToggle)
    ok = TtySetModemLine(fd, TTtyOutputLine::Rts, rts == kLineRtsEnable) && ok;
  return ok;
}

}  // namespace

TTtyApply ApplyLineRecord(int fd, TAfLineRecord& record, std::string& untaken) {
  termios current{};
  std::uint32_t currentRate = 0;
  if (!ReadBack(fd, current, currentRate)) return TTtyApply::Failed;
  termios wanted = current;
  untaken = RecordToTermios(record, wanted);
  if (!untaken.empty()) {
    TermiosToRecord(current, currentRate, record);
    return TTtyApply::Untaken;
  }
  speed_t speed = B0;
  const bool standard = StandardSpeed(record.BaudRate, speed);
  // The C library reports EINVAL when the tty kept other framing than asked
  // (as a pseudo-terminal does); what it kept is read back below.
  bool partly = false;
  if (tcsetattr(fd, TCSANOW, &wanted) != 0) {
    if (errno != EINVAL) return TTtyApply::Failed;
    partly = true;
  }
  if (!standard && !SetTtyRate(fd, record.BaudRate) && (errno == EIO || errno == ENOSYS))
    return TTtyApply::Failed;
  if (!SetLinesFromRecord(fd, record)) return TTtyApply::Failed;
  termios got{};
  std::uint32_t gotRate = 0;
  if (!ReadBack(fd, got, gotRate)) return TTtyApply::Failed;
  gotRate = RateMade(fd, gotRate);
  untaken = UntakenSettings(wanted, record.BaudRate, got, gotRate);
  if (untaken.empty()) {
    if (!partly) return TTtyApply::Applied;
    errno = EINVAL;
    return TTtyApply::Failed;
  }
  TermiosToRecord(got, gotRate, record);
  return TTtyApply::Untaken;
}
