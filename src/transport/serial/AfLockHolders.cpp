#include "transport/serial/AfLockHolders.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace {

// A line has eight or nine fields ("1: FLOCK ADVISORY WRITE 812 00:05:93 0 EOF",
// a waiter with "->" after the number); more are not looked at.
constexpr std::size_t kMaxFields = 10;

using TFields = std::array<std::string_view, kMaxFields>;

std::size_t SplitFields(std::string_view line, TFields& fields) {
  std::size_t count = 0;
  std::size_t i = 0;
  while (i < line.size() && count < kMaxFields) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) fields[count++] = line.substr(start, i - start);
  }
  return count;
}

template <class T>
bool ParseWhole(std::string_view text, T& value, int base) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, value, base);
  return result.ec == std::errc() && result.ptr == end;
}

// "08:02:1234": major and minor in hexadecimal, the inode in decimal.
bool ParseNode(std::string_view text, TAfNodeId& node) {
  const std::size_t first = text.find(':');
  if (first == std::string_view::npos) return false;
  const std::size_t second = text.find(':', first + 1);
  if (second == std::string_view::npos) return false;
  return ParseWhole(text.substr(0, first), node.Major, 16) &&
         ParseWhole(text.substr(first + 1, second - first - 1), node.Minor, 16) &&
         ParseWhole(text.substr(second + 1), node.Inode, 10);
}

bool HolderOf(std::string_view line, const TAfNodeId& node, int& pid) {
  TFields fields;
  const std::size_t count = SplitFields(line, fields);
  // id: FLOCK ADVISORY WRITE pid node start end
  if (count < 6 || fields[0].empty() || fields[0].back() != ':') return false;
  if (fields[1] != "FLOCK") return false;  // also skips waiters ("->")
  TAfNodeId locked;
  if (!ParseNode(fields[5], locked)) return false;
  if (locked.Major != node.Major || locked.Minor != node.Minor || locked.Inode != node.Inode)
    return false;
  return ParseWhole(fields[4], pid, 10) && pid > 0;
}

}  // namespace

std::vector<int> FlockHolders(std::string_view table, const TAfNodeId& node) {
  std::vector<int> holders;
  while (!table.empty() && holders.size() < kMaxLockHolders) {
    const std::size_t end = std::min(table.find('\n'), table.size());
    const std::string_view line = table.substr(0, end);
    table.remove_prefix(std::min(end + 1, table.size()));
    int pid = 0;
    if (HolderOf(line, node, pid) &&
        std::find(holders.begin(), holders.end(), pid) == holders.end())
      holders.push_back(pid);
  }
  return holders;
}
