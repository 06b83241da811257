// The protocol stack: the only writer of packets to a transport and the only
// reader of its bytes. Frames received bytes into packets, resynchronises
// after garbage and hands each packet to the devices it is addressed to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <stdexcept>

#include "framework/uBytes.h"
#include "framework/uiNodedInterface.h"
#include "protocol/uTervan97.h"
#include "protocol/uTervanClock.h"
#include "protocol/uTervanFramer.h"
#include "protocol/uiTervanStack.h"
#include "protocol/uiTervanStackDevice.h"
#include "transport/uci_ICommunicationInterface.h"

// "RCV packet ADR=$FF !" and "ITervanStack can be owned only by ICommunicationInterface".
class ETervanStackError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TTervanStack : public TNodedInterface, public virtual ITervanStack {
 public:
  // The receive buffer is cut back to its newest bytes when it grows past the cap.
  static constexpr std::size_t kRxBufferCap = 0x20000;
  static constexpr std::size_t kRxBufferKeep = 0x15000;
  // Packets one Receive call handles before it yields to bytes still waiting.
  static constexpr int kPassesBeforeYield = 1000;
  // Longest wait of one polling pass of Transact, in milliseconds.
  static constexpr std::int32_t kPassMs = 50;

  TTervanStack();
  // Only a transport may own a stack; it becomes the stack's transport.
  TTervanStack(TXmlNode node, TIntf<IInterface> owner);
  ~TTervanStack() override;

  HRESULT QueryInterface(const TGUID& iid, void** obj) override;
  void BeforeDestruction() override;
  void SetOwner(TIntf<IInterface> owner) override;

  // ITervanStack
  bool Send(std::uint8_t adr, std::uint8_t sig, std::uint8_t inst, const TBytes& data) override;
  bool Transact(std::uint8_t adr, std::uint8_t sig, std::uint8_t inst, const TBytes& data,
                TBytes& answer, std::int32_t timeout) override;
  TIntf<ICommunicationInterface> GetTransport() override;
  void SetTransport(TIntf<ICommunicationInterface> transport) override;
  bool AddDevice(TIntf<ITervanStackDevice> device) override;
  bool RemoveDevice(TIntf<ITervanStackDevice> device) override;

  // The data-received handler installed on the transport: reads what waits
  // and runs the receive path.
  void icDataRcv(TIntf<ICommunicationInterface> sender);
  // The receive path. Raises ETervanStackError("RCV packet ADR=$FF !") for a
  // packet carrying that address, after dropping it from the buffer.
  void Receive(const TBytes& bytes);
  void Receive(const std::uint8_t* bytes, std::size_t size);
  // The child at `index` as a device; false when there is none or it is no device.
  bool GetDevice(std::int32_t index, TIntf<ITervanStackDevice>& device);
  // Bytes received but not yet framed or consumed.
  std::size_t RxBufferSize();
  // The clock of the transactions' deadlines. Set it before the stack is
  // used; an empty source means the system's tick.
  void SetTickSource(TTickFunction source) { FTickSource = std::move(source); }

 private:
  void StackSetOwner(TIntf<IInterface> owner);
  std::uint32_t Now() const { return FTickSource ? FTickSource() : GetTickCount32(); }
  // Hands the packet to every device it is addressed to.
  void Dispatch(const TTervanFormat97& packet);

  std::mutex FTransportMutex;  // guards FTransport (never held across calls)
  TIntf<ICommunicationInterface> FTransport;
  // Serialises the receive path, entered from the transport's thread and from
  // the end of a transaction; recursive because devices may transact from it.
  std::recursive_mutex FReceiveLock;
  TTervanFramer FRxBuffer{kRxBufferCap, kRxBufferKeep};  // guarded by FReceiveLock
  TTickFunction FTickSource;  // set before use; empty = the system's tick
};
