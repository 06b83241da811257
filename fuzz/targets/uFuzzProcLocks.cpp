// The kernel's lock table as outside text: any bytes, searched for a node
// named by the first three bytes (small numbers, so that lines can match).
#include <string_view>

#include "transport/serial/AfLockHolders.h"
#include "uFuzzKit.h"
#include "uFuzzTargets.h"

using fuzzkit::Check;

int FuzzProcLocks(const std::uint8_t* data, std::size_t size) {
  fuzzkit::TInput input(data, size);
  TAfNodeId node;
  node.Major = input.Byte() % 4;
  node.Minor = input.Byte() % 16;
  node.Inode = input.Byte();
  const std::size_t used = std::min<std::size_t>(3, size);
  const std::string_view table(reinterpret_cast<const char*>(data) + used, size - used);
  const std::vector<int> holders = FlockHolders(table, node);
  Check(holders.size() <= kMaxLockHolders, "more holders than the bound");
  for (std::size_t i = 0; i < holders.size(); ++i) {
    Check(holders[i] > 0, "a holder that is no process id");
    Check(table.find(std::to_string(holders[i])) != std::string_view::npos,
          "a holder that is not in the table");
    for (std::size_t j = 0; j < i; ++j) Check(holders[i] != holders[j], "a holder twice");
  }
  return 0;
}
