#include "transport/serial/uSerialBytePort.h"

#include <algorithm>
#include <exception>

#include "framework/uTick.h"

void TSerialBytePort::Attach(std::shared_ptr<TAfCustomSerialPort> component) {
  std::lock_guard<std::mutex> guard(FLock);
  FComponent = std::move(component);
}

std::shared_ptr<TAfCustomSerialPort> TSerialBytePort::Component() {
  std::lock_guard<std::mutex> guard(FLock);
  return FComponent;
}

void TSerialBytePort::SetNames(std::string name, std::string lossPrefix) {
  std::lock_guard<std::mutex> guard(FLock);
  FName = std::move(name);
  FLossPrefix = std::move(lossPrefix);
}

std::string TSerialBytePort::Name() {
  std::lock_guard<std::mutex> guard(FLock);
  return FName;
}

TPortResult TSerialBytePort::Lost(TAfCustomSerialPort& component, std::size_t count) {
  std::string prefix;
  {
    std::lock_guard<std::mutex> guard(FLock);
    prefix = FLossPrefix;
  }
  return TPortResult::LineLost(EIO, prefix + component.LostReason(), count);
}

TPortResult TSerialBytePort::Open() {
  const std::shared_ptr<TAfCustomSerialPort> component = Component();
  if (!component) return TPortResult::Failed(ENODEV, Name() + ": no such device");
  try {
    component->OpenPort();
  } catch (const std::exception& e) {
    // The engine's line names the device; the component's text does not.
    const auto* core = dynamic_cast<const EAfComPortCoreError*>(&e);
    return TPortResult::Failed(
        0, core != nullptr && !core->Detail().empty() ? core->Detail() : Name() + ": " + e.what());
  }
  if (component->IsOpen()) return TPortResult::Done();
  return TPortResult::Failed(0, Name() + ": the port did not open");
}

bool TSerialBytePort::Close() {
  const std::shared_ptr<TAfCustomSerialPort> component = Component();
  if (!component) return true;
  component->ClosePort();
  return !component->IsOpen();
}

TPortResult TSerialBytePort::State() {
  const std::shared_ptr<TAfCustomSerialPort> component = Component();
  if (!component || !component->IsOpen()) return TPortResult::Failed(0, Name() + ": closed");
  if (component->Lost()) return Lost(*component, 0);
  return TPortResult::Done();
}

TPortResult TSerialBytePort::Write(const TBytes& data) {
  const std::shared_ptr<TAfCustomSerialPort> component = Component();
  if (!component) return TPortResult::Failed(0, Name() + ": closed");
  try {
    component->WriteText(data);
  } catch (const EAfComPortError&) {
    // The ring has no room for the whole block: nothing was queued.
    return TPortResult::Failed(0, Name() + ": the output buffer is full");
  }
  return TPortResult::Done(data.size());
}

TPortResult TSerialBytePort::Read(TBytes& data) {
  const std::shared_ptr<TAfCustomSerialPort> component = Component();
  if (!component) return TPortResult::Failed(0, Name() + ": closed");
  data = component->ReadText();
  if (component->Lost()) return Lost(*component, data.size());
  return TPortResult::Done(data.size());
}

TPortResult TSerialBytePort::BytesWaiting() {
  const std::shared_ptr<TAfCustomSerialPort> component = Component();
  if (!component) return TPortResult::Failed(0, Name() + ": closed");
  const std::uint32_t count = component->InQueueCount();
  if (component->Lost()) return Lost(*component, count);
  return TPortResult::Done(count);
}

TPortResult TSerialBytePort::WaitReadable(std::uint32_t deadline) {
  const std::shared_ptr<TAfCustomSerialPort> component = Component();
  if (!component) return TPortResult::Failed(0, Name() + ": closed");
  const bool arrived = component->WaitInput(TicksLeft(GetTickCount32(), deadline));
  if (component->Lost()) return Lost(*component, 0);
  return TPortResult::Done(arrived ? std::max<std::uint32_t>(component->InQueueCount(), 1) : 0);
}
