// When the simulator's writes leave a link that holds them back like a slow
// line: a fixed delay before each answer, and the time bytes take on a line
// of a given baud rate (10 bits a byte) in each direction. A write never
// leaves before the one queued ahead of it. Times are passed in, so the
// schedule is exact and tests need no clock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

class TSimLineTiming {
 public:
  using TTime = std::chrono::steady_clock::time_point;

  // `wireBaud` 0: bytes take no time on the line.
  TSimLineTiming(std::uint32_t answerDelayMs, std::uint32_t wireBaud)
      : FAnswerDelay(answerDelayMs), FWireBaud(wireBaud) {}

  // `count` bytes read from the peer at `now`: when their last byte is in,
  // after the bytes still coming in ahead of them.
  TTime Heard(TTime now, std::size_t count);
  // When an answer to what was heard at `heard` may start to go out.
  TTime AnswerReady(TTime heard) const { return heard + FAnswerDelay; }
  // A write of `count` bytes that may start at `ready`, at least `pauseMs`
  // after the write before it ended: when its last byte has gone out.
  TTime Leaves(TTime ready, std::size_t count, std::uint32_t pauseMs);
  // A new peer: nothing on the line in either direction.
  void Reset();

  std::chrono::nanoseconds WireTime(std::size_t count) const;
  // How many of `count` bytes that start leaving at `start` are wholly out
  // by `now`.
  std::size_t BytesBy(TTime start, TTime now, std::size_t count) const;

 private:
  std::chrono::milliseconds FAnswerDelay;
  std::uint32_t FWireBaud;
  TTime FInboundEnd{};
  TTime FOutboundEnd{};
};
