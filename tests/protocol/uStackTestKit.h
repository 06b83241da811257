// Shared pieces of the stack and device tests: a device that records what the
// receive path hands it, a peer that answers requests, and a bound stack.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "framework/uAlert.h"
#include "framework/uBytes.h"
#include "framework/uiNodedInterface.h"
#include "protocol/uTervan97.h"
#include "protocol/uTervanStack.h"
#include "protocol/uTervanStackDevice.h"
#include "support/uMemoryTransport.h"
#include "support/uScriptedTransport.h"

namespace stacktest {

inline TBytes Hex(const char* hex) {
  return BytesFromHex(hex);
}

inline TBytes Concat(std::initializer_list<TBytes> parts) {
  TBytes all;
  for (const TBytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// Records every packet the stack hands it, and every answer and notification
// it routes, on whatever thread they come.
class TProbeDevice : public TTervanStackDevice {
 public:
  using TTervanStackDevice::TTervanStackDevice;

  void ProcessPacket(const TTervanFormat97& packet) override {
    {
      std::lock_guard<std::mutex> guard(FLock);
      FPackets.push_back(packet);
    }
    TTervanStackDevice::ProcessPacket(packet);
  }
  void ProcessAnswer(const TTervanFormat97& packet) override {
    {
      std::lock_guard<std::mutex> guard(FLock);
      FAnswers.push_back(packet);
    }
    TTervanStackDevice::ProcessAnswer(packet);
  }
  void ProcessNotification(const TTervanFormat97& packet) override {
    {
      std::lock_guard<std::mutex> guard(FLock);
      FNotifications.push_back(packet);
    }
    if (NotificationAction) NotificationAction(packet);
  }

  std::vector<TTervanFormat97> Packets() {
    std::lock_guard<std::mutex> guard(FLock);
    return FPackets;
  }
  std::vector<TTervanFormat97> Answers() {
    std::lock_guard<std::mutex> guard(FLock);
    return FAnswers;
  }
  std::vector<TTervanFormat97> Notifications() {
    std::lock_guard<std::mutex> guard(FLock);
    return FNotifications;
  }

  std::function<void(const TTervanFormat97&)> NotificationAction;

 private:
  std::mutex FLock;
  std::vector<TTervanFormat97> FPackets;
  std::vector<TTervanFormat97> FAnswers;
  std::vector<TTervanFormat97> FNotifications;
};

// A peer that answers every request packet: `answer` gets the parsed request
// and returns (ack, data); the answer carries the request's ADR and SIG.
struct TAnswer {
  std::uint8_t Ack = 0;
  TBytes Data;
  bool Silent = false;  // no answer at all
};
using TAnswerRule = std::function<TAnswer(const TTervanFormat97& request)>;

inline TMemoryTransport::TResponder Peer(TAnswerRule rule) {
  return [rule](const TBytes& written) -> TBytes {
    if (CheckPacket(written) != 0) return {};
    TTervanFormat97 request = ParsePacket(written);
    TAnswer a = rule(request);
    if (a.Silent) return {};
    return BuildPacket(request.ADR, request.SIG, a.Ack, a.Data);
  };
}

// Collects alert lines while alive.
class TAlertCatcher {
 public:
  TAlertCatcher() {
    FPrevious = SetAlertSink([this](const std::string& text) {
      std::lock_guard<std::mutex> guard(FLock);
      FLines.push_back(text);
    });
  }
  ~TAlertCatcher() { SetAlertSink(FPrevious); }
  TAlertCatcher(const TAlertCatcher&) = delete;
  TAlertCatcher& operator=(const TAlertCatcher&) = delete;

  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> guard(FLock);
    return FLines;
  }
  std::size_t Count(const std::string& text) {
    std::lock_guard<std::mutex> guard(FLock);
    std::size_t n = 0;
    for (const auto& l : FLines) n += l == text ? 1 : 0;
    return n;
  }

 private:
  std::mutex FLock;
  std::vector<std::string> FLines;
  TAlertSink FPrevious;
};

// A stack bound to an open in-memory transport; takes the tree apart at the
// end and checks that no noded interface outlives the test. On a scripted
// transport the stack and the devices run on the transport's clock.
template <class TTransport>
class StackFixtureOf : public ::testing::Test {
 protected:
  static constexpr bool kScripted = std::is_same_v<TTransport, TScriptedTransport>;

  void SetUp() override {
    FLiveAtStart = LiveNodeCount();
    Transport = Make<TTransport>();
    Stack = Make<TTervanStack>();
    if constexpr (kScripted) Stack->SetTickSource(Transport->Clock());
    Stack->SetTransport(TIntf<ICommunicationInterface>(Transport));
  }

  void TearDown() override {
    for (auto& d : FDevices) d->SetStack(nullptr);
    FDevices.clear();
    Stack->SetTransport(nullptr);
    Stack.reset();
    Transport.reset();
    EXPECT_EQ(LiveNodeCount(), FLiveAtStart) << "a noded interface outlived the test";
  }

  TIntf<TProbeDevice> Attach(std::uint8_t address) {
    auto device = Make<TProbeDevice>(address);
    if constexpr (kScripted) device->SetTickSource(Transport->Clock());
    device->SetStack(TIntf<ITervanStack>(Stack));
    FDevices.push_back(device);
    return device;
  }

  TIntf<TTransport> Transport;
  TIntf<TTervanStack> Stack;

 private:
  std::vector<TIntf<TProbeDevice>> FDevices;
  std::int32_t FLiveAtStart = 0;
};

using StackFixture = StackFixtureOf<TMemoryTransport>;
using ScriptedStackFixture = StackFixtureOf<TScriptedTransport>;

// One device at 0x31 on the scripted line, waiting `kDeviceTimeout` for each
// answer: the start of the line-fault and signature tests.
constexpr std::int32_t kDeviceTimeout = 1000;

class ScriptedDeviceFixture : public ScriptedStackFixture {
 protected:
  void SetUp() override {
    ScriptedStackFixture::SetUp();
    Device = Attach(0x31);
    Device->SetTimeout(kDeviceTimeout);
  }
  void TearDown() override {
    Device.reset();
    ScriptedStackFixture::TearDown();
  }

  TIntf<TProbeDevice> Device;
};

}  // namespace stacktest
