#include "framework/uFileStart.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

std::optional<std::string> ReadFileStart(const std::string& path, std::size_t limit) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  // Grown a piece at a time: a generous limit costs nothing on a short file.
  constexpr std::size_t kPiece = 16384;
  std::string text;
  bool failed = false;
  while (text.size() < limit) {
    const std::size_t had = text.size();
    text.resize(had + std::min(kPiece, limit - had));
    const ssize_t got = ::read(fd, text.data() + had, text.size() - had);
    if (got < 0 && errno == EINTR) {
      text.resize(had);
      continue;
    }
    text.resize(had + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    if (got <= 0) {
      failed = got < 0;
      break;
    }
  }
  ::close(fd);
  if (failed) return std::nullopt;
  return text;
}
