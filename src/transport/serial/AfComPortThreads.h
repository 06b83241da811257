// The two threads of an open serial port: the event thread watches the line
// and reports, the writer sends what callers put into the output ring. Each
// starts when it first has work (the writer with the first bytes the tty did
// not take at once), and nobody waits for it to come up: a short run that
// never needs them pays for no thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "transport/serial/AfCircularBuffer.h"
#include "transport/serial/AfComPortCore.h"
#include "transport/serial/AfTty.h"

// A priority is a nice value within the normal scheduling class, relative to
// the process's own, also for a time-critical thread: no thread of the
// program takes a real-time class.
int ThreadPriorityNice(TThreadPriority priority);
// Applies a priority to the running thread `threadId` of this process (its
// kernel id) where the system permits it; a refusal is ignored.
void ApplyThreadPriority(int threadId, TThreadPriority priority);

// True on one of the threads of `core`'s open port.
bool OnPortThread(const TAfComPortCore& core);

// Start, stop and failure handling shared by both threads.
class TAfComPortCoreThread {
 public:
  TAfComPortCoreThread(TAfComPortCore& core, int handle, TAfWakeFd& wake);
  virtual ~TAfComPortCoreThread();
  TAfComPortCoreThread(const TAfComPortCoreThread&) = delete;
  TAfComPortCoreThread& operator=(const TAfComPortCoreThread&) = delete;

  // Starts the body unless it runs or was stopped; false when no thread
  // could be made. Callable from any thread.
  bool Start();
  // Marks the thread terminated, wakes it and waits for its end.
  virtual void StopThread();
  // Taken by the body when it starts, or at once when it runs.
  void SetPriority(TThreadPriority priority);
  bool IsThisThread() const;

 protected:
  virtual void Execute() = 0;
  // Where a failure of the body goes; the base reports it on standard error.
  virtual void HandleException(std::exception_ptr error);
  bool Terminated() const { return FTerminated.load(); }
  TAfComPortCore& FCore;
  const int FHandle;  // the tty
  TAfWakeFd& FWake;   // the core's, polled beside the tty

 private:
  void Run();

  std::mutex FThreadLock;  // starting and stopping
  std::thread FThread;     // under FThreadLock
  std::atomic<int> FThreadId{0};  // the kernel's, while the body runs
  std::atomic<bool> FTerminated{false};
  std::mutex FPriorityLock;  // the priority and its taking by the body
  bool FHasPriority = false;
  TThreadPriority FPriority = tpNormal;
};

class TAfComPortEventThread : public TAfComPortCoreThread {
 public:
  // Reports are sampled at least this often; a line with modem lines more often.
  static constexpr std::uint32_t kMaxWaitMs = 200;
  static constexpr std::uint32_t kModemSampleMs = 50;

  // Reads the line's counters or modem lines now, on the opening thread:
  // what changes after the open is reported, however late the thread starts.
  TAfComPortEventThread(TAfComPortCore& core, int handle, TAfWakeFd& wake,
                        TAfCoreEventHandler handler);
  ~TAfComPortEventThread() override;
  // Clears the handler first, so that nothing is reported once stopping began.
  void StopThread() override;

 protected:
  void Execute() override;
  void HandleException(std::exception_ptr error) override;

 private:
  void Report(TAfCoreEvent kind, std::uint32_t value);
  // Port events since the last look, from the driver's counters or, without
  // them, from the modem lines; 0 on a tty that has neither.
  std::uint32_t LineChanges();

  std::mutex FHandlerLock;
  TAfCoreEventHandler FHandler;
  bool FHaveCounters = false;
  bool FHaveModemLines = false;
  TTtyCounters FCounters;
  std::uint32_t FModemLines = 0;
};

class TAfComPortWriteThread : public TAfComPortCoreThread {
 public:
  // The most one write to the tty takes from the ring.
  static constexpr std::int32_t kWriteChunk = 16384;

  // The ring is allocated with the first bytes it takes.
  TAfComPortWriteThread(TAfComPortCore& core, int handle, TAfWakeFd& wake, std::int32_t ringSize,
                        std::recursive_mutex& ringLock);
  ~TAfComPortWriteThread() override;

  // Under the ring lock (the core's write lock). All or nothing; never waits
  // for the line. False also when the writer or the ring cannot be made.
  bool Enqueue(const std::uint8_t* data, std::int32_t n);
  std::int32_t FreeSpace() const { return FRing.FreeSpace(); }
  std::int32_t Used() const { return FRing.Used(); }
  // Empties the ring; bytes already handed to the tty are not taken back,
  // nor is a block the writer has taken and is writing.
  void Purge();

  // Called by every writer with a block taken from the ring and not yet
  // written: lets a test act at that moment. None in the program.
  using TBlockTakenHook = void (*)();
  static void SetBlockTakenHook(TBlockTakenHook hook);

 protected:
  void Execute() override;

 private:
  // Copies the front of the ring; the generation tells a purge in between.
  void TakeChunk(std::vector<std::uint8_t>& chunk, std::uint64_t& generation);
  void Sent(std::int32_t n, std::uint64_t generation);

  std::recursive_mutex& FRingLock;
  TAfCircularBuffer FRing;
  std::uint64_t FGeneration = 0;  // counts purges; under the ring lock
  // A block is taken and not yet written; under the ring lock. Meanwhile
  // nothing is written past the ring, so no block can overtake it.
  bool FInFlight = false;
};
