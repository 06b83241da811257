// Carries a simulated module over a TCP port (one client at a time) and,
// when asked, a pseudo-terminal. One poll loop serves the listener, the
// client, the terminal, an optional line input and the timers.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <ostream>
#include <string>

#include "simulator/uModuleSimulator.h"
#include "simulator/uSimOptions.h"

class TSimServer {
 public:
  // `log` (may be null) receives the module's packet log and connection notes.
  TSimServer(TModuleSimulator& module, TSimServerOptions options, std::ostream* log);
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
  struct TPending {
    std::uint32_t Due = 0;
    TBytes Bytes;
    bool Close = false;
  };
  struct TLink {
    int Fd = -1;
    int Channel = 0;
    bool IsSocket = false;
    std::deque<TPending> Pending;
    TBytes Out;
    std::uint32_t LastDue = 0;
    bool CloseWhenSent = false;
  };

  void TakeWrites(std::uint32_t now);
  void Schedule(TLink& link, const TSimWrite& write, std::uint32_t now);
  void Flush(TLink& link, std::uint32_t now);
  void CloseLink(TLink& link, const char* why);
  void Accept();
  void ReadLink(TLink& link);
  void ReadLineInput();
  int PollTimeout(std::uint32_t now) const;
  void PrintLog();
  void Note(const std::string& text);
  bool OpenPty(std::string& error);

  TModuleSimulator& FModule;
  TSimServerOptions FOptions;
  std::ostream* FLog;
  int FListener = -1;
  std::uint16_t FPort = 0;
  TLink FClient;
  TLink FPty;
  int FPtySlave = -1;  // held open so the terminal stays up between users
  std::string FPtyPath;
  int FWake[2] = {-1, -1};
  std::atomic<bool> FStop{false};
  int FStopFd = -1;
  int FLineFd = -1;
  std::string FLineBuffer;
  std::function<void(const std::string&)> FOnLine;
  std::function<void()> FOnLineEnd;
};
