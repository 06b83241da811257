#include "framework/uMRSWLock.h"

#include <algorithm>

int& TMRSWLock::ReadDepth(std::thread::id id) {
  for (auto& entry : FReaders)
    if (entry.first == id) return entry.second;
  FReaders.emplace_back(id, 0);
  return FReaders.back().second;
}

int TMRSWLock::OtherReaders(std::thread::id id) const {
  int n = 0;
  for (const auto& entry : FReaders)
    if (entry.first != id && entry.second > 0) ++n;
  return n;
}

void TMRSWLock::BeginRead() {
  const auto self = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(FMutex);
  if (FWriteDepth > 0 && FWriter == self) {
    // A writer reading its own node counts as one more write level.
    ++FWriteDepth;
    return;
  }
  FChanged.wait(lock, [&] { return FWriteDepth == 0; });
  ++ReadDepth(self);
}

void TMRSWLock::EndRead() {
  const auto self = std::this_thread::get_id();
  std::lock_guard<std::mutex> lock(FMutex);
  if (FWriteDepth > 0 && FWriter == self) {
    --FWriteDepth;
    if (FWriteDepth == 0) {
      FWriter = std::thread::id();
      FChanged.notify_all();
    }
    return;
  }
  int& depth = ReadDepth(self);
  if (depth > 0 && --depth == 0) {
    FReaders.erase(std::remove_if(FReaders.begin(), FReaders.end(),
                                  [](const auto& e) { return e.second == 0; }),
                   FReaders.end());
    FChanged.notify_all();
  }
}

void TMRSWLock::BeginWrite() {
  const auto self = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(FMutex);
  if (FWriteDepth > 0 && FWriter == self) {
    ++FWriteDepth;
    return;
  }
  FChanged.wait(lock, [&] { return FWriteDepth == 0 && OtherReaders(self) == 0; });
  FWriter = self;
  FWriteDepth = 1;
}

void TMRSWLock::EndWrite() {
  std::lock_guard<std::mutex> lock(FMutex);
  if (FWriteDepth > 0 && --FWriteDepth == 0) {
    FWriter = std::thread::id();
    FChanged.notify_all();
  }
}
