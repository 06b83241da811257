#include "simulator/uSimLogWriter.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace {

std::string DroppedNote(std::uint64_t count) {
  return "VeltoSimulator: " + std::to_string(count) +
         " log lines dropped (the reader of the log fell behind)\n";
}

// The whole block, or as much as the descriptor takes before it fails.
void WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a reader that has gone: nothing more can reach it
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

TSimLogWriter::TSimLogWriter(int fd, std::size_t limit)
    : FLimit(limit), FShared(std::make_shared<TShared>()) {
  FThread = std::thread(Drain, fd, FShared);
}

TSimLogWriter::~TSimLogWriter() {
  FStream.flush();
  std::unique_lock<std::mutex> lock(FShared->Lock);
  FShared->Stop = true;
  FShared->Wake.notify_all();
  const bool finished = FShared->Done.wait_for(lock, std::chrono::milliseconds(kCloseWaitMs),
                                               [&] { return FShared->Finished; });
  lock.unlock();
  if (finished) {
    FThread.join();
  } else {
    FThread.detach();  // blocked on a reader that never reads; it owns what it uses
  }
}

void TSimLogWriter::Line(const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(FShared->Lock);
    if (FShared->Pending.size() + FShared->InFlight + text.size() + 1 > FLimit) {
      ++FShared->Dropped;
      ++FShared->DroppedUnsaid;
      return;
    }
    if (FShared->DroppedUnsaid != 0) {
      FShared->Pending += DroppedNote(FShared->DroppedUnsaid);
      FShared->DroppedUnsaid = 0;
    }
    FShared->Pending += text;
    FShared->Pending += '\n';
  }
  FShared->Wake.notify_one();
}

std::uint64_t TSimLogWriter::Dropped() const {
  std::lock_guard<std::mutex> lock(FShared->Lock);
  return FShared->Dropped;
}

void TSimLogWriter::Drain(int fd, std::shared_ptr<TShared> shared) {
  std::unique_lock<std::mutex> lock(shared->Lock);
  for (;;) {
    shared->Wake.wait(lock, [&] { return shared->Stop || !shared->Pending.empty(); });
    if (shared->Pending.empty() && shared->Stop) break;
    std::string block;
    block.swap(shared->Pending);
    shared->InFlight = block.size();
    lock.unlock();
    WriteAll(fd, block);
    lock.lock();
    shared->InFlight = 0;
  }
  if (shared->DroppedUnsaid != 0) {
    const std::string note = DroppedNote(shared->DroppedUnsaid);
    shared->DroppedUnsaid = 0;
    lock.unlock();
    WriteAll(fd, note);
    lock.lock();
  }
  shared->Finished = true;
  shared->Done.notify_all();
}

TSimLogWriter::TLineBuf::int_type TSimLogWriter::TLineBuf::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char ch = traits_type::to_char_type(c);
  if (ch == '\n') {
    FOwner.Line(FLine);
    FLine.clear();
  } else {
    FLine += ch;
  }
  return c;
}

std::streamsize TSimLogWriter::TLineBuf::xsputn(const char* s, std::streamsize n) {
  for (std::streamsize i = 0; i < n; ++i) overflow(traits_type::to_int_type(s[i]));
  return n;
}
