// Multi-reader / single-writer lock of a tree node. Re-entrant the way the
// tree operations need: a thread holding the write lock may take it again and
// may take the read lock; a thread may take the read lock again; readers
// exclude a writer. A sole reader may also take the write lock.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

class TMRSWLock {
 public:
  void BeginRead();
  void EndRead();
  void BeginWrite();
  void EndWrite();

 private:
  int& ReadDepth(std::thread::id id);  // caller holds FMutex
  int OtherReaders(std::thread::id id) const;

  std::mutex FMutex;
  std::condition_variable FChanged;
  std::thread::id FWriter;
  int FWriteDepth = 0;
  std::vector<std::pair<std::thread::id, int>> FReaders;  // per-thread read depth
};

class TReadGuard {
 public:
  explicit TReadGuard(TMRSWLock& lock) : FLock(lock) { FLock.BeginRead(); }
  ~TReadGuard() { FLock.EndRead(); }
  TReadGuard(const TReadGuard&) = delete;
  TReadGuard& operator=(const TReadGuard&) = delete;

 private:
  TMRSWLock& FLock;
};

class TWriteGuard {
 public:
  explicit TWriteGuard(TMRSWLock& lock) : FLock(lock) { FLock.BeginWrite(); }
  ~TWriteGuard() { FLock.EndWrite(); }
  TWriteGuard(const TWriteGuard&) = delete;
  TWriteGuard& operator=(const TWriteGuard&) = delete;

 private:
  TMRSWLock& FLock;
};
