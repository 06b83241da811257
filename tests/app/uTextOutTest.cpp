#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "app/uTextOut.h"

namespace {

// What `value` writes here and what a C++ stream writes for it: the program's
// output was written by streams before, and must not change by a byte.
template <typename T>
void ExpectAsAStream(const T& value, const char* kind) {
  TTextOut text;
  text << value;
  std::ostringstream stream;
  stream << value;
  EXPECT_EQ(text.Text(), stream.str()) << kind;
}

TEST(TextOutTest, EachKindOfTextWritesWhatAStreamWrote) {
  ExpectAsAStream(std::string_view("a\0b", 3), "string_view with a zero byte");
  ExpectAsAStream("text", "const char*");
  ExpectAsAStream(std::string("owned"), "std::string");
  ExpectAsAStream('\n', "char");
  ExpectAsAStream('\0', "zero char");
}

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
  while ((got = read(fds[0], chunk, sizeof chunk)) > 0)
    text.append(chunk, static_cast<std::size_t>(got));
  close(fds[0]);
  return text;
}

// Output without an end of line stays in stdout's buffer however stdout is
// buffered; the error line must not overtake it.
TEST(TextOutTest, ErrorLineComesAfterTheOutputWrittenBeforeIt) {
  const std::string text = BothIntoOnePipe([] {
    ConsoleOut() << "Out3 = " << std::to_string(1);
    ConsoleErr() << "VeltoConsole: lost\n";
  });
  EXPECT_EQ(text, "Out3 = 1VeltoConsole: lost\n");
}

TEST(TextOutTest, SharesTheCLibraryBuffersInWritingOrder) {
  const std::string text = BothIntoOnePipe([] {
    ConsoleOut() << "a";
    std::fputs("b", stdout);
    ConsoleOut() << 'c' << std::string_view("de");
    std::fputs("f", stdout);
    EXPECT_TRUE(ConsoleOut().Flush());
  });
  EXPECT_EQ(text, "abcdef");
}

// A reader that went away costs one failed write, as with a stream that went
// bad; the run's exit code does not depend on it.
TEST(TextOutTest, AfterAFailedWriteNothingMoreIsWritten) {
  FILE* full = std::fopen("/dev/full", "w");  // every write fails: no space
  ASSERT_NE(full, nullptr);
  std::setvbuf(full, nullptr, _IONBF, 0);
  TTextOut out(full, nullptr, false);
  out << "lost";
  EXPECT_TRUE(out.Failed());
  // A later write would fail again and mark the file again.
  std::clearerr(full);
  out << "also lost" << '7';
  EXPECT_FALSE(out.Flush());
  EXPECT_EQ(std::ferror(full), 0);
  std::fclose(full);
}

}  // namespace
