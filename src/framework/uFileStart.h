// The start of a small system file (/proc, /sys), read with plain system
// calls: a stream would set up the C++ locale for a few bytes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

// At most `limit` bytes from the start of `path`; nullopt when it cannot be
// opened or read. Files of /proc report no size, so it reads until the end.
std::optional<std::string> ReadFileStart(const std::string& path, std::size_t limit);
