// The contract every transport (serial port, USB adapter, TCP client) offers
// to the protocol stack and to programs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "framework/uBytes.h"
#include "framework/uEventer.h"
#include "framework/uiNodedInterface.h"

class ICommunicationInterface;

// Transport notifications: (sender).
class TeventerCiNotify : public TEventer<TIntf<ICommunicationInterface>> {};
// Line change of a transport: (sender, line, state).
class TeventerCiNotifyChangeEvent
    : public TEventer<TIntf<ICommunicationInterface>, std::int32_t, bool> {};

// Single-subscriber handler slots.
using TCiNotifyHandler = TBoundMethod<TIntf<ICommunicationInterface>>;
using TCiLineChangeHandler = TBoundMethod<TIntf<ICommunicationInterface>, std::int32_t, bool>;

// Optional test of SendAndReceive: true while more of the response is expected.
using TResponseCheck = std::function<bool(const TBytes& response)>;

class ICommunicationInterfaceCore : public virtual INodedInterface {
 public:
  static constexpr TGUID IID = GuidLiteral("{76A7FD53-30E9-4F5A-9B92-90AC61E19EA0}");
};

class ICommunicationInterface : public virtual ICommunicationInterfaceCore {
 public:
  static constexpr TGUID IID = GuidLiteral("{A08B3416-51DC-4315-940D-D6110F114164}");

  virtual void SetOnDataReceived(TCiNotifyHandler handler) = 0;
  virtual TCiNotifyHandler GetOnDataReceived() = 0;
  virtual TeventerCiNotify& DataReceived() = 0;
  virtual bool SetActive(bool active) = 0;
  virtual bool GetActive() = 0;
  virtual bool Open() = 0;
  virtual bool Close(bool force) = 0;
  // Number of bytes written; 0 on failure.
  virtual std::int32_t Write(const TBytes& data) = 0;
  // Hands over every byte received so far (empty when none).
  virtual void Read(TBytes& data) = 0;
  virtual std::int32_t GetReceivedCount() = 0;
  virtual bool GetPermitted() = 0;
  virtual void SetPermitted(bool permitted) = 0;
  virtual std::string GetDescription() = 0;
  virtual std::string GetCaption() = 0;
  virtual bool ShowSetupDialog() = 0;
  virtual bool HasSetupDialog() = 0;
  virtual std::string GetConnectionString() = 0;
  virtual void SetConnectionString(const std::string& text) = 0;
  virtual TCiNotifyHandler GetOnOpened() = 0;
  virtual void SetOnOpened(TCiNotifyHandler handler) = 0;
  virtual TeventerCiNotify& Opened() = 0;
  virtual TCiNotifyHandler GetOnClosed() = 0;
  virtual void SetOnClosed(TCiNotifyHandler handler) = 0;
  virtual TeventerCiNotify& Closed() = 0;
  virtual TCiLineChangeHandler GetOnLineChanged() = 0;
  virtual void SetOnLineChanged(TCiLineChangeHandler handler) = 0;
  virtual TeventerCiNotify& SettingsChanged() = 0;
  virtual TeventerCiNotifyChangeEvent& LineChanged() = 0;
  virtual void SendAndReceive(const TBytes& request, std::int32_t timeout, TBytes& response,
                              const TResponseCheck& check) = 0;
  virtual void ReadBuffered(std::int32_t count, TBytes& data) = 0;
  virtual std::int32_t GetBufferedCount(bool pull) = 0;
  virtual void PeekBuffered(std::int32_t count, TBytes& data) = 0;
  virtual double GetByteTime() = 0;
  virtual void PurgeIn() = 0;
  virtual void PurgeOut() = 0;
  virtual bool TryLock() = 0;
  virtual void Lock() = 0;
  virtual void Unlock() = 0;
  // Waits at most `timeout` ms for received bytes; true as soon as some are
  // waiting. Lets an exchange end when its answer arrives instead of polling.
  virtual bool WaitReceived(std::int32_t timeout) = 0;
};

// Holds a transport's lock for a scope.
class TTransportLock {
 public:
  explicit TTransportLock(ICommunicationInterface& transport) : FTransport(transport) {
    FTransport.Lock();
  }
  ~TTransportLock() { FTransport.Unlock(); }
  TTransportLock(const TTransportLock&) = delete;
  TTransportLock& operator=(const TTransportLock&) = delete;

 private:
  ICommunicationInterface& FTransport;
};
