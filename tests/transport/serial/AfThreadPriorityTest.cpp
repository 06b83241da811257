// Thread priorities of the serial engine: nice values within the normal
// scheduling class, never a real-time class, also in a run as root.
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "framework/uThreadNice.h"
#include "framework/uTick.h"
#include "transport/serial/AfComPortCore.h"
#include "transport/serial/AfComPortThreads.h"
#include "uPtyPair.h"

namespace {

constexpr int kCom = 44;

std::set<int> ThreadIds() {
  std::set<int> ids;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    ids.insert(std::stoi(entry.path().filename().string()));
  return ids;
}

std::string ThreadName(int tid) {
  std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

// The nice value a thread asking for `priority` ends up with: an ordinary
// user's raise is refused and ignored, a lowering is granted.
int ExpectedNice(TThreadPriority priority) {
  const int process = ThreadNice(static_cast<int>(getpid()));
  const int offset = ThreadPriorityNice(priority);
  if (offset < 0 && geteuid() != 0) return process;
  return std::clamp(process + offset, -20, 19);
}

TEST(ThreadPriority, PortThreadsTakeNiceValuesAndStayInTheNormalClass) {
  struct TCase {
    TThreadPriority Event;
    TThreadPriority Write;
  } cases[] = {
      {tpNormal, tpHighest},  // the engine's own choice
      {tpTimeCritical, tpHigher},
      {tpLowest, tpIdle},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.Event) + "/" + std::to_string(c.Write));
    TPtyPair pty(kCom);
    ASSERT_TRUE(pty.Ok());
    TAfComPortCore core(nullptr);
    TAfLineRecord record;
    record.Length = kLineRecordLength;
    record.BaudRate = 9600;
    record.ByteSize = 8;
    record.Flags = kLineBinary;
    core.SetLineRecord(record);
    core.SetEventThreadPriority(c.Event);
    core.SetWriteThreadPriority(c.Write);
    const std::set<int> before = ThreadIds();
    ASSERT_TRUE(core.Open(kCom));
    // The writer starts with the first bytes the tty does not take at once:
    // nobody reads the far end, so it soon takes no more.
    const std::vector<std::uint8_t> block(1024, 0x55);
    for (int i = 0; i < 4096 && core.OutFree() == core.GetOutQueueSize(); ++i)
      ASSERT_TRUE(core.Write(block.data(), static_cast<std::int32_t>(block.size())));
    ASSERT_LT(core.OutFree(), core.GetOutQueueSize()) << "the tty took every byte";
    // A thread names itself once it has taken its priority; neither is waited for.
    std::map<std::string, int> nice;
    const std::uint32_t deadline = GetTickCount32() + 5000;
    while (nice.size() < 2 && !TickAfter(GetTickCount32(), deadline)) {
      nice.clear();
      for (int tid : ThreadIds()) {
        if (before.count(tid) != 0) continue;
        EXPECT_EQ(sched_getscheduler(tid), SCHED_OTHER) << ThreadName(tid);
        // A sanitizer's runtime may start a thread of its own meanwhile.
        if (ThreadName(tid).rfind("AfComPort", 0) == 0) nice[ThreadName(tid)] = ThreadNice(tid);
      }
      if (nice.size() < 2) sched_yield();
    }
    EXPECT_EQ(nice, (std::map<std::string, int>{{"AfComPortEvent", ExpectedNice(c.Event)},
                                                {"AfComPortWrite", ExpectedNice(c.Write)}}));
    core.CloseIfOpen();
  }
}

}  // namespace
