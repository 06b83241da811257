// Carries a simulated module, or a bus of several, over a TCP port (a
// listener on each address the host stands for) and, when asked, a
// pseudo-terminal. Several TCP clients are served at once, each on a channel
// of its own, up to a limit; a client past the limit is refused. Answers can
// be held back (a fixed delay, the time the bytes take on a slow line, where
// they then leave one after the other), and what waits for a peer that does
// not read is capped. One poll loop serves
// the listener, the clients, the terminal, an optional line input and the
// timers.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "simulator/uSimBus.h"
#include "simulator/uSimLineReader.h"
#include "simulator/uSimLineTiming.h"
#include "simulator/uSimOptions.h"

// Clients served at once; one more is refused.
constexpr std::size_t kSimMaxClients = 8;
// Bytes that may wait for a peer that does not read. Past it a client is
// dropped and a terminal's backlog is thrown away.
constexpr std::size_t kSimBacklogLimit = 8u << 20;

class TSimServer {
 public:
  // `log` (may be null) receives the module's packet log and connection notes;
  // `warnings` (may be null) the lines a user must see (dropped or refused
  // peers, unusable input lines).
  TSimServer(TSimBus& bus, TSimServerOptions options, std::ostream* log,
             std::ostream* warnings = nullptr);
  // The same for one module on its own (which the caller keeps alive).
  TSimServer(TModuleSimulator& module, TSimServerOptions options, std::ostream* log,
             std::ostream* warnings = nullptr);
  ~TSimServer();

  TSimServer(const TSimServer&) = delete;
  TSimServer& operator=(const TSimServer&) = delete;

  // Binds the listener (and creates the terminal); false with a reason.
  bool Open(std::string& error);
  std::uint16_t Port() const { return FPort; }
  const std::string& PtyPath() const { return FPtyPath; }

  // Lines read from `fd` go to `onLine`; its end calls `onEnd` once.
  void SetLineInput(int fd, std::function<void(const std::string&)> onLine,
                    std::function<void()> onEnd);

  // A descriptor whose readability ends Run, as Stop does (a signalfd of the
  // stop signals, so that they are taken by the loop itself).
  void SetStopInput(int fd) { FStopFd = fd; }

  // Serves until Stop.
  void Run();
  // Ends Run; safe from any thread and from a signal handler.
  void Stop();

 private:
  using TTime = TSimLineTiming::TTime;

  // `bus`, or the one in `own` when `bus` is null.
  TSimServer(std::unique_ptr<TSimBus> own, TSimBus* bus, TSimServerOptions options,
             std::ostream* log, std::ostream* warnings);

  // A write on its way out: on a line of given speed its bytes leave one
  // after the other from Start, the last at Due.
  struct TPending {
    TTime Start{};
    TTime Due{};
    TBytes Bytes;
    bool Close = false;
    std::size_t Released = 0;  // bytes already moved to Out
  };
  struct TLink {
    TLink(int channel, bool isSocket, const TSimServerOptions& options)
        : Channel(channel), IsSocket(isSocket), Timing(options.AnswerDelayMs, options.WireBaud) {}
    int Fd = -1;
    int Channel = 0;
    bool IsSocket = false;
    std::deque<TPending> Pending;
    TBytes Out;
    std::size_t Backlog = 0;  // bytes in Pending and Out
    bool CloseWhenSent = false;
    TSimLineTiming Timing;
  };

  void Route(const std::vector<TSimWrite>& writes, TLink* from, TTime heard, TTime now);
  void Schedule(TLink& link, const TSimWrite& write, TTime ready);
  void Release(TLink& link, TTime now);
  void Flush(TLink& link, TTime now);
  void CloseLink(TLink& link, const char* why);
  void Accept(int listener);
  void ReadLink(TLink& link);
  void ReadLineInput();
  std::chrono::nanoseconds PollWait(TTime now) const;
  void PrintLog();
  void Note(const std::string& text);
  void Warn(const std::string& text);
  bool OpenPty(std::string& error);
  std::vector<TLink*> Links();

  std::unique_ptr<TSimBus> FOwnBus;  // made for a module on its own
  TSimBus& FBus;
  TSimServerOptions FOptions;
  std::ostream* FLog;
  std::ostream* FWarnings;
  std::vector<int> FListeners;  // one per address the host stands for
  std::uint16_t FPort = 0;
  std::list<TLink> FClients;
  int FNextChannel;
  TLink FPty;
  int FPtySlave = -1;  // held open so the terminal stays up between users
  std::string FPtyPath;
  int FWake[2] = {-1, -1};
  std::atomic<bool> FStop{false};
  int FStopFd = -1;
  int FLineFd = -1;
  TSimLineReader FLineReader;
  std::function<void(const std::string&)> FOnLine;
  std::function<void()> FOnLineEnd;
};
