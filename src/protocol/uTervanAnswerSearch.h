// The answer search of one synchronous transaction: frames the bytes read
// while it waits (with the receive path's framer, so the work per byte is
// bounded whatever arrives), picks out the answer to its request and keeps
// every other byte, in arrival order, for the receive path. What it keeps is
// held to a cap, the newest bytes kept, so memory does not grow with line
// speed times time-out. Pure data handling: no I/O, no locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "framework/uBytes.h"
#include "protocol/uTervanFramer.h"

class TTervanAnswerSearch {
 public:
  // Bytes examined between two looks at the clock.
  static constexpr std::size_t kSlice = 0x8000;

  // The answer carries `sig`, an acknowledge code outside 12..15 and `adr`
  // (any address when `adr` is the universal one). Past `cap` bytes set
  // aside, the oldest go so that the newest `keep` remain.
  TTervanAnswerSearch(std::uint8_t adr, std::uint8_t sig, std::size_t cap, std::size_t keep);

  // Bytes that came before the request: never its answer.
  void SetAside(const TBytes& bytes);
  // The request as written. A packet identical to it is the line's echo of
  // it (a half-duplex line whose receiver stays on), never its answer: it is
  // dropped, as it is nobody's packet.
  void SetRequest(const TBytes& request) { FRequest = request; }
  // Examines `bytes` after those given before. True when the answer is among
  // them: it is then in `answer` and the bytes behind it are set aside.
  // `expired` is asked after each slice of a long block; once it says true,
  // the rest is set aside unexamined and the result is false.
  bool Scan(const TBytes& bytes, TBytes& answer, const std::function<bool()>& expired);
  // How many bytes of a candidate that may yet be the answer have come (its
  // header matches, or is too short to tell); 0 when none is under way.
  std::size_t PendingAnswerBytes() const;
  // Everything that was not the answer, in arrival order; empties the search.
  TBytes TakeSetAside();

 private:
  bool IsAnswer(const std::uint8_t* packet) const;
  bool IsEcho(const std::uint8_t* packet, std::size_t size) const;
  void Keep(const std::uint8_t* bytes, std::size_t size);

  std::uint8_t FAdr;
  std::uint8_t FSig;
  std::size_t FCap;
  std::size_t FKeep;
  TTervanFramer FFramer;
  TBytes FSetAside;
  TBytes FRequest;
};
