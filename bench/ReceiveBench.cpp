// Receive path throughput: packets framed and dispatched per second for
// batches of different sizes (the cost per packet must not grow with the
// batch), bytes per second through a buffer of garbage, and the cost per
// byte of a flood of header look-alikes, in the receive path and in a
// transaction's answer search, which must stay flat from 4 KB to 4 MB.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "protocol/uTervan97.h"
#include "protocol/uTervanAnswerSearch.h"
#include "protocol/uTervanStack.h"
#include "protocol/uTervanStackDevice.h"

namespace {

class TCountingDevice : public TTervanStackDevice {
 public:
  TCountingDevice() : TTervanStackDevice(0x31) {}
  void ProcessNotification(const TTervanFormat97& packet) override {
    Count += packet.Data.size() + 1;
  }
  std::uint64_t Count = 0;
};

struct TBench {
  TBench() {
    Stack = Make<TTervanStack>();
    Device = Make<TCountingDevice>();
    Device->SetStack(TIntf<ITervanStack>(Stack));
    // A second device at another address, as on a shared line.
    Other = Make<TTervanStackDevice>(0x32);
    Other->SetStack(TIntf<ITervanStack>(Stack));
  }
  ~TBench() {
    Device->SetStack(nullptr);
    Other->SetStack(nullptr);
  }
  TIntf<TTervanStack> Stack;
  TIntf<TCountingDevice> Device;
  TIntf<TTervanStackDevice> Other;
};

// Input-change notifications with two data bytes, like a module sends.
TBytes Batch(std::int64_t packets) {
  TBytes all;
  for (std::int64_t i = 0; i < packets; ++i) {
    TBytes p = BuildPacket(0x31, static_cast<std::uint8_t>(i), velto::kNotifyInputs,
                           {0x00, static_cast<std::uint8_t>(i & 0x0F)});
    all.insert(all.end(), p.begin(), p.end());
  }
  return all;
}

void BM_ReceivePackets(benchmark::State& state) {
  TBench bench;
  const TBytes batch = Batch(state.range(0));
  for (auto _ : state) {
    bench.Stack->Receive(batch);
  }
  benchmark::DoNotOptimize(bench.Device->Count);
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(batch.size()));
  state.counters["rx_left"] = static_cast<double>(bench.Stack->RxBufferSize());
}
BENCHMARK(BM_ReceivePackets)->Arg(10)->Arg(1000)->Arg(10000);

// The same packets cut into 7-byte pieces, as a slow line delivers them.
void BM_ReceiveFragmented(benchmark::State& state) {
  TBench bench;
  const TBytes batch = Batch(state.range(0));
  for (auto _ : state) {
    for (std::size_t at = 0; at < batch.size(); at += 7)
      bench.Stack->Receive(batch.data() + at, std::min<std::size_t>(7, batch.size() - at));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReceiveFragmented)->Arg(1000);

// Random bytes: now and then a "*a" with a length that claims more bytes,
// which then fails its check. Items = bytes.
void BM_ReceiveGarbage(benchmark::State& state) {
  TBench bench;
  std::mt19937 random(97);
  TBytes garbage(static_cast<std::size_t>(state.range(0)));
  for (auto& b : garbage) b = static_cast<std::uint8_t>(random());
  for (auto _ : state) {
    bench.Stack->Receive(garbage);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetBytesProcessed(state.iterations() * state.range(0));
  state.counters["rx_left"] = static_cast<double>(bench.Stack->RxBufferSize());
}
BENCHMARK(BM_ReceiveGarbage)->Arg(4096)->Arg(65536);

// Headers that each claim 64 KiB: every 4-byte step is a candidate that is
// whole once enough bytes follow it, and fails its check.
TBytes LookAlikes(std::size_t size) {
  TBytes bytes;
  bytes.reserve(size + 4);
  while (bytes.size() < size) bytes.insert(bytes.end(), {0x2A, 0x61, 0xFF, 0xFD});
  return bytes;
}

constexpr std::size_t kChunk = 4096;  // one read of a busy line

// The flood cut into reads.
std::vector<TBytes> Reads(const TBytes& flood) {
  std::vector<TBytes> reads;
  for (std::size_t at = 0; at < flood.size(); at += kChunk)
    reads.emplace_back(
        flood.begin() + static_cast<std::ptrdiff_t>(at),
        flood.begin() + static_cast<std::ptrdiff_t>(std::min(at + kChunk, flood.size())));
  return reads;
}

// Items = flood bytes; ns_per_byte is what must stay flat across the sizes.
void CountFloodBytes(benchmark::State& state) {
  const auto bytes = static_cast<double>(state.iterations() * state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["ns_per_byte"] =
      benchmark::Counter(bytes, benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
                         benchmark::Counter::kIs1000);
}

void FloodSizes(benchmark::internal::Benchmark* b) {
  b->RangeMultiplier(4)->Range(4 << 10, 4 << 20)->Unit(benchmark::kMillisecond);
}

// The flood into the receive path in reads of 4 KB.
void BM_ReceiveFlood(benchmark::State& state) {
  TBench bench;
  const std::vector<TBytes> reads = Reads(LookAlikes(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) {
    for (const TBytes& read : reads) bench.Stack->Receive(read);
  }
  CountFloodBytes(state);
}
BENCHMARK(BM_ReceiveFlood)->Apply(FloodSizes);

// The same flood, then the answer, through a transaction's answer search.
void BM_AnswerSearchFlood(benchmark::State& state) {
  const std::vector<TBytes> reads = Reads(LookAlikes(static_cast<std::size_t>(state.range(0))));
  const TBytes answerPacket = BuildPacket(0x31, 0, tervan::kAckOk, {0x00, 0x05});
  for (auto _ : state) {
    TTervanAnswerSearch search(0x31, 0, TTervanStack::kRxBufferCap, TTervanStack::kRxBufferKeep);
    TBytes answer;
    for (const TBytes& read : reads) search.Scan(read, answer, {});
    if (!search.Scan(answerPacket, answer, {})) state.SkipWithError("the answer was not found");
    benchmark::DoNotOptimize(search.TakeSetAside());
  }
  CountFloodBytes(state);
}
BENCHMARK(BM_AnswerSearchFlood)->Apply(FloodSizes);

}  // namespace
