// An in-memory transport for tests: the test side feeds the bytes the
// transport "receives" and sees every block written to it. An optional
// responder, run inside each Write, answers at once like a peer on the line.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "framework/uBytes.h"
#include "transport/uci_ICommunicationInterface.h"

class TMemoryTransport : public TCommunicationInterface {
 public:
  // Gets each written block; what it returns is received at once (not
  // announced, as when a peer answers while the writer holds the line).
  // It may also raise, as a transport whose line fails.
  using TResponder = std::function<TBytes(const TBytes& written)>;

  explicit TMemoryTransport(bool active = true);

  // ICommunicationInterface
  bool GetActive() override;
  bool Open() override;
  bool Close(bool force) override;
  std::int32_t Write(const TBytes& data) override;
  void Read(TBytes& data) override;
  std::int32_t GetReceivedCount() override;
  std::string GetDescription() override { return "Memory transport"; }
  bool WaitReceived(std::int32_t timeout) override;

  // --- the test side ---
  // Bytes that wait to be read; nobody is told (a transport whose receive
  // notifications are not delivered, or a peer answering inside a transaction).
  void Feed(const TBytes& bytes);
  // Feeds and then announces them on the calling thread, as a receive thread does.
  void Deliver(const TBytes& bytes);
  // Sets the flag without announcing opened / closed.
  void SetActiveFlag(bool active);
  void SetResponder(TResponder responder);
  // While set, Write takes nothing and returns 0.
  void SetRefuseWrites(bool refuse);

  std::vector<TBytes> Written();
  TBytes WrittenBytes();  // all blocks, concatenated
  std::size_t WriteCount();
  void ClearWritten();
  // Waits until at least `count` blocks were written; false at the time-out.
  bool WaitWritten(std::size_t count, std::int32_t timeoutMs);
  // Waits until every fed byte has been read; false at the time-out.
  bool WaitDrained(std::int32_t timeoutMs);

 private:
  std::mutex FStateLock;  // guards everything below; never held while calling out
  std::condition_variable FChanged;
  bool FActive;
  bool FRefuseWrites = false;
  TBytes FInput;
  std::vector<TBytes> FWritten;
  TResponder FResponder;
};
