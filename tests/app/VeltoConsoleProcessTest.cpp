// Runs the real program and looks at its bytes and exit status, once with
// standard output on a pipe and once on a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "ExpectedHelpText.h"
#include "support/uEmulation.h"

namespace {

const std::string kProgram = std::string(VELTO_BIN_DIR) + "/VeltoConsole";

struct RunResult {
  std::string out;
  std::string err;
  int exitStatus = -1000;
};

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : FFd(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Reset(); }
  int Get() const { return FFd; }
  void Reset(int fd = -1) {
    if (FFd >= 0) close(FFd);
    FFd = fd;
  }

 private:
  int FFd;
};

// Reads both descriptors until each reports end (EOF, or EIO from a pty
// master whose slave side is gone).
void Drain(int outFd, int errFd, std::string& out, std::string& err) {
  struct Source {
    int fd;
    std::string* text;
    bool open;
  };
  std::vector<Source> sources = {{outFd, &out, true}, {errFd, &err, true}};
  char buffer[4096];
  for (;;) {
    std::vector<pollfd> fds;
    std::vector<Source*> polled;
    for (Source& s : sources) {
      if (!s.open) continue;
      fds.push_back({s.fd, POLLIN, 0});
      polled.push_back(&s);
    }
    if (fds.empty()) return;
    int n = poll(fds.data(), fds.size(), ScaledMs(10000));
    if (n < 0 && errno == EINTR) continue;
    ASSERT_GT(n, 0) << "program produced no end of output within 10 s";
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        polled[i]->text->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        polled[i]->open = false;
      }
    }
  }
}

// Starts the program with `args`; its standard output goes to a pipe, or to
// the slave side of a raw pseudo-terminal when `terminal` is set.
RunResult RunProgram(const std::vector<std::string>& args, bool terminal) {
  RunResult result;
  Fd outRead, outWrite, errRead, errWrite;
  int p[2];
  if (terminal) {
    termios raw{};
    cfmakeraw(&raw);  // no newline translation: the bytes arrive as written
    if (openpty(&p[0], &p[1], nullptr, &raw, nullptr) != 0) {
      ADD_FAILURE() << "openpty failed: " << errno;
      return result;
    }
  } else if (pipe(p) != 0) {
    ADD_FAILURE() << "pipe failed";
    return result;
  }
  outRead.Reset(p[0]);
  outWrite.Reset(p[1]);
  if (pipe(p) != 0) {
    ADD_FAILURE() << "pipe failed";
    return result;
  }
  errRead.Reset(p[0]);
  errWrite.Reset(p[1]);

  TProgramCommand command(kProgram, args);

  const pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
    return result;
  }
  if (pid == 0) {
    dup2(outWrite.Get(), STDOUT_FILENO);
    dup2(errWrite.Get(), STDERR_FILENO);
    closefrom(STDERR_FILENO + 1);
    execve(command.File(), command.Argv(), command.Envp());
    _exit(127);
  }
  outWrite.Reset();
  errWrite.Reset();
  Drain(outRead.Get(), errRead.Get(), result.out, result.err);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  EXPECT_TRUE(WIFEXITED(status)) << "program did not exit normally";
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  return result;
}

TEST(VeltoConsoleProcess, HelpOnAPipeIsThePlainText) {
  RunResult r = RunProgram({"/?"}, false);
  EXPECT_EQ(r.out, expected_help::Text(false));
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exitStatus, 255);
}

TEST(VeltoConsoleProcess, HelpOnATerminalColoursTheBanner) {
  RunResult r = RunProgram({"/?"}, true);
  EXPECT_EQ(r.out, expected_help::Text(true));
  EXPECT_NE(r.out.find("\x1b[0;32;40m  VELTO console - Marvik\n"), std::string::npos);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exitStatus, 255);
}

TEST(VeltoConsoleProcess, HelpWinsOverAValidConnection) {
  RunResult r = RunProgram({"/TCP=127.0.0.1:1", "-HELP", "/Out1=1"}, false);
  EXPECT_EQ(r.out, expected_help::Text(false));
  EXPECT_EQ(r.exitStatus, 255);
}

TEST(VeltoConsoleProcess, NoConnectionSwitch) {
  RunResult r = RunProgram({}, false);
  EXPECT_EQ(r.out, "Not defined connection to Velto!\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exitStatus, 255);
}

TEST(VeltoConsoleProcess, NoConnectionIsReportedEvenUnderNolog) {
  RunResult r = RunProgram({"/nolog", "/ErrorCode=In1"}, false);
  EXPECT_EQ(r.out, "Not defined connection to Velto!\n");
  EXPECT_EQ(r.exitStatus, 255);
}

TEST(VeltoConsoleProcess, ParserLinesComeFirstInArgumentOrder) {
  RunResult r = RunProgram({"abc", "/TCP=1.2.3.4:x", "/Out2=yes"}, true);
  EXPECT_EQ(r.out,
            "Bad argument:'abc'!\nBad TCP port!\nBad Velto output value\n"
            "Not defined connection to Velto!\n");
  EXPECT_EQ(r.exitStatus, 255);
}

}  // namespace
