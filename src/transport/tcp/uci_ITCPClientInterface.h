// The TCP client transport: the Tervan byte stream over one TCP connection.
//
// Socket events (connecting, connected, data, disconnected, error) are
// produced by polling the socket and delivered on the thread that created the
// transport when it processes its messages (ProcessMessages); Open does so
// while it waits. Between those times the transport is driven by its callers:
// GetReceivedCount and Read notice a peer that has closed the connection.
// Create, use and release a transport on one thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/uMessageQueue.h"
#include "transport/tcp/uPosixSocket.h"
#include "transport/tcp/uci_ISockClientInterface.h"
#include "transport/uPortLink.h"

inline constexpr const char* kTCPClientProvider = "TCP_CLIENT";

class ITCPClientInterface : public virtual ISockClientInterface {
 public:
  static constexpr TGUID IID = GuidLiteral("{6B699CD5-BA76-420E-876E-C9F7B8903638}");
};

class TTCPClientInterface : public TSockClientCoreInterface, public virtual ITCPClientInterface {
 public:
  // Open waits at most this long for a connection, dispatching messages in steps.
  static constexpr std::uint32_t kOpenTimeoutMs = 1500;
  static constexpr std::uint32_t kOpenStepMs = 10;
  // Write gives up when the socket takes nothing for this long.
  static constexpr int kWriteStallMs = TSocketPort::kWriteStallMs;

  explicit TTCPClientInterface(const std::string& connectionString = std::string());
  TTCPClientInterface(TXmlNode node, TIntf<IInterface> owner);
  ~TTCPClientInterface() override;

  HRESULT QueryInterface(const TGUID& iid, void** obj) override;
  void BeforeDestruction() override;

  bool GetActive() override;
  bool Open() override;
  bool Close(bool force) override;
  std::int32_t Write(const TBytes& data) override;
  void Read(TBytes& data) override;
  std::int32_t GetReceivedCount() override;
  void SetPermitted(bool permitted) override;
  std::string GetDescription() override;
  std::string GetConnectionString() override;
  void SetConnectionString(const std::string& text) override;
  bool WaitReceived(std::int32_t timeout) override;

  std::string GetHost() override;
  void SetHost(const std::string& host) override;
  std::uint16_t GetPort() override;
  void SetPort(std::uint16_t port) override;
  std::int32_t GetLocalPort() override;

 private:
  enum class TState { Closed, Resolving, Connecting, Connected };
  // What an event step has to announce once the transport's lock is released.
  using TNotice = TPortLink::TNotice;

  // Event steps; each runs under the transport's lock.
  TNotice StartAttempt();
  TNotice ConnectNext();
  TNotice FinishLookup();
  TNotice CheckSocket();
  TNotice Connected();
  // Lets go of what the open connection had beside its socket.
  void Closing();
  void DropAttempt();
  // "host:port" of the last errors; under the lock.
  std::string Target() const;
  void Fail(const std::string& reason);
  // The socket of a connection attempt under way, -1 when there is none.
  int ConnectingFd();
  // Produces and delivers the pending socket events (the poll source's work).
  void PumpEvents();

  std::string FHost;
  std::uint16_t FPort = 0;
  std::atomic<TState> FState{TState::Closed};
  std::atomic<bool> FOpening{false};
  TSocketPort FSocketPort;  // the connection; attempts are made on its socket
  TPosixSocket& FConnectionSocket = FSocketPort.Socket();
  TPortLink FLink{*this, FSocketPort};
  std::unique_ptr<TPollSource> FPollSource;
  std::shared_ptr<TMessageTarget> FTarget;  // the creating thread
  THostLookup FLookup;
  std::vector<TSocketAddress> FAddresses;  // still to try in this attempt
  std::size_t FNextAddress = 0;
  std::string FAttemptFailure;  // why the last address of the attempt failed
};

// The transport class registered under "TCP_CLIENT".
TIntf<ICommunicationInterface> CreateTCPClientInterface(const std::string& connectionString);
