#include "framework/uFileStart.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "support/uScratchDir.h"

namespace {

class FileStartTest : public ::testing::Test {
 protected:
  std::string File(const std::string& name, const std::string& content) {
    const std::string path = FDir / name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  TScratchDir FDir{"velto-filestart"};
};

TEST_F(FileStartTest, ReadsUpToTheLimit) {
  const std::string big(40000, 'x');  // more than one piece of the read
  struct Case {
    std::string content;
    std::size_t limit;
    std::string expected;
  } cases[] = {
      {"1-1.4\n", 64, "1-1.4\n"},
      {"1-1.4\n", 3, "1-1"},
      {"", 64, ""},
      {big + "tail", big.size(), big},
      {big + "tail", 1 << 20, big + "tail"},
      {std::string("a\0b", 3), 64, std::string("a\0b", 3)},
  };
  int n = 0;
  for (const Case& c : cases) {
    const auto read = ReadFileStart(File("f" + std::to_string(n++), c.content), c.limit);
    ASSERT_TRUE(read.has_value()) << n;
    EXPECT_EQ(*read, c.expected) << n;
  }
}

// Files of /proc report a size of 0 and still have text.
TEST_F(FileStartTest, ReadsProcFilesToTheirEnd) {
  const auto read = ReadFileStart("/proc/self/status", 1 << 20);
  ASSERT_TRUE(read.has_value());
  EXPECT_NE(read->find("Pid:\t" + std::to_string(getpid()) + "\n"), std::string::npos) << *read;
}

TEST_F(FileStartTest, WhatCannotBeReadIsNothing) {
  EXPECT_FALSE(ReadFileStart(FDir / "missing", 64).has_value());
  EXPECT_FALSE(ReadFileStart(FDir.Path(), 64).has_value());  // a directory
}

}  // namespace
