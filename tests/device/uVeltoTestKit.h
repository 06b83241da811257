// Shared pieces of the I/O module device tests: a device bound through a real
// stack to an in-memory transport whose peer is either the in-process module
// simulator or a scripted module, and a recorder of the device's events.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "device/ussVelto.h"
#include "framework/uBytes.h"
#include "framework/uTick.h"
#include "protocol/uTervan97.h"
#include "protocol/uTervanStack.h"
#include "simulator/uModuleSimulator.h"
#include "support/uMemoryTransport.h"

namespace veltotest {

inline TBytes Hex(const char* hex) {
  return BytesFromHex(hex);
}

// What a scripted module answers to one instruction.
struct TReply {
  std::uint8_t Ack = 0;
  TBytes Data;
  bool Silent = false;
};

// Everything the device's events reported, in order.
class TEventLog {
 public:
  struct TSingle {
    std::int16_t Number;
    bool NewState;
    bool OldState;
    bool operator==(const TSingle&) const = default;
  };

  void Subscribe(IVelto& device, bool inputs) {
    if (inputs) {
      device.InputsChangedEvents().AddHandler(ListHandler());
      device.InputChangedEvents().AddHandler(SingleHandler());
    } else {
      device.OutputsChangedEvents().AddHandler(ListHandler());
      device.OutputChangedEvents().AddHandler(SingleHandler());
    }
  }
  void SubscribeTemperature(IVelto& device) {
    device.TemperatureEvents().AddHandler(
        TeventerVeltoTemperature::THandler::Of<&TEventLog::OnTemperature>(this));
  }
  void Unsubscribe(IVelto& device, bool inputs) {
    if (inputs) {
      device.InputsChangedEvents().RemoveHandler(ListHandler());
      device.InputChangedEvents().RemoveHandler(SingleHandler());
    } else {
      device.OutputsChangedEvents().RemoveHandler(ListHandler());
      device.OutputChangedEvents().RemoveHandler(SingleHandler());
    }
  }

  std::vector<TIOsChngRec> Lists() {
    std::lock_guard<std::mutex> guard(FLock);
    return FLists;
  }
  std::vector<TSingle> Singles() {
    std::lock_guard<std::mutex> guard(FLock);
    return FSingles;
  }
  std::vector<TTemperatureChange> Temperatures() {
    std::lock_guard<std::mutex> guard(FLock);
    return FTemperatures;
  }
  // The device that fired, as seen by the last handler call.
  const void* LastSender() {
    std::lock_guard<std::mutex> guard(FLock);
    return FLastSender;
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(FLock);
    FLists.clear();
    FSingles.clear();
    FTemperatures.clear();
  }

 private:
  TeventerVeltoNotifyChangeIOs::THandler ListHandler() {
    return TeventerVeltoNotifyChangeIOs::THandler::Of<&TEventLog::OnList>(this);
  }
  TeventerVeltoNotifyChangeIO::THandler SingleHandler() {
    return TeventerVeltoNotifyChangeIO::THandler::Of<&TEventLog::OnSingle>(this);
  }
  void OnList(TIntf<IVelto> sender, TIOsChngRec changes) {
    std::lock_guard<std::mutex> guard(FLock);
    FLastSender = ObjectOf(sender.get());
    FLists.push_back(std::move(changes));
  }
  void OnSingle(TIntf<IVelto> sender, std::int16_t number, bool newState, bool oldState) {
    std::lock_guard<std::mutex> guard(FLock);
    FLastSender = ObjectOf(sender.get());
    FSingles.push_back({number, newState, oldState});
  }
  void OnTemperature(TIntf<IVelto> sender, TTemperatureChange change) {
    std::lock_guard<std::mutex> guard(FLock);
    FLastSender = ObjectOf(sender.get());
    FTemperatures.push_back(change);
  }

  std::mutex FLock;
  std::vector<TIOsChngRec> FLists;
  std::vector<TSingle> FSingles;
  std::vector<TTemperatureChange> FTemperatures;
  const void* FLastSender = nullptr;
};

// A TVelto at address 0x31 on a stack over an in-memory transport. The peer
// is the module simulator unless a test scripts the answers itself.
class VeltoFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    FLiveAtStart = LiveNodeCount();
    Transport = Make<TMemoryTransport>(true);
    Stack = Make<TTervanStack>();
    Stack->SetTransport(TIntf<ICommunicationInterface>(Transport));
    Device = Make<TVelto>(0x31);
    Device->SetStack(TIntf<ITervanStack>(Stack));
    // Keeps failing exchanges short: the peer answers inside Write or never.
    Device->SetTimeout(100);
  }

  void TearDown() override {
    Device->SetStack(nullptr);
    Stack->SetTransport(nullptr);
    Device.reset();
    Stack.reset();
    Transport.reset();
    EXPECT_EQ(LiveNodeCount(), FLiveAtStart) << "a noded interface outlived the test";
  }

  // The simulator answers every request, as a module on the line would.
  void UseSimulator(TSimConfig config = {}) {
    Sim = std::make_unique<TModuleSimulator>(std::move(config));
    TModuleSimulator* sim = Sim.get();
    Transport->SetResponder([sim](const TBytes& written) {
      sim->Receive(written, GetTickCount32());
      return sim->TakeBytes();
    });
  }

  // Scripted answers by instruction code; an instruction without a script is
  // refused with acknowledge code 2.
  void UseScript() {
    Transport->SetResponder([this](const TBytes& written) -> TBytes {
      if (CheckPacket(written) != 0) return {};
      const TTervanFormat97 request = ParsePacket(written);
      TReply reply{2, {}, false};
      {
        std::lock_guard<std::mutex> guard(FScriptLock);
        auto it = FScript.find(request.INST);
        if (it != FScript.end()) reply = it->second;
      }
      if (reply.Silent) return {};
      return BuildPacket(request.ADR, request.SIG, reply.Ack, reply.Data);
    });
  }
  void Script(std::uint8_t inst, TReply reply) {
    std::lock_guard<std::mutex> guard(FScriptLock);
    FScript[inst] = std::move(reply);
  }
  void ScriptIdentification(const std::string& text) {
    Script(tervan::kInstIdentify, {0, BytesOf(text), false});
  }

  bool Identify() {
    TVeltoInfo info;
    return Device->GetInfo(info);
  }

  // Every packet written so far, parsed.
  std::vector<TTervanFormat97> Requests() {
    std::vector<TTervanFormat97> out;
    for (const TBytes& block : Transport->Written()) {
      if (CheckPacket(block) == 0) out.push_back(ParsePacket(block));
    }
    return out;
  }
  std::vector<TTervanFormat97> RequestsOf(std::uint8_t inst) {
    std::vector<TTervanFormat97> out;
    for (const auto& r : Requests()) {
      if (r.INST == inst) out.push_back(r);
    }
    return out;
  }
  // The one packet the last write carried.
  TTervanFormat97 LastRequest() {
    const auto all = Requests();
    if (all.empty()) {
      ADD_FAILURE() << "nothing was written";
      return {};
    }
    return all.back();
  }

  // A packet the module sends on its own, delivered as a receive thread does.
  void DeliverFromModule(std::uint8_t inst, const TBytes& data, std::uint8_t sig = 0) {
    Transport->Deliver(BuildPacket(0x31, sig, inst, data));
  }

  TIntf<TMemoryTransport> Transport;
  TIntf<TTervanStack> Stack;
  TIntf<TVelto> Device;
  std::unique_ptr<TModuleSimulator> Sim;

 private:
  std::mutex FScriptLock;
  std::map<std::uint8_t, TReply> FScript;
  std::int32_t FLiveAtStart = 0;
};

inline TVeltoIOArray States(std::initializer_list<bool> states) {
  return TVeltoIOArray(states);
}

}  // namespace veltotest
