// The USB transport's tests run it against the stand-in D2XX library: the
// adapters it owns lead to loopback listeners of the test.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "framework/uTick.h"
#include "support/uLoopbackPeer.h"
#include "transport/usb/uci_FTDIcore.h"

inline std::string FakeLibraryPath() {
  return std::string(VELTO_BIN_DIR) + "/libfake_d2xx.so";
}

// Waits, bounded, for a state that another thread brings about.
template <class F>
bool Eventually(F done, std::uint32_t timeoutMs = 10000) {
  const std::uint32_t start = GetTickCount32();
  while (!done()) {
    if (GetTickCount32() - start > timeoutMs) return false;
    SleepMs(1);
  }
  return true;
}

// The ids of this process's threads, the receive threads and the library's
// among them. Threads are told apart by id, not counted: a thread that was
// just joined may still be listed for a moment, in a count taken before as
// well as after.
using TThreadIds = std::set<std::string>;

inline TThreadIds ThreadIds() {
  TThreadIds ids;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    ids.insert(entry.path().filename().string());
  return ids;
}

// The threads listed now that were not listed in `before`: those started since.
inline TThreadIds StartedSince(const TThreadIds& before) {
  TThreadIds started;
  for (const std::string& id : ThreadIds())
    if (before.count(id) == 0) started.insert(id);
  return started;
}

// How many of `threads` are still listed.
inline std::size_t StillListed(const TThreadIds& threads) {
  const TThreadIds now = ThreadIds();
  std::size_t count = 0;
  for (const std::string& id : threads) count += now.count(id);
  return count;
}

// Waits, bounded, until at most `left` of `threads` are still listed.
inline bool ThreadsEnd(const TThreadIds& threads, std::size_t left = 0) {
  return Eventually([&] { return StillListed(threads) <= left; });
}

// An entry point the stand-in library offers the tests only.
template <class F>
F FakeEntry(const char* name) {
  void* library = dlopen(FakeLibraryPath().c_str(), RTLD_NOW | RTLD_NOLOAD);
  F entry = library != nullptr ? reinterpret_cast<F>(dlsym(library, name)) : nullptr;
  if (library != nullptr) dlclose(library);  // only the reference just taken
  return entry;
}

// Collects what the receive thread announces: the bytes the handler read
// there, on which thread, and how often the transport announced closing.
// The transport may end on its receive thread a moment after the test let go
// of it, and announce its closing there: the collector, whose handlers it
// calls, goes only once that transport is gone with all it started. So the
// transport is let go before the collector (declared after it).
struct TArrivals {
  TArrivals() = default;
  TArrivals(const TArrivals&) = delete;
  TArrivals& operator=(const TArrivals&) = delete;
  ~TArrivals() {
    if (End) {
      EXPECT_TRUE(End->Wait(10000)) << "the transport still runs: its handlers outlive this";
    }
  }

  std::shared_ptr<TUsbTransportEnd> End;
  std::mutex Lock;
  std::condition_variable Changed;
  TBytes Bytes;
  std::thread::id Thread;
  int Closed = 0;

  void OnData(TIntf<ICommunicationInterface> sender) {
    TBytes part;
    sender->Read(part);
    std::lock_guard<std::mutex> guard(Lock);
    Bytes.insert(Bytes.end(), part.begin(), part.end());
    Thread = std::this_thread::get_id();
    Changed.notify_all();
  }
  void OnClosed(TIntf<ICommunicationInterface>) {
    std::lock_guard<std::mutex> guard(Lock);
    ++Closed;
    Changed.notify_all();
  }
  // Only the closing is watched: handlers set by the test, this object kept
  // until the transport has ended.
  void Follow(TFTDIDevice& t) { End = t.TransportEnd(); }
  void Attach(TFTDIDevice& t) {
    Follow(t);
    t.SetOnDataReceived(TCiNotifyHandler::Of<&TArrivals::OnData>(this));
    t.SetOnClosed(TCiNotifyHandler::Of<&TArrivals::OnClosed>(this));
  }
  bool WaitBytes(std::size_t count, int timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(Lock);
    return Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return Bytes.size() >= count; });
  }
  bool WaitClosed(int timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(Lock);
    return Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return Closed > 0; });
  }
};

class FakeAdapterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A sanitizer's runtime may start a thread of its own with the process's
    // first thread: that happens here, before any test lists the threads.
    std::thread([] {}).join();
    setenv("VELTO_D2XX_LIBRARY", FakeLibraryPath().c_str(), 1);
    Own("SIM1", FListener);
  }
  void TearDown() override {
    // A transport that ended on its receive thread may still be closing its
    // adapter there: the next test opens it only after that.
    EXPECT_TRUE(EndFTDIReceiveThreads(10000)) << "a receive thread still runs after the test";
    unsetenv("FAKE_D2XX_DEVICE");
    unsetenv("FAKE_D2XX_FAIL");
  }

  // The adapter named `serial` leads to `listener`.
  static void Own(const std::string& serial, TLoopbackListener& listener) {
    setenv("FAKE_D2XX_DEVICE", (serial + "@127.0.0.1:" + std::to_string(listener.Port())).c_str(),
           1);
  }
  static void Fail(const char* items) { setenv("FAKE_D2XX_FAIL", items, 1); }

  // An open transport on the adapter, its other end in FPeer. `prepare` runs
  // before Open: the receive thread may announce as soon as it runs.
  TIntf<TFTDIDevice> OpenAdapter(const std::string& settings = std::string(),
                                 const std::string& serial = "SIM1",
                                 const std::function<void(TFTDIDevice&)>& prepare = nullptr) {
    auto t = Make<TFTDIDevice>("provider=FTD_USB;serial_number=" + serial + settings);
    if (prepare) prepare(*t);
    EXPECT_TRUE(t->Open()) << t->GetLastError();
    FPeer = FListener.Accept(10000);
    EXPECT_TRUE(FPeer.Valid());
    return t;
  }

  TLoopbackListener FListener;
  TPeerSocket FPeer;
};
