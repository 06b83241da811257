#include "uEmulation.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

extern char** environ;

#ifndef VELTO_TEST_TIME_SCALE
#define VELTO_TEST_TIME_SCALE 1
#endif

namespace {

int ParseScale(const char* text, int fallback) {
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 1 || value > 100) return fallback;
  return static_cast<int>(value);
}

#ifdef VELTO_TEST_EMULATOR
// Class and machine of an ELF file: bytes 4 (class) and 18..19 (machine, in
// the file's byte order, which is the host's for every target we build).
struct TElfKind {
  unsigned char Class = 0;
  std::uint16_t Machine = 0;
  bool operator==(const TElfKind&) const = default;
};

bool ReadElfKind(const char* path, TElfKind& kind) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::array<unsigned char, 20> head{};
  const ssize_t n = read(fd, head.data(), head.size());
  close(fd);
  if (n != static_cast<ssize_t>(head.size()) || std::memcmp(head.data(), ELFMAG, SELFMAG) != 0)
    return false;
  kind.Class = head[EI_CLASS];
  std::memcpy(&kind.Machine, head.data() + 18, sizeof(kind.Machine));
  return true;
}
#endif

}  // namespace

int TestTimeScale() {
  static const int scale = ParseScale(std::getenv("VELTO_TEST_TIME_SCALE"), VELTO_TEST_TIME_SCALE);
  return scale;
}

int ScaledMs(int ms) {
  if (ms <= 0) return ms;
  const long long scaled = static_cast<long long>(ms) * TestTimeScale();
  return scaled > INT_MAX ? INT_MAX : static_cast<int>(scaled);
}

bool UnderEmulation() {
#ifdef VELTO_TEST_EMULATOR
  return true;
#else
  return false;
#endif
}

TProgramCommand::TProgramCommand(const std::string& path, const std::vector<std::string>& args) {
#ifdef VELTO_TEST_EMULATOR
  // The emulator shows the emulated program its own executable, so a file of
  // the same kind is one the machine cannot start by itself.
  static const TElfKind own = [] {
    TElfKind kind;
    ReadElfKind("/proc/self/exe", kind);
    return kind;
  }();
  TElfKind kind;
  FEmulated = ReadElfKind(path.c_str(), kind) && kind == own;
  if (FEmulated) FArgvText.push_back(VELTO_TEST_EMULATOR);
#endif
  FArgvText.push_back(path);
  FArgvText.insert(FArgvText.end(), args.begin(), args.end());
  for (std::string& a : FArgvText) FArgv.push_back(a.data());
  FArgv.push_back(nullptr);

  for (char** e = environ; *e != nullptr; ++e) {
    if (FEmulated && std::strncmp(*e, "QEMU_LD_PREFIX=", 15) == 0) continue;
    FEnvText.emplace_back(*e);
  }
#ifdef VELTO_TEST_EMULATOR_ROOT
  if (FEmulated) FEnvText.push_back(std::string("QEMU_LD_PREFIX=") + VELTO_TEST_EMULATOR_ROOT);
#endif
  for (std::string& e : FEnvText) FEnvp.push_back(e.data());
  FEnvp.push_back(nullptr);
}

namespace {

// `request` is tried on a fresh pseudo-terminal with a zeroed structure: it
// must only read, or change nothing that outlives the terminal.
bool CallMissing(unsigned long request) {
  const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  // Room for any of the terminal structures the calls take or fill in.
  alignas(8) unsigned char buffer[256] = {};
  const bool missing = ioctl(fd, request, buffer) != 0 && errno == ENOSYS;
  close(fd);
  return missing;
}

std::string SkipReasonFor(unsigned long request, const char* name) {
  if (!CallMissing(request)) return "";
  return std::string(name) + " answers ENOSYS here" +
         (UnderEmulation() ? " (user-mode emulation does not pass it on to the kernel)" : "");
}

}  // namespace

std::string ArbitraryRateSkipReason() {
  return SkipReasonFor(TCGETS2, "TCGETS2 (bit rates outside the standard list)");
}

std::string ExclusiveQuerySkipReason() {
  return SkipReasonFor(TIOCGEXCL, "TIOCGEXCL (the exclusive-use flag)");
}

std::string KernelProcessName(const std::string& programName) {
  if (!UnderEmulation()) return programName;
  std::ifstream comm("/proc/self/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

bool DirectionControlCallMissing() {
  // A zeroed structure asks for direction control off.
  return CallMissing(TIOCSRS485);
}
