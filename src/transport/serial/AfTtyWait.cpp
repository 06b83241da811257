// Waiting for a port that another open holds, and naming the holder.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iterator>
#include <thread>

#include "framework/uFileStart.h"
#include "transport/serial/AfLockHolders.h"
#include "transport/serial/AfTty.h"

namespace {

using TClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The kernel keeps no queue of would-be openers: an open refused for the
// exclusive-open flag can only be tried again, and so can a lock taken
// without blocking. The pause doubles from the first to the last value, so
// that a short hold is caught soon and a long one costs a few wake-ups a
// second.
constexpr milliseconds kFirstPause{2};
constexpr milliseconds kLongestPause{100};

// Bounds on what is read of outside text.
constexpr std::size_t kMaxTableBytes = 1 << 20;
constexpr std::size_t kMaxNameBytes = 64;

std::string ReadBounded(const std::string& file, std::size_t limit) {
  return ReadFileStart(file, limit).value_or(std::string());
}

std::string ProcessName(int pid) {
  std::string name = ReadBounded("/proc/" + std::to_string(pid) + "/comm", kMaxNameBytes);
  while (!name.empty() && (name.back() == '\n' || name.back() == '\0')) name.pop_back();
  // A name is the holder's own choice: keep it one printable line.
  for (char& c : name)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return name;
}

std::atomic<bool (*)()> gAbandon{nullptr};

bool Abandoned() {
  bool (*abandon)() = gAbandon.load();
  return abandon != nullptr && abandon();
}

}  // namespace

void SetTtyWaitAbandon(bool (*abandon)()) {
  gAbandon = abandon;
}

std::string TtyHeldReason(const std::string& path) {
  struct stat node {};
  if (stat(path.c_str(), &node) != 0) return path + " is in use by another program";
  const TAfNodeId id{::major(node.st_dev), ::minor(node.st_dev),
                     static_cast<std::uint64_t>(node.st_ino)};
  const std::vector<int> holders = FlockHolders(ReadBounded("/proc/locks", kMaxTableBytes), id);
  if (holders.empty())
    return path + " is held by another program (its exclusive-open flag is set)";
  std::string text = path + " is held by process";
  for (std::size_t i = 0; i < holders.size(); ++i) {
    text += (i == 0 ? " " : ", ") + std::to_string(holders[i]);
    const std::string name = ProcessName(holders[i]);
    if (!name.empty()) text += " (" + name + ")";
  }
  return text;
}

TTtyOpenResult OpenTtyWaiting(const std::string& path, std::uint32_t waitMs,
                              const std::function<void()>& onHeld) {
  const TClock::time_point deadline = TClock::now() + milliseconds(waitMs);
  milliseconds pause = kFirstPause;
  bool told = false;
  for (;;) {
    TTtyOpenResult result = OpenTtyExclusive(path);
    if (result.Failure != TTtyOpenFailure::Held) return result;
    if (!told && onHeld) onHeld();
    told = true;
    const TClock::time_point now = TClock::now();
    const bool abandoned = now < deadline && Abandoned();
    if (now >= deadline || abandoned) {
      result.Reason = TtyHeldReason(path);
      if (abandoned)
        result.Reason += "; waiting given up";
      else if (waitMs > 0)
        result.Reason += "; waited " + std::to_string(waitMs) + " ms";
      return result;
    }
    std::this_thread::sleep_for(
        std::min<TClock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, kLongestPause);
  }
}
