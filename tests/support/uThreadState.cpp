#include "uThreadState.h"

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

pid_t CurrentThreadId() {
  return gettid();
}

namespace {

// `path`: a /proc stat file.
bool SleepsSoon(const std::string& path, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    std::ifstream stat(path);
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The state follows the parenthesised name, which may itself hold blanks.
    const std::size_t at = text.rfind(')');
    if (at != std::string::npos && at + 2 < text.size() && text[at + 2] == 'S') return true;
    std::this_thread::yield();
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

}  // namespace

bool ThreadSleepsSoon(pid_t tid, int timeoutMs) {
  return SleepsSoon("/proc/self/task/" + std::to_string(tid) + "/stat", timeoutMs);
}

bool ProcessSleepsSoon(pid_t pid, int timeoutMs) {
  return SleepsSoon("/proc/" + std::to_string(pid) + "/stat", timeoutMs);
}
