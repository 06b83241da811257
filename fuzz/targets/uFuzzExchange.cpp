// Waiting exchanges of a module device whose arriving bytes come from the
// fuzzer: the answer search, late answers, signatures and deadlines. Runs on
// the scripted transport's clock, so time-outs cost no real time. Every
// answer a transaction takes must be the request's, and every transaction
// must end by its deadline plus one pass.
#include <algorithm>
#include <string>

#include "device/ussVelto.h"
#include "protocol/uTervan97.h"
#include "protocol/uTervanCore.h"
#include "protocol/uTervanStack.h"
#include "support/uScriptedTransport.h"
#include "uFuzzKit.h"
#include "uFuzzTargets.h"

namespace {

using fuzzkit::Check;

// Character times the line may have: none (TCP), 115200 and 300 baud.
constexpr double kByteTimes[] = {0.0, 10000.0 / 115200.0, 10000.0 / 300.0};

// A stack that checks each transaction it carries out.
class TCheckedStack : public TTervanStack {
 public:
  explicit TCheckedStack(TIntf<TScriptedTransport> line) : FLine(std::move(line)) {}

  bool Transact(std::uint8_t adr, std::uint8_t sig, std::uint8_t inst, const TBytes& data,
                TBytes& answer, std::int32_t timeout) override {
    const std::uint32_t start = FLine->Now();
    const bool ok = TTervanStack::Transact(adr, sig, inst, data, answer, timeout);
    const double byteTime = FLine->GetByteTime();
    // An answer under way extends the deadline by at most the largest
    // answer of the instruction, whatever its head announces.
    const std::uint32_t bound = static_cast<std::uint32_t>(std::max(timeout, 0)) + kPassMs +
                                WireTimeMs(data.size() + tervan::kMinPacketSize, byteTime) +
                                AnswerOverrunMs(inst, byteTime);
    Check(FLine->Now() - start <= bound, "transaction outlived its deadline",
          std::to_string(FLine->Now() - start) + " ms");
    if (ok) {
      Check(CheckPacket(answer) == 0, "the answer taken is no valid packet");
      Check(answer != BuildPacket(adr, sig, inst, data), "the echo of the request was taken");
      const TTervanFormat97 p = ParsePacket(answer);
      Check(p.SIG == sig, "the answer taken carries another signature");
      Check(adr == tervan::kAdrUniversal || p.ADR == adr, "the answer taken is another address's");
      Check(!tervan::IsNotificationCode(p.INST), "a notification was taken for the answer");
    }
    return ok;
  }

 private:
  TIntf<TScriptedTransport> FLine;
};

// Each request written takes the next reply from the input: a delay, then
// either the fuzzer's bytes as they are or an answer built for the request
// (the fuzzer's acknowledge code and data, maybe another signature, maybe
// behind the request's echo), cut into pieces that arrive some time apart.
void Reply(fuzzkit::TInput& input, TScriptedTransport& line, const TBytes& written) {
  if (input.Empty()) return;
  const std::uint32_t delay = input.Byte() * 10u;
  const std::uint8_t mode = input.Byte();
  const std::size_t length = input.Word();
  TBytes bytes = input.Bytes(length);
  if ((mode & 3) != 0 && CheckPacket(written) == 0) {
    const TTervanFormat97 request = ParsePacket(written);
    const std::uint8_t sig =
        (mode & 3) == 2 ? static_cast<std::uint8_t>(request.SIG + 1) : request.SIG;
    const std::uint8_t ack = bytes.empty() ? 0 : bytes[0];
    const TBytes answerData(bytes.begin() + (bytes.empty() ? 0 : 1), bytes.end());
    bytes = BuildPacket(request.ADR, sig, (mode & 4) != 0 ? ack : 0, answerData);
    // A line that echoes: the request itself comes first.
    if ((mode & 3) == 3) bytes.insert(bytes.begin(), written.begin(), written.end());
  }
  const std::size_t piece = 1 + (mode >> 3) % 16u * 4u;
  const std::uint32_t gap = (mode >> 7) * 40u;
  for (std::size_t at = 0, n = 0; at < bytes.size(); at += piece, ++n) {
    const auto end = std::min(at + piece, bytes.size());
    line.Schedule(delay + static_cast<std::uint32_t>(n) * gap,
                  TBytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                         bytes.begin() + static_cast<std::ptrdiff_t>(end)));
  }
}

}  // namespace

int FuzzExchange(const std::uint8_t* data, std::size_t size) {
  fuzzkit::TInput input(data, size);
  const std::uint8_t setup = input.Byte();
  auto line = Make<TScriptedTransport>();
  line->SetByteTime(kByteTimes[setup % 3]);
  auto stack = Make<TCheckedStack>(line);
  stack->SetTickSource(line->Clock());
  stack->SetTransport(TIntf<ICommunicationInterface>(line));
  auto module = Make<TVelto>((setup & 8) != 0 ? tervan::kAdrUniversal : 0x31);
  module->SetTickSource(line->Clock());
  module->SetTimeout(100 + (setup >> 4) * 100);
  module->SetStack(TIntf<ITervanStack>(stack));
  line->SetResponder([&](const TBytes& written) {
    Reply(input, *line, written);
    return TBytes{};
  });

  // What a console run does, and more of the module's instructions.
  TVeltoInfo info;
  module->GetInfo(info);
  module->SetOutput(3, true, 0, true);
  module->SetOutput(2, false, 10, true);
  TVeltoIOArray states;
  module->ReadInputs(states, true);
  module->ReadOutputs(states, true);
  std::uint32_t counter = 0;
  module->ReadCounter(1, counter, false, true);
  TTemperatureReading reading;
  module->ReadTemperature(reading);
  std::uint8_t digit = 0;
  std::string text;
  module->ReadLabelA(1, digit, text);
  std::int32_t baud = 0;
  std::uint8_t address = 0;
  module->ReadCommParams(address, baud);
  // Whatever is still scheduled arrives while nobody waits.
  while (line->WaitReceived(1000)) {
    TBytes rest;
    line->Read(rest);
    try {
      stack->Receive(rest);
    } catch (const ETervanStackError&) {
      // A packet to the broadcast address is reported; receiving goes on.
    }
  }

  module->SetStack(nullptr);
  stack->SetTransport(nullptr);
  line->SetResponder({});
  return 0;
}
