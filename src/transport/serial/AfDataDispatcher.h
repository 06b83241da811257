// Base of the serial port components: the write entry point and the open and
// close steps that a data dispatcher linked to the component would follow.
// No dispatcher exists in this system, so the link stays empty and every
// report of a port takes the synchronised path to its owner thread.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

class TAfDataDispatcher;

class TAfDataDispConnComponent {
 public:
  TAfDataDispConnComponent() = default;
  virtual ~TAfDataDispConnComponent() = default;
  TAfDataDispConnComponent(const TAfDataDispConnComponent&) = delete;
  TAfDataDispConnComponent& operator=(const TAfDataDispConnComponent&) = delete;

  virtual void WriteBytes(const std::uint8_t* buffer, std::int32_t n) = 0;
  // Inform the dispatcher link; the component's versions open and close.
  virtual void OpenPort() {}
  virtual void ClosePort() {}

  TAfDataDispatcher* Dispatcher() const { return nullptr; }

  // The component's name, part of its error texts; empty unless set.
  const std::string& GetName() const { return FName; }
  void SetName(std::string name) { FName = std::move(name); }

 private:
  std::string FName;
};
