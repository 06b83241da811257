#include "transport/serial/AfTtyTermios.h"

#include <array>
#include <utility>

namespace {

constexpr std::array<std::pair<std::uint32_t, speed_t>, 30> kSpeeds{{
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
}};

// Options of the record that a tty has no form for.
struct TUntakeable {
  std::uint32_t Bits;
  const char* Name;
};
constexpr std::array<TUntakeable, 5> kUntakeable{{
    {kLineDsrSensitivity, "DSR sensitivity"},
    {kLineErrorChar, "error character replacement"},
    {kLineNull, "null stripping"},
    {kLineAbortOnError, "abort on error"},
    {kLineOutDsrFlow, "DTR/DSR flow control"},
}};

void Add(std::string& list, const std::string& item) {
  if (!list.empty()) list += ", ";
  list += item;
}

constexpr tcflag_t kFramingBits = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR;

}  // namespace

bool StandardSpeed(std::uint32_t rate, speed_t& speed) {
  for (const auto& [r, s] : kSpeeds) {
    if (r == rate) {
      speed = s;
      return true;
    }
  }
  return false;
}

std::uint32_t SpeedRate(speed_t speed) {
  for (const auto& [r, s] : kSpeeds)
    if (s == speed) return r;
  return 0;
}

std::string RecordToTermios(const TAfLineRecord& record, termios& settings) {
  std::string untaken;
  if (record.BaudRate == 0) Add(untaken, "bit rate 0");

  tcflag_t size = CS8;
  switch (record.ByteSize) {
    case 5:
      size = CS5;
      break;
    case 6:
      size = CS6;
      break;
    case 7:
      size = CS7;
      break;
    case 8:
      size = CS8;
      break;
    default:
      Add(untaken, std::to_string(record.ByteSize) + " data bits");
  }

  tcflag_t parity = 0;
  switch (record.Parity) {
    case kParityNone:
      break;
    case kParityOdd:
      parity = PARENB | PARODD;
      break;
    case kParityEven:
      parity = PARENB;
      break;
    case kParityMark:
      parity = PARENB | PARODD | CMSPAR;
      break;
    case kParitySpace:
      parity = PARENB | CMSPAR;
      break;
    default:
      Add(untaken, "parity code " + std::to_string(record.Parity));
  }

  // A tty knows one or two stop bits; one and a half is sent as two.
  if (record.StopBits > kStopBitsTwo)
    Add(untaken, "stop-bit code " + std::to_string(record.StopBits));
  const tcflag_t stop = record.StopBits == kStopBitsOne ? 0 : CSTOPB;

  for (const TUntakeable& option : kUntakeable)
    if ((record.Flags & option.Bits) != 0) Add(untaken, option.Name);
  if ((record.Flags & kLineDtrMask) == kLineDtrHandshake && (record.Flags & kLineOutDsrFlow) == 0)
    Add(untaken, "DTR/DSR flow control");
  if ((record.Flags & kLineRtsMask) == kLineRtsToggle) Add(untaken, "RTS toggling");

  const bool hardwareFlow =
      (record.Flags & kLineOutCtsFlow) != 0 || (record.Flags & kLineRtsMask) == kLineRtsHandshake;

  settings.c_iflag &= ~static_cast<tcflag_t>(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                             IXON | IXOFF | IXANY | INPCK | IGNPAR | IMAXBEL);
  // A break is reported as a line event, not as a zero byte in the data.
  settings.c_iflag |= IGNBRK;
  if ((record.Flags & kLineParityCheck) != 0) settings.c_iflag |= INPCK;
  if ((record.Flags & kLineOutX) != 0) settings.c_iflag |= IXON;
  if ((record.Flags & kLineInX) != 0) settings.c_iflag |= IXOFF;
  settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  settings.c_lflag &=
      ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  settings.c_cflag &= ~(kFramingBits | CRTSCTS);
  settings.c_cflag |= CLOCAL | CREAD | size | parity | stop | (hardwareFlow ? CRTSCTS : 0);
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  settings.c_cc[VSTART] = static_cast<cc_t>(record.XonChar);
  settings.c_cc[VSTOP] = static_cast<cc_t>(record.XoffChar);

  speed_t speed = B0;
  if (StandardSpeed(record.BaudRate, speed)) {
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
  }
  return untaken;
}

std::string UntakenSettings(const termios& wanted, std::uint32_t wantedRate, const termios& got,
                            std::uint32_t gotRate) {
  std::string untaken;
  const std::uint64_t difference =
      wantedRate > gotRate ? wantedRate - gotRate : gotRate - wantedRate;
  if (difference * 100 > std::uint64_t{wantedRate} * 3) Add(untaken, "bit rate");
  if ((wanted.c_cflag & CSIZE) != (got.c_cflag & CSIZE)) Add(untaken, "data bits");
  if ((wanted.c_cflag & (PARENB | PARODD | CMSPAR)) != (got.c_cflag & (PARENB | PARODD | CMSPAR)))
    Add(untaken, "parity");
  if ((wanted.c_cflag & CSTOPB) != (got.c_cflag & CSTOPB)) Add(untaken, "stop bits");
  if ((wanted.c_cflag & CRTSCTS) != (got.c_cflag & CRTSCTS)) Add(untaken, "RTS/CTS flow control");
  if ((wanted.c_iflag & (IXON | IXOFF)) != (got.c_iflag & (IXON | IXOFF)))
    Add(untaken, "XON/XOFF flow control");
  if ((wanted.c_iflag & INPCK) != (got.c_iflag & INPCK)) Add(untaken, "parity check");
  return untaken;
}

void TermiosToRecord(const termios& settings, std::uint32_t rate, TAfLineRecord& record) {
  record.BaudRate = rate;
  switch (settings.c_cflag & CSIZE) {
    case CS5:
      record.ByteSize = 5;
      break;
    case CS6:
      record.ByteSize = 6;
      break;
    case CS7:
      record.ByteSize = 7;
      break;
    default:
      record.ByteSize = 8;
      break;
  }
  const tcflag_t parity = settings.c_cflag & (PARENB | PARODD | CMSPAR);
  if ((parity & PARENB) == 0)
    record.Parity = kParityNone;
  else if ((parity & CMSPAR) != 0)
    record.Parity = (parity & PARODD) != 0 ? kParityMark : kParitySpace;
  else
    record.Parity = (parity & PARODD) != 0 ? kParityOdd : kParityEven;
  if ((settings.c_cflag & CSTOPB) == 0)
    record.StopBits = kStopBitsOne;
  else if (record.StopBits != kStopBitsOneAndHalf)
    record.StopBits = kStopBitsTwo;

  std::uint32_t flags =
      record.Flags & ~(kLineParityCheck | kLineOutCtsFlow | kLineOutDsrFlow | kLineDsrSensitivity |
                       kLineOutX | kLineInX | kLineErrorChar | kLineNull | kLineAbortOnError);
  // Line states stay as asked; a handshake the tty does not run becomes a
  // raised line.
  if ((flags & kLineDtrMask) == kLineDtrHandshake) flags = (flags & ~kLineDtrMask) | kLineDtrEnable;
  if ((flags & kLineRtsMask) == kLineRtsHandshake || (flags & kLineRtsMask) == kLineRtsToggle)
    flags = (flags & ~kLineRtsMask) | kLineRtsEnable;
  if ((settings.c_cflag & CRTSCTS) != 0)
    flags = (flags & ~kLineRtsMask) | kLineOutCtsFlow | kLineRtsHandshake;
  if ((settings.c_iflag & INPCK) != 0) flags |= kLineParityCheck;
  if ((settings.c_iflag & IXON) != 0) flags |= kLineOutX;
  if ((settings.c_iflag & IXOFF) != 0) flags |= kLineInX;
  record.Flags = flags;
  record.XonChar = static_cast<char>(settings.c_cc[VSTART]);
  record.XoffChar = static_cast<char>(settings.c_cc[VSTOP]);
}
