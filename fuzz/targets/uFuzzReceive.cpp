// The receive path: arbitrary bytes in arbitrary chunks into a stack with a
// module device and a device at the universal address that hears every
// packet. Small inputs are also framed by a plain reference of the same
// rules (slow, obviously right), and both must deliver the same packets and
// keep the same bytes.
#include <algorithm>
#include <string>
#include <vector>

#include "device/ussVelto.h"
#include "protocol/uTervan97.h"
#include "protocol/uTervanCore.h"
#include "protocol/uTervanStack.h"
#include "protocol/uTervanStackDevice.h"
#include "support/uMemoryTransport.h"
#include "uFuzzKit.h"
#include "uFuzzTargets.h"

namespace {

using fuzzkit::Check;

// Inputs up to this size are compared with the reference.
constexpr std::size_t kReferenceLimit = 4096;

class THearAll : public TTervanStackDevice {
 public:
  THearAll() : TTervanStackDevice(tervan::kAdrUniversal) {}
  void ProcessPacket(const TTervanFormat97& packet) override {
    Heard.push_back(BuildPacket(packet.ADR, packet.SIG, packet.INST, packet.Data));
    TTervanStackDevice::ProcessPacket(packet);
  }
  std::vector<TBytes> Heard;
};

// The receive path's rules written plainly, searching and summing afresh.
class TReferenceFramer {
 public:
  void Append(const TBytes& bytes) {
    FBuffer.insert(FBuffer.end(), bytes.begin(), bytes.end());
    if (FBuffer.size() > TTervanStack::kRxBufferCap)
      FBuffer.erase(FBuffer.begin(),
                    FBuffer.end() - static_cast<std::ptrdiff_t>(TTervanStack::kRxBufferKeep));
  }

  // Packets in order; garbage dropped.
  void Drain(std::vector<TBytes>& packets) {
    for (;;) {
      const std::size_t length = ExtractPacketLength(FBuffer.data(), FBuffer.size());
      if (length != 0) {
        if (CheckPacket(FBuffer.data(), length) == 0) {
          const TTervanFormat97 p = ParsePacket(FBuffer.data(), length);
          if (p.ADR != tervan::kAdrBroadcast)
            packets.push_back(BuildPacket(p.ADR, p.SIG, p.INST, p.Data));
          Drop(length);
        } else {
          std::size_t next = 1;
          while (next < length && FBuffer[next] != tervan::kPrefix) ++next;
          Drop(next);
        }
        continue;
      }
      std::size_t at = 0;
      while (at < FBuffer.size() &&
             ExtractPacketLength(FBuffer.data() + at, FBuffer.size() - at) == 0)
        ++at;
      if (at < FBuffer.size()) {
        Drop(at);
        continue;
      }
      std::size_t first = 0;
      while (first + 1 < FBuffer.size() &&
             !(FBuffer[first] == tervan::kPrefix && FBuffer[first + 1] == tervan::kFormat97))
        ++first;
      if (first + 1 >= FBuffer.size() && !(FBuffer.size() > 0 && FBuffer.back() == tervan::kPrefix))
        first = FBuffer.size();
      if (first == 0) return;
      Drop(first);
    }
  }

  std::size_t Size() const { return FBuffer.size(); }

 private:
  void Drop(std::size_t count) {
    FBuffer.erase(FBuffer.begin(), FBuffer.begin() + static_cast<std::ptrdiff_t>(count));
  }
  TBytes FBuffer;
};

// Chunk sizes from a small generator: the first byte picks the largest size
// and seeds the sizes.
class TChunker {
 public:
  explicit TChunker(std::uint8_t seed) : FState(seed | 1u) {
    static constexpr std::size_t kLargest[] = {1, 3, 16, 64, 512, 4096, 65536, 1u << 30};
    FLargest = kLargest[seed & 7];
  }
  std::size_t Next() {
    FState = FState * 1103515245u + 12345u;
    return 1 + (FState >> 8) % FLargest;
  }

 private:
  std::uint32_t FState;
  std::size_t FLargest;
};

}  // namespace

int FuzzReceive(const std::uint8_t* data, std::size_t size) {
  fuzzkit::TInput input(data, size);
  TChunker chunker(input.Byte());
  const TBytes stream = input.Rest();
  const bool compare = stream.size() <= kReferenceLimit;

  auto transport = Make<TMemoryTransport>();
  auto stack = Make<TTervanStack>();
  stack->SetTransport(TIntf<ICommunicationInterface>(transport));
  auto module = Make<TVelto>(0x31);
  auto all = Make<THearAll>();
  module->SetStack(TIntf<ITervanStack>(stack));
  all->SetStack(TIntf<ITervanStack>(stack));
  // An output set without waiting: its answer, if one comes, runs a callback.
  module->SetOutput(3, true, 0, false);

  TReferenceFramer reference;
  std::vector<TBytes> expected;
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t n = std::min(chunker.Next(), stream.size() - at);
    const TBytes chunk(stream.begin() + static_cast<std::ptrdiff_t>(at),
                       stream.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n;
    try {
      stack->Receive(chunk);
    } catch (const ETervanStackError&) {
      // A packet to the broadcast address is reported; receiving goes on.
    }
    Check(stack->RxBufferSize() <= TTervanStack::kRxBufferCap, "receive buffer over its cap");
    if (!compare) continue;
    reference.Append(chunk);
    reference.Drain(expected);
    Check(all->Heard == expected, "packets differ from the reference",
          std::to_string(all->Heard.size()) + " vs " + std::to_string(expected.size()));
    Check(stack->RxBufferSize() == reference.Size(), "bytes kept differ from the reference",
          std::to_string(stack->RxBufferSize()) + " vs " + std::to_string(reference.Size()));
  }

  module->SetStack(nullptr);
  all->SetStack(nullptr);
  stack->SetTransport(nullptr);
  return 0;
}
