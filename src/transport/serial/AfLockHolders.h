// Who holds a flock lock on a device node, from the kernel's table of locks
// (the text of /proc/locks). Pure text work: the caller reads the table and
// the node's identity.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

// Identity of a file as the lock table names it: the device of the file
// system that holds the node (major, minor) and the node's inode number.
struct TAfNodeId {
  std::uint32_t Major = 0;
  std::uint32_t Minor = 0;
  std::uint64_t Inode = 0;
};

// At most this many holders are reported; a lock table is outside text.
constexpr std::size_t kMaxLockHolders = 8;

// Process ids that hold (not wait for) a flock lock on `node`, in table
// order, each once. Lines that do not parse are skipped; no line is trusted
// to be short, and the work is bounded by the text's length.
std::vector<int> FlockHolders(std::string_view table, const TAfNodeId& node);
