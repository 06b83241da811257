// Socket client transports: the communication interface plus host and port.
#pragma once

#include <cstdint>
#include <string>

#include "transport/uci_ICommunicationInterface.h"

class ISockClientInterface : public virtual ICommunicationInterface {
 public:
  static constexpr TGUID IID = GuidLiteral("{0BEEB427-CA65-4A48-BF7F-EE22465C2164}");
  virtual std::string GetHost() = 0;
  virtual void SetHost(const std::string& host) = 0;
  virtual std::uint16_t GetPort() = 0;
  virtual void SetPort(std::uint16_t port) = 0;
  // Local port of the connection; -1 when there is no socket.
  virtual std::int32_t GetLocalPort() = 0;
  // Kept for the layout of the interface; does nothing.
  virtual void Reserved() = 0;
};

// Abstract base of socket client transports.
class TSockClientCoreInterface : public TCommunicationInterface,
                                 public virtual ISockClientInterface {
 public:
  explicit TSockClientCoreInterface(const std::string& connectionString = std::string())
      : TCommunicationInterface(connectionString) {}

  HRESULT QueryInterface(const TGUID& iid, void** obj) override;

  std::int32_t GetLocalPort() override { return 0; }
  void Reserved() override {}
};
