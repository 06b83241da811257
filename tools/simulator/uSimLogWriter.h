// Lines for a descriptor whose reader may stall (standard error read through
// a pipe by someone who has stopped reading): whoever logs never waits for
// the descriptor. A thread of its own writes the lines; past a bounded
// backlog new lines are dropped and counted, and once there is room again
// one line says how many were lost. An ostream view lets code that logs to a
// stream use it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <thread>

class TSimLogWriter {
 public:
  // Bytes that may wait for the descriptor, those being written included.
  static constexpr std::size_t kDefaultLimit = 1u << 20;
  // How long the destructor lets the thread write what is left.
  static constexpr int kCloseWaitMs = 2000;

  explicit TSimLogWriter(int fd, std::size_t limit = kDefaultLimit);
  // Writes what is left, for at most kCloseWaitMs; a thread still blocked then
  // is left behind (it holds its own state), so the program can end.
  ~TSimLogWriter();
  TSimLogWriter(const TSimLogWriter&) = delete;
  TSimLogWriter& operator=(const TSimLogWriter&) = delete;

  // Queues `text` and a line break; never waits for the descriptor.
  void Line(const std::string& text);
  // Lines dropped so far because the backlog was full.
  std::uint64_t Dropped() const;
  // A stream whose every completed line goes to Line.
  std::ostream& Stream() { return FStream; }

 private:
  struct TShared {
    std::mutex Lock;
    std::condition_variable Wake;
    std::condition_variable Done;
    std::string Pending;
    std::size_t InFlight = 0;
    std::uint64_t Dropped = 0;
    std::uint64_t DroppedUnsaid = 0;
    bool Stop = false;
    bool Finished = false;
  };
  class TLineBuf : public std::streambuf {
   public:
    explicit TLineBuf(TSimLogWriter& owner) : FOwner(owner) {}

   protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;

   private:
    TSimLogWriter& FOwner;
    std::string FLine;
  };

  static void Drain(int fd, std::shared_ptr<TShared> shared);

  std::size_t FLimit;
  std::shared_ptr<TShared> FShared;
  std::thread FThread;
  TLineBuf FBuf{*this};
  std::ostream FStream{&FBuf};
};
