#include "app/uStdioStream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

// Standard output and error both into one pipe for the length of `write`, as
// a log that takes both sees them; gives what arrived.
template <typename Write>
std::string BothIntoOnePipe(Write write) {
  std::fflush(stdout);
  std::fflush(stderr);
  int fds[2];
  if (pipe(fds) != 0) return "no pipe";
  const int savedOut = dup(1);
  const int savedErr = dup(2);
  dup2(fds[1], 1);
  dup2(fds[1], 2);
  close(fds[1]);
  write();
  std::fflush(stdout);
  dup2(savedOut, 1);
  dup2(savedErr, 2);
  close(savedOut);
  close(savedErr);
  std::string text;
  char chunk[256];
  ssize_t got = 0;
  while ((got = read(fds[0], chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<std::size_t>(got));
  close(fds[0]);
  return text;
}

// Output without an end of line stays in stdout's buffer however stdout is
// buffered; the error line must not overtake it.
TEST(StdioStreamTest, ErrorLineComesAfterTheOutputWrittenBeforeIt) {
  const std::string text = BothIntoOnePipe([] {
    ConsoleOut() << "Out3 = " << 1;
    ConsoleErr() << "VeltoConsole: lost\n";
  });
  EXPECT_EQ(text, "Out3 = 1VeltoConsole: lost\n");
}

TEST(StdioStreamTest, SharesTheCLibraryBuffersInWritingOrder) {
  const std::string text = BothIntoOnePipe([] {
    ConsoleOut() << "a";
    std::fputs("b", stdout);
    ConsoleOut().put('c');
    ConsoleOut().write("de", 2);
    std::fputs("f", stdout);
    ConsoleOut() << std::flush;
  });
  EXPECT_EQ(text, "abcdef");
}

}  // namespace
