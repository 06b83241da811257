// A program started by a test: its standard input is a pipe the test writes,
// its standard output and error are collected through pipes. The process is
// killed and reaped when the object goes away. A program built for an
// emulated machine starts through the emulator (uEmulation.h), and every
// time-out below is a bound on a wait for an event that grows by the tests'
// time factor there.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class TChildProcess {
 public:
  TChildProcess() = default;
  ~TChildProcess();
  TChildProcess(TChildProcess&& other) noexcept;
  TChildProcess& operator=(TChildProcess&& other) noexcept;
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // The next Start's child begins with `signal` blocked, as under a parent
  // that holds it: one sent at once is then pending when its main begins.
  void BlockAtStart(int signal) { FBlockAtStart = signal; }
  // Starts `path` with `args` (not including the program name).
  bool Start(const std::string& path, const std::vector<std::string>& args,
             std::string* error = nullptr);
  bool Running() { return FPid > 0 && !Reap(false); }
  pid_t Pid() const { return FPid; }

  // Next line of standard output without its line break; false when none
  // came within `timeoutMs` or the output ended first.
  bool ReadLine(std::string& line, int timeoutMs);
  // Same for standard error.
  bool ReadErrorLine(std::string& line, int timeoutMs);

  bool WriteStdin(const std::string& text);
  void CloseStdin();
  // Stops reading standard output for good, as a reader that goes away.
  void CloseStdout();

  bool Signal(int signal);
  // Waits for the end; `exitStatus` is the exit code, or 128 + the signal
  // number when a signal ended it. False on time-out (the process keeps running).
  // With `readOutput` false the pipes are not read meanwhile, as by a reader
  // that has stopped reading (what is left is collected after the end).
  bool Wait(int timeoutMs, int& exitStatus, bool readOutput = true);
  // SIGKILL and reap.
  void Kill();
  // Peak resident memory of the ended process in KiB (0 before its end).
  long PeakRssKb() const { return FPeakRssKb; }

  // Everything the process wrote so far (collected while reading or waiting).
  const std::string& Stdout();
  const std::string& Stderr();

 private:
  // Collects output for at most `timeoutMs`; returns when something arrived.
  void Pump(int timeoutMs);
  bool ReadLineFrom(std::string& buffer, std::size_t& consumed, std::string& line, int timeoutMs);
  bool Reap(bool block);
  void CloseAll();

  pid_t FPid = -1;
  int FBlockAtStart = 0;
  bool FExited = false;
  int FStatus = -1;
  long FPeakRssKb = 0;
  int FStdin = -1;
  int FStdout = -1;
  int FStderr = -1;
  std::string FOut;
  std::string FErr;
  std::size_t FOutConsumed = 0;
  std::size_t FErrConsumed = 0;
};

struct TProgramResult {
  int ExitStatus = -1;  // -1 when it had to be killed after the time-out
  bool TimedOut = false;
  std::string Stdout;
  std::string Stderr;
};

// Runs a program with closed standard input to its end (killed after `timeoutMs`).
TProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                          int timeoutMs = 10000);

// Waits at most `timeoutMs` for the end of child `pid` and reaps it;
// `status` is waitpid's. False when it did not end in time.
bool WaitForExit(pid_t pid, int timeoutMs, int& status);

// Path of a program built by this project.
std::string ProgramPath(const std::string& name);
