#include "app/uTextOut.h"

void TTextOut::Write(const char* data, std::size_t size) {
  if (FFile == nullptr) {
    FText.append(data, size);
    return;
  }
  // A file that failed once takes nothing more, so a reader that went away
  // costs one failed write, not one per line.
  if (FFailed) return;
  if (FFlushFirst != nullptr) FFlushFirst->Flush();
  if (size > 0 && std::fwrite(data, 1, size, FFile) != size) {
    FFailed = true;
    return;
  }
  if (FFlushEach) Flush();
}

bool TTextOut::Flush() {
  if (FFile == nullptr) return true;
  if (!FFailed && std::fflush(FFile) != 0) FFailed = true;
  return !FFailed;
}

// Made at first use and never destroyed, so that a write from a late
// destructor still has somewhere to go; they hold nothing that needs a flush.
TTextOut& ConsoleOut() {
  static TTextOut* out = new TTextOut(stdout, nullptr, false);
  return *out;
}

TTextOut& ConsoleErr() {
  static TTextOut* err = new TTextOut(stderr, &ConsoleOut(), true);
  return *err;
}
