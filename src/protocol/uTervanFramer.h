// Frames a stream of received bytes into packets of format 97, whatever the
// bytes are, with work per byte bounded independently of what arrives: a
// flood of headers that each claim 64 KiB costs no more per byte than plain
// noise. Pure data handling: no I/O, no locks, no time.
//
// The rules are those of the receive path:
// - a whole candidate at the front ("*a", then as many bytes as its length
//   field claims) is taken when it checks out as a packet; when it does not,
//   only its bytes up to the next "*" in it are dropped, so a packet that
//   starts inside it is still found;
// - a front candidate that is not whole yet waits for its bytes, unless a
//   whole candidate stands behind it: the bytes before the first such one go;
// - bytes before the first "*a" can never begin a packet and go at once (a
//   last lone "*" stays, its "a" may follow);
// - past the cap the oldest bytes are cut, the newest kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <queue>
#include <utility>
#include <vector>

#include "framework/uBytes.h"

class TTervanFramer {
 public:
  enum class TUnitKind { Packet, Garbage };
  // What Next took from the front. `Bytes` stays valid until the next Append
  // or Clear.
  struct TUnit {
    TUnitKind Kind = TUnitKind::Garbage;
    const std::uint8_t* Bytes = nullptr;
    std::size_t Size = 0;
  };

  // When more than `cap` bytes would be held, the oldest are cut so that the
  // newest `keep` remain; `cap` 0 holds everything.
  TTervanFramer(std::size_t cap, std::size_t keep);

  // Adds received bytes; returns how many of the oldest bytes (held or just
  // given) the cap cut away.
  std::size_t Append(const std::uint8_t* bytes, std::size_t size);
  std::size_t Append(const TBytes& bytes) { return Append(bytes.data(), bytes.size()); }
  // Takes the next unit from the front: a whole valid packet, or bytes that
  // are no packet. False when what is held must wait for more bytes.
  bool Next(TUnit& unit);

  // The bytes held, oldest first.
  const std::uint8_t* Data() const { return FBytes.data() + FStart; }
  std::size_t Size() const { return FBytes.size() - FStart; }
  void Clear();

 private:
  using TPosition = std::uint64_t;  // offset in the whole stream since the last Clear

  // Smallest-first queue. Values pushed in rising order (the usual case: a
  // flood of equal headers) cost O(1) each; others go to a heap.
  template <class T>
  class TMinQueue {
   public:
    bool Empty() const { return FRising.empty() && FHeap.empty(); }
    void Push(const T& value) {
      if (FRising.empty() || !(value < FRising.back()))
        FRising.push_back(value);
      else
        FHeap.push(value);
    }
    const T& Top() const {
      if (FHeap.empty() || (!FRising.empty() && FRising.front() < FHeap.top()))
        return FRising.front();
      return FHeap.top();
    }
    void Pop() {
      if (FHeap.empty() || (!FRising.empty() && FRising.front() < FHeap.top()))
        FRising.pop_front();
      else
        FHeap.pop();
    }
    void Clear() {
      FRising.clear();
      FHeap = {};
    }

   private:
    std::deque<T> FRising;
    std::priority_queue<T, std::vector<T>, std::greater<T>> FHeap;
  };

  TPosition Front() const { return FBase + FStart; }
  TPosition End() const { return FBase + FBytes.size(); }
  void Consume(std::size_t count);
  void Compact();
  // The `size` bytes at the front form a valid packet (CheckPacket gives 0).
  bool ValidAtFront(std::size_t size) const;
  // The first position behind the front at which a whole candidate stands.
  bool FindWholeCandidate(TPosition& position);
  // Records the "*a" positions not seen yet whose length field has come.
  void RegisterStarts();

  std::size_t FCap;
  std::size_t FKeep;
  TBytes FBytes;
  TBytes FSums;            // FSums[i] = sum of FBytes[0, i) modulo 256: any span's sum in O(1)
  std::size_t FStart = 0;  // bytes of FBytes already taken
  TPosition FBase = 0;     // stream position of FBytes[0]
  // Positions before this one are registered below or begin no packet.
  TPosition FScanned = 0;
  // Candidates not whole yet, by the position at which they will be.
  TMinQueue<std::pair<TPosition, TPosition>> FWaiting;
  // Candidates that are whole, by their own position.
  TMinQueue<TPosition> FWhole;
};
