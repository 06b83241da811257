// Cost of one waiting exchange against a peer that answers at once: the
// answer must be taken as soon as it is there, not at the next polling tick.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "protocol/uTervan97.h"
#include "protocol/uTervanStack.h"
#include "protocol/uTervanStackDevice.h"
#include "transport/uci_ICommunicationInterface.h"

namespace {

// A line to a module: written requests go to `Answer`, which either answers
// inside Write or leaves the request to the peer thread.
class TLineTransport : public TCommunicationInterface {
 public:
  explicit TLineTransport(bool answerFromThread) : FFromThread(answerFromThread) {
    if (FFromThread) FPeer = std::thread([this] { PeerLoop(); });
  }
  ~TLineTransport() override { Stop(); }

  void Stop() {
    {
      std::lock_guard<std::mutex> guard(FLock);
      FStop = true;
    }
    FChanged.notify_all();
    if (FPeer.joinable()) FPeer.join();
  }

  bool GetActive() override { return true; }
  std::string GetDescription() override { return "line"; }
  std::int32_t Write(const TBytes& data) override {
    std::lock_guard<TTransportMutex> line(TransportLock());
    {
      std::lock_guard<std::mutex> guard(FLock);
      if (FFromThread) {
        FRequest = data;
      } else {
        Answer(data);
      }
    }
    FChanged.notify_all();
    return static_cast<std::int32_t>(data.size());
  }
  void Read(TBytes& data) override {
    std::lock_guard<TTransportMutex> line(TransportLock());
    std::lock_guard<std::mutex> guard(FLock);
    data.swap(FInput);
    FInput.clear();
  }
  std::int32_t GetReceivedCount() override {
    std::lock_guard<std::mutex> guard(FLock);
    return static_cast<std::int32_t>(FInput.size());
  }
  bool WaitReceived(std::int32_t timeout) override {
    std::unique_lock<std::mutex> guard(FLock);
    return FChanged.wait_for(guard, std::chrono::milliseconds(timeout),
                             [this] { return !FInput.empty(); });
  }

 private:
  // Caller holds FLock.
  void Answer(const TBytes& request) {
    TTervanFormat97 r = ParsePacket(request);
    TBytes answer = BuildPacket(r.ADR, r.SIG, 0x00, {0x00, 0x05});
    FInput.insert(FInput.end(), answer.begin(), answer.end());
  }

  void PeerLoop() {
    std::unique_lock<std::mutex> guard(FLock);
    for (;;) {
      FChanged.wait(guard, [this] { return FStop || !FRequest.empty(); });
      if (FStop) return;
      Answer(FRequest);
      FRequest.clear();
      guard.unlock();
      FChanged.notify_all();
      guard.lock();
    }
  }

  const bool FFromThread;
  std::mutex FLock;
  std::condition_variable FChanged;
  TBytes FInput;
  TBytes FRequest;
  bool FStop = false;
  std::thread FPeer;
};

void RunExchanges(benchmark::State& state, bool fromThread) {
  auto transport = Make<TLineTransport>(fromThread);
  auto stack = Make<TTervanStack>();
  stack->SetTransport(TIntf<ICommunicationInterface>(transport));
  auto device = Make<TTervanStackDevice>(0x31);
  device->SetStack(TIntf<ITervanStack>(stack));
  std::int64_t failed = 0;
  for (auto _ : state) {
    TBytes data;
    if (!device->AskAndWait(velto::kInstReadInputs, {}, data, 1000)) ++failed;
    benchmark::DoNotOptimize(data);
  }
  state.counters["failed"] = static_cast<double>(failed);
  state.SetItemsProcessed(state.iterations());
  device->SetStack(nullptr);
  stack->SetTransport(nullptr);
  transport->Stop();
}

// The peer's answer is there when the write returns.
void BM_WaitingExchange_AnswerInWrite(benchmark::State& state) {
  RunExchanges(state, false);
}
BENCHMARK(BM_WaitingExchange_AnswerInWrite)->Unit(benchmark::kMicrosecond);

// The peer answers from its own thread right after the request.
void BM_WaitingExchange_AnswerFromPeerThread(benchmark::State& state) {
  RunExchanges(state, true);
}
BENCHMARK(BM_WaitingExchange_AnswerFromPeerThread)->Unit(benchmark::kMicrosecond);

}  // namespace
