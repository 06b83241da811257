#include "framework/uAlert.h"

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <utility>

namespace {

std::mutex& AlertLock() {
  static std::mutex lock;
  return lock;
}

TAlertSink& Sink() {
  static TAlertSink sink;
  return sink;
}

const char* ProgramName() {
  const char* name = program_invocation_short_name;
  return (name != nullptr && *name != '\0') ? name : "velto";
}

}  // namespace

void Alert(const std::string& text) {
  TAlertSink sink;
  {
    std::lock_guard<std::mutex> guard(AlertLock());
    sink = Sink();
    if (!sink) {
      // Written under the lock, so lines from several threads never mix.
      std::fprintf(stderr, "%s: %s\n", ProgramName(), text.c_str());
      std::fflush(stderr);
      return;
    }
  }
  try {
    sink(text);
  } catch (...) {
    // A failing sink must not disturb the engine that reports.
  }
}

TAlertSink SetAlertSink(TAlertSink sink) {
  std::lock_guard<std::mutex> guard(AlertLock());
  return std::exchange(Sink(), std::move(sink));
}
