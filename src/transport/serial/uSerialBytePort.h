// The byte port of a line the serial engine drives (its component on a tty):
// beneath the COM-port transport and the USB transport's kernel device path.
// The engine and component are the platform side; this file only turns
// their answers into port results.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "transport/serial/AfComPort.h"
#include "transport/uBytePort.h"

class TSerialBytePort final : public IBytePort {
 public:
  // The component the port drives; none: the port is closed. A wait holds
  // its own reference, so the owner may let the component go meanwhile.
  void Attach(std::shared_ptr<TAfCustomSerialPort> component);
  std::shared_ptr<TAfCustomSerialPort> Component();
  // Names the line in a failure the engine gave no line of its own for
  // ("COM3: ..."); `lossPrefix` goes before the reason of a lost line
  // ("USB adapter AB12: ").
  void SetNames(std::string name, std::string lossPrefix = std::string());

  TPortResult Open() override;
  // False on one of the engine's own threads, which cannot close it.
  bool Close() override;
  TPortResult State() override;
  // Fills the output ring (all or nothing).
  TPortResult Write(const TBytes& data) override;
  TPortResult Read(TBytes& data) override;
  TPortResult BytesWaiting() override;
  // Sleeps on the tty until bytes come, the device goes or the port closes.
  TPortResult WaitReadable(std::uint32_t deadline) override;

 private:
  TPortResult Lost(TAfCustomSerialPort& component, std::size_t count);
  std::string Name();

  std::mutex FLock;  // the fields below
  std::shared_ptr<TAfCustomSerialPort> FComponent;
  std::string FName;
  std::string FLossPrefix;
};
