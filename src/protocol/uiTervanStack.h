// The protocol stack's interface: binds devices to one transport, sends their
// requests and hands every received packet to the devices it is addressed to.
#pragma once

#include <cstdint>

#include "framework/uBytes.h"
#include "framework/uiNodedInterface.h"
#include "transport/uci_ICommunicationInterface.h"

class ITervanStackDevice;

class ITervanStack : public virtual INodedInterface {
 public:
  static constexpr TGUID IID = GuidLiteral("{1DF4C859-3157-41CD-AD86-E137FE27F5CF}");

  // Builds one packet and writes it; does not wait. False without a transport
  // or when the transport refused the bytes.
  virtual bool Send(std::uint8_t adr, std::uint8_t sig, std::uint8_t inst, const TBytes& data) = 0;
  // Sends and collects until the answer (same SIG, ADR unless `adr` is 0xFE,
  // acknowledge code outside 12..15) or the deadline; `answer` = the whole
  // answer packet. Every other byte read meanwhile goes to the receive path.
  virtual bool Transact(std::uint8_t adr, std::uint8_t sig, std::uint8_t inst, const TBytes& data,
                        TBytes& answer, std::int32_t timeout) = 0;
  virtual TIntf<ICommunicationInterface> GetTransport() = 0;
  // Rebinds the stack; empty unbinds it. Bytes of a half-received packet are lost.
  virtual void SetTransport(TIntf<ICommunicationInterface> transport) = 0;
  // Makes the device a child of the stack and the stack the device's stack.
  virtual bool AddDevice(TIntf<ITervanStackDevice> device) = 0;
  virtual bool RemoveDevice(TIntf<ITervanStackDevice> device) = 0;
};
