// The serial engine's reads, writes, flushes and waits on an open tty.
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "transport/serial/AfTty.h"

long TtyRead(int fd, std::uint8_t* buffer, std::size_t n, bool& gone) {
  gone = false;
  const ssize_t got = ::read(fd, buffer, n);
  if (got >= 0) return static_cast<long>(got);
  gone = errno == EIO;
  return 0;  // EAGAIN: nothing there
}

long TtyWrite(int fd, const std::uint8_t* data, std::size_t n, TTtyWriteOutcome& outcome) {
  const ssize_t written = ::write(fd, data, n);
  if (written > 0) {
    outcome = TTtyWriteOutcome::Written;
    return static_cast<long>(written);
  }
  if (written == 0 || errno == EAGAIN || errno == EWOULDBLOCK)
    outcome = TTtyWriteOutcome::Full;
  else if (errno == EINTR)
    outcome = TTtyWriteOutcome::Interrupted;
  else if (errno == EIO)
    outcome = TTtyWriteOutcome::Gone;
  else
    outcome = TTtyWriteOutcome::Failed;
  return 0;
}

int TtyInQueueChecked(int fd, bool& gone) {
  const int waiting = TtyInQueue(fd);
  gone = waiting < 0 && errno == EIO;
  return waiting;
}

bool TtyFlush(int fd, TTtyQueue queue) {
  const int which = queue == TTtyQueue::Input    ? TCIFLUSH
                    : queue == TTtyQueue::Output ? TCOFLUSH
                                                 : TCIOFLUSH;
  return tcflush(fd, which) == 0;
}

TTtyApply ApplyLineRecord(int fd, TAfLineRecord& record, std::string& untaken, int& error) {
  errno = 0;
  const TTtyApply result = ApplyLineRecord(fd, record, untaken);
  error = errno;
  return result;
}

TTtyReady TtyWait(int fd, bool input, bool output, int wakeFd, std::uint32_t timeoutMs) {
  const short events = static_cast<short>((input ? POLLIN : 0) | (output ? POLLOUT : 0));
  pollfd fds[2] = {{wakeFd, POLLIN, 0}, {fd, events, 0}};
  TTtyReady ready;
  if (poll(fds, 2, static_cast<int>(std::min<std::uint32_t>(timeoutMs, INT_MAX))) <= 0)
    return ready;
  ready.Woken = (fds[0].revents & POLLIN) != 0;
  ready.Input = (fds[1].revents & POLLIN) != 0;
  ready.Output = (fds[1].revents & POLLOUT) != 0;
  ready.Gone = (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  return ready;
}

void TtyNameThread(const char* name) {
  pthread_setname_np(pthread_self(), name);
}
