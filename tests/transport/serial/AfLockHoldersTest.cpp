// Holders of a flock lock, read from the kernel's lock table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/serial/AfLockHolders.h"

namespace {

const TAfNodeId kNode{0x00, 0x05, 93};

struct TTableCase {
  const char* Name;
  std::string Table;
  std::vector<int> Holders;
};

class LockHoldersTest : public ::testing::TestWithParam<TTableCase> {};

TEST_P(LockHoldersTest, FindsTheHoldersOfTheNode) {
  EXPECT_EQ(FlockHolders(GetParam().Table, kNode), GetParam().Holders);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, LockHoldersTest,
    ::testing::Values(
        TTableCase{"Empty", "", {}},
        TTableCase{"OneHolder", "1: FLOCK  ADVISORY  WRITE 812 00:05:93 0 EOF\n", {812}},
        TTableCase{"NoFinalLineBreak", "1: FLOCK  ADVISORY  WRITE 812 00:05:93 0 EOF", {812}},
        // A waiter is listed under its holder with "->": it holds nothing.
        TTableCase{"WaiterIsNoHolder",
                   "1: FLOCK  ADVISORY  WRITE 812 00:05:93 0 EOF\n"
                   "1: -> FLOCK  ADVISORY  WRITE 900 00:05:93 0 EOF\n",
                   {812}},
        TTableCase{"OtherNodesAndKindsSkipped",
                   "1: POSIX  ADVISORY  WRITE 700 00:05:93 0 EOF\n"
                   "2: FLOCK  ADVISORY  WRITE 701 00:05:94 0 EOF\n"
                   "3: FLOCK  ADVISORY  WRITE 702 00:06:93 0 EOF\n"
                   "4: FLOCK  ADVISORY  WRITE 703 01:05:93 0 EOF\n"
                   "5: OFDLCK ADVISORY  READ  -1 00:05:93 0 EOF\n"
                   "6: FLOCK  ADVISORY  WRITE 704 00:05:93 0 EOF\n",
                   {704}},
        // Major and minor are hexadecimal in the table.
        TTableCase{"HexadecimalDevice", "1: FLOCK ADVISORY WRITE 5 0a:1f:93 0 EOF\n", {}},
        TTableCase{"SharedLocksEachHolderOnce",
                   "1: FLOCK ADVISORY READ 10 00:05:93 0 EOF\n"
                   "2: FLOCK ADVISORY READ 11 00:05:93 0 EOF\n"
                   "3: FLOCK ADVISORY READ 10 00:05:93 0 EOF\n",
                   {10, 11}},
        TTableCase{"Garbage",
                   "x\n:\n1:\n1: FLOCK\n1: FLOCK ADVISORY WRITE 12x 00:05:93\n"
                   "1: FLOCK ADVISORY WRITE 0 00:05:93\n1: FLOCK ADVISORY WRITE -4 00:05:93\n"
                   "1: FLOCK ADVISORY WRITE 99999999999 00:05:93\n"
                   "1: FLOCK ADVISORY WRITE 13 00:05\n1: FLOCK ADVISORY WRITE 14 ::93\n"
                   "1 FLOCK ADVISORY WRITE 15 00:05:93\n",
                   {}},
        TTableCase{"TabsAndBlankLines", "\n\n1:\tFLOCK\tADVISORY\tWRITE\t77\t00:05:93\t0\tEOF\n",
                   {77}}),
    [](const ::testing::TestParamInfo<TTableCase>& info) { return std::string(info.param.Name); });

TEST(LockHoldersLimitTest, ReportsAtMostItsBoundOfHolders) {
  std::string table;
  for (int pid = 1; pid <= 100; ++pid)
    table += "1: FLOCK ADVISORY READ " + std::to_string(pid) + " 00:05:93 0 EOF\n";
  const TAfNodeId hexNode{0x0a, 0x1f, 93};
  EXPECT_EQ(FlockHolders(table, kNode).size(), kMaxLockHolders);
  EXPECT_EQ(FlockHolders("1: FLOCK ADVISORY WRITE 5 0a:1f:93 0 EOF", hexNode), std::vector<int>{5});
}

}  // namespace
