// Receive path throughput: packets framed and dispatched per second for
// batches of different sizes (the cost per packet must not grow with the
// batch), and bytes per second through a buffer of garbage.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>

#include "protocol/uTervan97.h"
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
    TBytes p = BuildPacket(0x31, static_cast<std::uint8_t>(i), 0x0D,
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

// Garbage made of packet headers whose claimed length is never complete:
// the worst case, where every byte of the buffer must be kept and searched.
void BM_ReceiveFalseHeaders(benchmark::State& state) {
  TBench bench;
  TBytes garbage;
  while (garbage.size() < static_cast<std::size_t>(state.range(0))) {
    const std::uint8_t header[] = {0x2A, 0x61, 0xFF, 0xF0};
    garbage.insert(garbage.end(), std::begin(header), std::end(header));
  }
  for (auto _ : state) {
    bench.Stack->Receive(garbage);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(garbage.size()));
  state.counters["rx_left"] = static_cast<double>(bench.Stack->RxBufferSize());
}
BENCHMARK(BM_ReceiveFalseHeaders)->Arg(4096);

}  // namespace
