// The identification text and the device's answer decoders: states,
// counters, temperature, labels and communication parameters, both as pure
// functions and through a module device whose answers carry the fuzzer's
// bytes (answered at once, so nothing waits).
#include <string>

#include "device/uVelto.h"
#include "device/ussVelto.h"
#include "protocol/uTervan.h"
#include "protocol/uTervan97.h"
#include "protocol/uTervanBaud.h"
#include "protocol/uTervanStack.h"
#include "support/uMemoryTransport.h"
#include "uFuzzKit.h"
#include "uFuzzTargets.h"

namespace {

using fuzzkit::Check;

void PureDecoders(std::uint8_t selector, const TBytes& bytes) {
  const std::string text(bytes.begin(), bytes.end());
  TTervanInfo tervanInfo;
  std::vector<std::string> extras;
  ParseTervanInfo(text, tervanInfo, &extras);
  Check(tervanInfo.Version.Text.size() <= 10 && tervanInfo.Version.Major.size() <= 4 &&
            tervanInfo.Version.Minor.size() <= 2 && tervanInfo.Version.Release.size() <= 2,
        "a version piece longer than its field");
  TVeltoInfo info;
  ParseVeltoInfo(text, info);

  TVeltoIOArray states;
  DecodeBits(bytes, states, static_cast<int>(selector) - 1);
  TCounterReading reading;
  ExtractCounterValue(bytes, selector, reading);
  bool first = false;
  bool second = false;
  FindCounterConfig(bytes, selector & 0x3F, first, second);
  double degrees = 0.0;
  std::uint8_t status = 0;
  if (DecodeTemperature(bytes, degrees, status))
    Check(degrees >= -3276.8 && degrees <= 3276.7, "temperature outside 16 bits of tenths");
  std::string label;
  DecodeLabel(bytes, label);
  Check(label.size() <= bytes.size(), "label longer than its answer");
  BaudFromCode(selector);
}

// A module whose identification is the fuzzer's text and whose every other
// answer carries the fuzzer's data.
void DeviceDecoders(std::uint8_t selector, const std::string& identification, const TBytes& data) {
  auto transport = Make<TMemoryTransport>();
  auto stack = Make<TTervanStack>();
  stack->SetTransport(TIntf<ICommunicationInterface>(transport));
  auto module = Make<TVelto>(0x31);
  module->SetStack(TIntf<ITervanStack>(stack));
  transport->SetResponder([&](const TBytes& written) {
    const TTervanFormat97 request = ParsePacket(written);
    const bool identify = request.INST == velto::kInstIdentify;
    return BuildPacket(request.ADR, request.SIG, 0x00,
                       identify ? TBytes(identification.begin(), identification.end()) : data);
  });

  TVeltoInfo info;
  module->GetInfo(info);
  TVeltoIOArray states;
  std::uint32_t value = 0;
  std::string text;
  std::uint8_t digit = 0;
  switch (selector % 8) {
    case 0:
      module->ReadInputs(states, true);
      Check(module->GetCachedInputs(states) <= velto::kMaxIONumber, "input copy too long");
      break;
    case 1:
      module->ReadOutputs(states, true);
      module->SetOutput(1 + selector / 8, true, 0, true);
      break;
    case 2: {
      TVeltoCounterArray counters;
      module->ReadCounters(counters, false, true);
      module->ReadCounter(1 + selector / 8 % 60, value, true, true);
      break;
    }
    case 3: {
      bool first = false;
      bool second = false;
      module->ReadCounterConfig(selector / 8, first, second);
      module->RefreshAll(false, false, false, true);
      break;
    }
    case 4: {
      TTemperatureReading reading;
      module->ReadTemperature(reading);
      break;
    }
    case 5:
      module->ReadLabelA(selector / 8, digit, text);
      module->ReadLabelB(selector / 8, digit, text);
      break;
    case 6: {
      std::int32_t baud = 0;
      std::uint8_t address = 0;
      module->ReadCommParams(address, baud);
      bool flag = false;
      module->ReadOptionFlag(flag);
      break;
    }
    default: {
      module->ReadType();
      std::uint16_t a = 0;
      std::uint16_t b = 0;
      std::uint32_t c = 0;
      module->ReadValuesFA(a, b, c);
      module->ReadTextF2(text);
      break;
    }
  }
  module->SetStack(nullptr);
  stack->SetTransport(nullptr);
  transport->SetResponder({});
}

}  // namespace

int FuzzDecoders(const std::uint8_t* data, std::size_t size) {
  fuzzkit::TInput input(data, size);
  const std::uint8_t selector = input.Byte();
  const std::size_t identLength = input.Byte();
  const TBytes ident = input.Bytes(identLength);
  const TBytes rest = input.Rest();
  PureDecoders(selector, ident);
  PureDecoders(selector, rest);
  // An answer carries at most 65,528 data bytes.
  if (rest.size() <= tervan::kMaxDataSize)
    DeviceDecoders(selector, std::string(ident.begin(), ident.end()), rest);
  return 0;
}
