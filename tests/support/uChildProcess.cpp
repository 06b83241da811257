#include "uChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "uEmulation.h"

namespace {

using TClock = std::chrono::steady_clock;

int MsLeft(TClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

bool WaitForExitUnscaled(pid_t pid, int timeoutMs, int& status);

}  // namespace

TChildProcess::~TChildProcess() {
  Kill();
  CloseAll();
}

TChildProcess::TChildProcess(TChildProcess&& other) noexcept {
  *this = std::move(other);
}

TChildProcess& TChildProcess::operator=(TChildProcess&& other) noexcept {
  if (this != &other) {
    Kill();
    CloseAll();
    FPid = std::exchange(other.FPid, -1);
    FExited = std::exchange(other.FExited, false);
    FStatus = std::exchange(other.FStatus, -1);
    FPeakRssKb = std::exchange(other.FPeakRssKb, 0);
    FStdin = std::exchange(other.FStdin, -1);
    FStdout = std::exchange(other.FStdout, -1);
    FStderr = std::exchange(other.FStderr, -1);
    FOut = std::move(other.FOut);
    FErr = std::move(other.FErr);
    FOutConsumed = std::exchange(other.FOutConsumed, 0);
    FErrConsumed = std::exchange(other.FErrConsumed, 0);
  }
  return *this;
}

bool TChildProcess::Start(const std::string& path, const std::vector<std::string>& args,
                          std::string* error) {
  int in[2];
  int out[2];
  int err[2];
  if (pipe2(in, O_CLOEXEC) != 0) return false;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return false;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);

  TProgramCommand command(path, args);

  // The child starts as from a shell, whatever the spawning thread has
  // blocked or ignored (a test thread may block SIGPIPE while it writes).
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t mask;
  sigset_t all;
  sigemptyset(&mask);
  sigfillset(&all);
  if (FBlockAtStart != 0) sigaddset(&mask, FBlockAtStart);
  FBlockAtStart = 0;
  posix_spawnattr_setsigmask(&attributes, &mask);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  const int rc =
      posix_spawn(&pid, command.File(), &actions, &attributes, command.Argv(), command.Envp());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    for (int fd : {in[1], out[0], err[0]}) close(fd);
    if (error != nullptr) *error = "cannot start " + path + ": " + std::strerror(rc);
    return false;
  }
  FPid = pid;
  FExited = false;
  FStdin = in[1];
  FStdout = out[0];
  FStderr = err[0];
  return true;
}

void TChildProcess::Pump(int timeoutMs) {
  pollfd fds[2] = {{FStdout, POLLIN, 0}, {FStderr, POLLIN, 0}};
  if (FStdout < 0 && FStderr < 0) return;
  if (poll(fds, 2, timeoutMs) <= 0) return;
  char buffer[4096];
  int* fdsOwned[2] = {&FStdout, &FStderr};
  std::string* targets[2] = {&FOut, &FErr};
  for (int i = 0; i < 2; ++i) {
    if (*fdsOwned[i] < 0 || fds[i].revents == 0) continue;
    const ssize_t n = read(*fdsOwned[i], buffer, sizeof(buffer));
    if (n > 0) {
      targets[i]->append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      CloseFd(*fdsOwned[i]);
    }
  }
}

bool TChildProcess::ReadLineFrom(std::string& buffer, std::size_t& consumed, std::string& line,
                                 int timeoutMs) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
  const int& fd = &buffer == &FOut ? FStdout : FStderr;
  for (;;) {
    const std::size_t end = buffer.find('\n', consumed);
    if (end != std::string::npos) {
      line = buffer.substr(consumed, end - consumed);
      consumed = end + 1;
      return true;
    }
    if (fd < 0 || MsLeft(deadline) == 0) return false;
    Pump(MsLeft(deadline));
  }
}

bool TChildProcess::ReadLine(std::string& line, int timeoutMs) {
  return ReadLineFrom(FOut, FOutConsumed, line, ScaledMs(timeoutMs));
}

bool TChildProcess::ReadErrorLine(std::string& line, int timeoutMs) {
  return ReadLineFrom(FErr, FErrConsumed, line, ScaledMs(timeoutMs));
}

bool TChildProcess::WriteStdin(const std::string& text) {
  // A process that already ended must not take the test down with SIGPIPE:
  // block it for this thread and swallow one that became pending.
  sigset_t pipeSet;
  sigset_t oldSet;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);
  bool ok = FStdin >= 0;
  std::size_t done = 0;
  while (ok && done < text.size()) {
    const ssize_t n = write(FStdin, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  if (!ok && errno == EPIPE) {
    const timespec zero{0, 0};
    sigtimedwait(&pipeSet, nullptr, &zero);
  }
  pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);
  return ok;
}

void TChildProcess::CloseStdin() {
  CloseFd(FStdin);
}

void TChildProcess::CloseStdout() {
  CloseFd(FStdout);
}

bool TChildProcess::Signal(int signal) {
  return Running() && kill(FPid, signal) == 0;
}

bool TChildProcess::Reap(bool block) {
  if (FPid <= 0 || FExited) return FExited;
  int status = 0;
  rusage usage{};
  const pid_t rc = wait4(FPid, &status, block ? 0 : WNOHANG, &usage);
  if (rc == FPid) {
    FExited = true;
    FPeakRssKb = usage.ru_maxrss;
    FStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return FExited;
}

bool TChildProcess::Wait(int timeoutMs, int& exitStatus, bool readOutput) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(ScaledMs(timeoutMs));
  while (!Reap(false)) {
    if (MsLeft(deadline) == 0) return false;
    // Keep the pipes drained so a chatty process cannot block on them.
    if (readOutput && (FStdout >= 0 || FStderr >= 0)) {
      Pump(std::min(MsLeft(deadline), 10));
    } else {
      int status = 0;
      if (!WaitForExitUnscaled(FPid, MsLeft(deadline), status)) return false;
      FExited = true;
      FStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
  }
  // Collect what is left, to the end of both pipes. A descendant holding them
  // open must not hang us: the drain ends once a look finds nothing after
  // 500 ms in which nothing came (a bound on silence, and a last look after
  // it, so that a test process kept from running for a while loses nothing).
  auto quietUntil = TClock::now() + std::chrono::milliseconds(500);
  while (FStdout >= 0 || FStderr >= 0) {
    const std::size_t before = FOut.size() + FErr.size();
    const int open = (FStdout >= 0) + (FStderr >= 0);
    const int wait = MsLeft(quietUntil);
    Pump(wait);
    if (FOut.size() + FErr.size() != before || (FStdout >= 0) + (FStderr >= 0) != open)
      quietUntil = TClock::now() + std::chrono::milliseconds(500);
    else if (wait == 0)
      break;
  }
  exitStatus = FStatus;
  return true;
}

void TChildProcess::Kill() {
  if (FPid > 0 && !FExited) {
    kill(FPid, SIGKILL);
    Reap(true);
  }
}

void TChildProcess::CloseAll() {
  CloseFd(FStdin);
  CloseFd(FStdout);
  CloseFd(FStderr);
}

const std::string& TChildProcess::Stdout() {
  Pump(0);
  return FOut;
}

const std::string& TChildProcess::Stderr() {
  Pump(0);
  return FErr;
}

TProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                          int timeoutMs) {
  TProgramResult result;
  TChildProcess process;
  std::string error;
  if (!process.Start(path, args, &error)) {
    result.Stderr = error;
    return result;
  }
  process.CloseStdin();
  if (!process.Wait(timeoutMs, result.ExitStatus)) {
    result.TimedOut = true;
    process.Kill();
    result.ExitStatus = -1;
  }
  result.Stdout = process.Stdout();
  result.Stderr = process.Stderr();
  return result;
}

bool WaitForExit(pid_t pid, int timeoutMs, int& status) {
  return WaitForExitUnscaled(pid, ScaledMs(timeoutMs), status);
}

namespace {

bool WaitForExitUnscaled(pid_t pid, int timeoutMs, int& status) {
  // A descriptor that becomes readable when the process ends: no polling.
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd >= 0) {
    pollfd p{fd, POLLIN, 0};
    const int rc = poll(&p, 1, timeoutMs);
    close(fd);
    return rc > 0 && waitpid(pid, &status, WNOHANG) == pid;
  }
  // A kernel without process descriptors: look every few milliseconds.
  const auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const pid_t rc = waitpid(pid, &status, WNOHANG);
    if (rc != 0) return rc == pid;
    if (MsLeft(deadline) == 0) return false;
    usleep(2000);
  }
}

}  // namespace

std::string ProgramPath(const std::string& name) {
  return std::string(VELTO_BIN_DIR) + "/" + name;
}
