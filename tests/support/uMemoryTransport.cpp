#include "support/uMemoryTransport.h"

#include <algorithm>
#include <chrono>
#include <utility>

TMemoryTransport::TMemoryTransport(bool active) : TCommunicationInterface(), FActive(active) {}

bool TMemoryTransport::GetActive() {
  std::lock_guard<std::mutex> guard(FStateLock);
  return FActive;
}

bool TMemoryTransport::Open() {
  {
    std::lock_guard<TTransportMutex> line(TransportLock());
    SetActiveFlag(true);
  }
  AnnounceOpened();
  return true;
}

bool TMemoryTransport::Close(bool /*force*/) {
  {
    std::lock_guard<TTransportMutex> line(TransportLock());
    SetActiveFlag(false);
  }
  AnnounceClosed();
  return true;
}

std::int32_t TMemoryTransport::Write(const TBytes& data) {
  std::lock_guard<TTransportMutex> line(TransportLock());
  TResponder responder;
  {
    std::lock_guard<std::mutex> guard(FStateLock);
    if (!FActive || FRefuseWrites) return 0;
    FWritten.push_back(data);
    responder = FResponder;
  }
  FChanged.notify_all();
  Trace(kTraceSent, data);
  if (responder) {
    TBytes answer = responder(data);
    if (!answer.empty()) Feed(answer);
  }
  return static_cast<std::int32_t>(data.size());
}

void TMemoryTransport::Read(TBytes& data) {
  std::lock_guard<TTransportMutex> line(TransportLock());
  {
    std::lock_guard<std::mutex> guard(FStateLock);
    data = std::exchange(FInput, TBytes{});
  }
  FChanged.notify_all();
  if (!data.empty()) Trace(kTraceReceived, data);
}

std::int32_t TMemoryTransport::GetReceivedCount() {
  std::lock_guard<TTransportMutex> line(TransportLock());
  std::lock_guard<std::mutex> guard(FStateLock);
  return static_cast<std::int32_t>(FInput.size());
}

bool TMemoryTransport::WaitReceived(std::int32_t timeout) {
  std::unique_lock<std::mutex> guard(FStateLock);
  FChanged.wait_for(guard, std::chrono::milliseconds(std::max(timeout, 0)),
                    [this] { return !FInput.empty() || !FActive; });
  return !FInput.empty();
}

void TMemoryTransport::Feed(const TBytes& bytes) {
  {
    std::lock_guard<std::mutex> guard(FStateLock);
    FInput.insert(FInput.end(), bytes.begin(), bytes.end());
  }
  FChanged.notify_all();
}

void TMemoryTransport::Deliver(const TBytes& bytes) {
  Feed(bytes);
  AnnounceDataReceived();
}

void TMemoryTransport::SetActiveFlag(bool active) {
  {
    std::lock_guard<std::mutex> guard(FStateLock);
    FActive = active;
  }
  FChanged.notify_all();
}

void TMemoryTransport::SetResponder(TResponder responder) {
  std::lock_guard<std::mutex> guard(FStateLock);
  FResponder = std::move(responder);
}

void TMemoryTransport::SetRefuseWrites(bool refuse) {
  std::lock_guard<std::mutex> guard(FStateLock);
  FRefuseWrites = refuse;
}

std::vector<TBytes> TMemoryTransport::Written() {
  std::lock_guard<std::mutex> guard(FStateLock);
  return FWritten;
}

TBytes TMemoryTransport::WrittenBytes() {
  std::lock_guard<std::mutex> guard(FStateLock);
  TBytes all;
  for (const TBytes& block : FWritten) all.insert(all.end(), block.begin(), block.end());
  return all;
}

std::size_t TMemoryTransport::WriteCount() {
  std::lock_guard<std::mutex> guard(FStateLock);
  return FWritten.size();
}

void TMemoryTransport::ClearWritten() {
  std::lock_guard<std::mutex> guard(FStateLock);
  FWritten.clear();
}

bool TMemoryTransport::WaitDrained(std::int32_t timeoutMs) {
  std::unique_lock<std::mutex> guard(FStateLock);
  return FChanged.wait_for(guard, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                           [&] { return FInput.empty(); });
}

bool TMemoryTransport::WaitWritten(std::size_t count, std::int32_t timeoutMs) {
  std::unique_lock<std::mutex> guard(FStateLock);
  return FChanged.wait_for(guard, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                           [&] { return FWritten.size() >= count; });
}
