// A stand-in for the D2XX library of USB serial adapters, written for the
// tests and loaded by the USB transport through VELTO_D2XX_LIBRARY. It offers
// the entry points the transport calls, with the same binary interface.
//
// FAKE_D2XX_DEVICE names the adapters it owns: SERIAL@HOST:PORT, several
// separated by ",". Opening one connects to HOST:PORT over TCP (a module
// simulator, or any peer); the adapter's bytes travel over that connection,
// and the event the transport registered is signalled when bytes arrive. A
// connection the peer ends behaves like an adapter pulled out: once the bytes
// that came before are taken, every transfer gives the input/output error.
//
// FAKE_D2XX_FAIL injects statuses: items CALL=STATUS or CALL=STATUS@N
// separated by ",", CALL one of open, write, read, queue, event, baud, close.
// From its N-th use on an adapter (the first by default; every open for open)
// the call gives STATUS instead of doing its work. A failed close leaves the
// adapter as it was: its connection stays, and its event is still signalled.
// Two words stand for odd libraries instead of a status: "close=hang" makes
// FT_Close wait until the next call of FakeD2xxReleaseHangs (for ever in a
// program that never calls it), then close; "open=nohandle" makes FT_OpenEx succeed
// without giving a handle. Both variables are read when an adapter is opened.
//
// For the tests it counts FT_Read calls, and calls that name an adapter after
// FT_Close was asked to close it (whatever that close answered).
//
// FAKE_D2XX_OPENED names adapters, separated by ",", that another program
// has open: they are listed as opened and cannot be opened here. The device
// list gives them and those of FAKE_D2XX_DEVICE, the latter flagged opened
// while open in this process.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

// The binary interface, shared with the transport's binding.
#include "transport/usb/uPthreadLock.h"
#include "transport/usb/uci_FTDIdirect.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// The statuses this library gives besides those the transport knows.
constexpr FT_STATUS kOk = kD2xxOk;
constexpr FT_STATUS kInvalidHandle = 1;
constexpr FT_STATUS kDeviceNotFound = 2;
constexpr FT_STATUS kDeviceNotOpened = 3;
constexpr FT_STATUS kIoError = kD2xxIoError;
constexpr FT_STATUS kInvalidParameter = 6;
constexpr FT_STATUS kInvalidBaudRate = 7;
constexpr std::size_t kQueueCap = 65536;  // the adapter's receive queue
constexpr int kConnectTimeoutMs = 3000;

struct TFailure {
  FT_STATUS Status = kOk;
  bool Hang = false;      // "hang"
  bool NoHandle = false;  // "nohandle"
  unsigned From = 0;      // 0: never
  unsigned Uses = 0;
};

struct TAdapter {
  std::string Serial;
  int Fd = -1;
  int Wake[2] = {-1, -1};
  std::thread Reader;
  std::mutex Lock;  // guards everything below
  std::vector<std::uint8_t> Queue;
  bool Gone = false;
  TD2xxEventHandle* Event = nullptr;
  DWORD Mask = 0;
  bool CloseAsked = false;
  DWORD BaudRate = 9600;
  std::map<std::string, TFailure> Failures;
};

std::mutex gLock;
// Open adapters and those whose close failed; never freed, so an adapter left
// running stays reachable to the end of the process.
std::set<TAdapter*>& gAdapters = *new std::set<TAdapter*>;
std::atomic<unsigned> gSignals{0};
std::atomic<unsigned> gReads{0};
std::atomic<unsigned> gCallsAfterClose{0};

// Where a close made to hang waits; never freed, as a waiter may be left in it
// when the process ends. Each hanging close takes a ticket; a release lets go
// the tickets taken so far, so that a later test's close hangs again.
struct THangs {
  std::mutex Lock;
  std::condition_variable Released;
  unsigned Taken = 0;  // guarded by Lock
  unsigned LetGo = 0;  // guarded by Lock
};
THangs& gHangs = *new THangs;

unsigned TakeHangTicket() {
  std::lock_guard<std::mutex> guard(gHangs.Lock);
  return ++gHangs.Taken;
}

void Hang(unsigned ticket) {
  std::unique_lock<std::mutex> lock(gHangs.Lock);
  gHangs.Released.wait(lock, [ticket] { return gHangs.LetGo >= ticket; });
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t stop = text.find(separator, start);
    parts.push_back(text.substr(start, stop - start));
    if (stop == std::string::npos) return parts;
    start = stop + 1;
  }
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::map<std::string, TFailure> ReadFailures() {
  std::map<std::string, TFailure> failures;
  for (const std::string& item : Split(Env("FAKE_D2XX_FAIL"), ',')) {
    const std::size_t eq = item.find('=');
    if (eq == std::string::npos) continue;
    TFailure f;
    const std::string value = item.substr(eq + 1);
    const std::size_t at = value.find('@');
    const std::string word = value.substr(0, at);
    f.Hang = word == "hang";
    f.NoHandle = word == "nohandle";
    f.Status = static_cast<FT_STATUS>(std::strtoul(word.c_str(), nullptr, 10));
    f.From = at == std::string::npos
                 ? 1
                 : static_cast<unsigned>(std::strtoul(value.substr(at + 1).c_str(), nullptr, 10));
    failures[item.substr(0, eq)] = f;
  }
  return failures;
}

// The failure injected for this use of `call`, or null. Caller holds the lock.
const TFailure* Due(TAdapter& a, const std::string& call) {
  auto it = a.Failures.find(call);
  if (it == a.Failures.end()) return nullptr;
  TFailure& f = it->second;
  ++f.Uses;
  return (f.From != 0 && f.Uses >= f.From) ? &f : nullptr;
}

// The status injected for this use of `call`, or kOk. Caller holds the lock.
FT_STATUS Injected(TAdapter& a, const std::string& call) {
  const TFailure* f = Due(a, call);
  return f != nullptr ? f->Status : kOk;
}

// HOST:PORT of the adapter named `serial`; false when it is not owned.
bool FindAdapter(const std::string& serial, std::string& host, std::string& port) {
  for (const std::string& entry : Split(Env("FAKE_D2XX_DEVICE"), ',')) {
    const std::size_t at = entry.find('@');
    const std::size_t colon = entry.rfind(':');
    if (at == std::string::npos || colon == std::string::npos || colon < at) continue;
    if (entry.substr(0, at) != serial) continue;
    host = entry.substr(at + 1, colon - at - 1);
    port = entry.substr(colon + 1);
    return true;
  }
  return false;
}

int Connect(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &list) != 0) return -1;
  int fd = -1;
  for (addrinfo* ai = list; ai != nullptr && fd < 0; ai = ai->ai_next) {
    fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) continue;
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
      pollfd p{fd, POLLOUT, 0};
      int error = 0;
      socklen_t length = sizeof error;
      if (errno != EINPROGRESS || poll(&p, 1, kConnectTimeoutMs) != 1 ||
          getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        close(fd);
        fd = -1;
      }
    }
  }
  freeaddrinfo(list);
  return fd;
}

void Signal(TD2xxEventHandle* event) {
  TPthreadLock lock(event->Mutex);
  // Written like the library does; an event freed too early shows here.
  event->Flags |= static_cast<int>(kD2xxEventRxChar);
  pthread_cond_signal(&event->Cond);
  ++gSignals;
}

// Moves the peer's bytes into the adapter's queue and signals its event.
void ReadLoop(TAdapter* a) {
  for (;;) {
    bool room = false;
    {
      std::lock_guard<std::mutex> guard(a->Lock);
      room = !a->Gone && a->Queue.size() < kQueueCap;
    }
    pollfd p[2] = {{a->Wake[0], POLLIN, 0}, {a->Fd, static_cast<short>(room ? POLLIN : 0), 0}};
    // A full queue is looked at again shortly, after the transport took some.
    if (poll(p, 2, room ? -1 : 10) < 0 && errno != EINTR) return;
    if (p[0].revents != 0) return;
    if (!room || p[1].revents == 0) continue;
    std::uint8_t buffer[4096];
    TD2xxEventHandle* event = nullptr;
    {
      std::lock_guard<std::mutex> guard(a->Lock);
      const std::size_t want = std::min(sizeof buffer, kQueueCap - a->Queue.size());
      const ssize_t n = recv(a->Fd, buffer, want, MSG_DONTWAIT);
      if (n > 0) {
        a->Queue.insert(a->Queue.end(), buffer, buffer + n);
        if ((a->Mask & kD2xxEventRxChar) != 0) event = a->Event;
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        a->Gone = true;
      }
    }
    if (event != nullptr) Signal(event);
  }
}

// The adapter behind `handle` with its lock held, or null for a handle that
// is not open.
class TAdapterAccess {
 public:
  explicit TAdapterAccess(void* handle) {
    std::lock_guard<std::mutex> guard(gLock);
    auto* a = static_cast<TAdapter*>(handle);
    if (gAdapters.count(a) == 0) return;
    FGuard = std::unique_lock<std::mutex>(a->Lock);
    FAdapter = a;
    if (a->CloseAsked) ++gCallsAfterClose;
  }
  TAdapter* operator->() const { return FAdapter; }
  TAdapter& operator*() const { return *FAdapter; }
  explicit operator bool() const { return FAdapter != nullptr; }

 private:
  TAdapter* FAdapter = nullptr;
  std::unique_lock<std::mutex> FGuard;
};

void Destroy(TAdapter* a) {
  if (a->Reader.joinable()) {
    const char stop = 1;
    if (write(a->Wake[1], &stop, 1) < 0) {
      // The pipe cannot be full: one byte is ever written to it.
    }
    a->Reader.join();
  }
  for (int fd : {a->Fd, a->Wake[0], a->Wake[1]})
    if (fd >= 0) close(fd);
  delete a;
}

FT_STATUS Simple(void* handle, const char* call = nullptr) {
  TAdapterAccess a(handle);
  if (!a) return kInvalidHandle;
  return call != nullptr ? Injected(*a, call) : kOk;
}

}  // namespace

FAKE_EXPORT FT_STATUS FT_OpenEx(void* arg, DWORD flags, void** handle) {
  if (arg == nullptr || handle == nullptr || flags != kD2xxOpenBySerialNumber)
    return kInvalidParameter;
  const std::string serial = static_cast<const char*>(arg);
  std::map<std::string, TFailure> failures = ReadFailures();
  if (failures.count("open") != 0) {
    const TFailure& f = failures["open"];
    if (f.NoHandle) {
      *handle = nullptr;
      return kOk;
    }
    if (f.Status != kOk) return f.Status;
  }
  for (const std::string& held : Split(Env("FAKE_D2XX_OPENED"), ','))
    if (held == serial) return kDeviceNotOpened;
  std::string host, port;
  if (!FindAdapter(serial, host, port)) return kDeviceNotFound;
  {
    std::lock_guard<std::mutex> guard(gLock);
    for (TAdapter* other : gAdapters)
      if (other->Serial == serial) return kDeviceNotOpened;  // already open
  }
  auto* a = new TAdapter;
  a->Serial = serial;
  a->Failures = std::move(failures);
  a->Fd = Connect(host, port);
  if (a->Fd < 0 || pipe2(a->Wake, O_CLOEXEC) != 0) {
    Destroy(a);
    return kDeviceNotOpened;
  }
  a->Reader = std::thread(ReadLoop, a);
  std::lock_guard<std::mutex> guard(gLock);
  gAdapters.insert(a);
  *handle = a;
  return kOk;
}

FAKE_EXPORT FT_STATUS FT_Close(void* handle) {
  auto* a = static_cast<TAdapter*>(handle);
  bool hang = false;
  unsigned ticket = 0;
  {
    std::lock_guard<std::mutex> guard(gLock);
    if (gAdapters.count(a) == 0) return kInvalidHandle;
    std::lock_guard<std::mutex> adapter(a->Lock);
    a->CloseAsked = true;
    const TFailure* f = Due(*a, "close");
    if (f != nullptr && !f->Hang && f->Status != kOk) return f->Status;
    hang = f != nullptr && f->Hang;
    if (hang)
      ticket = TakeHangTicket();
    else
      gAdapters.erase(a);
  }
  if (hang) {
    // Holds nothing while it waits, as a library stuck in its own close.
    Hang(ticket);
    std::lock_guard<std::mutex> guard(gLock);
    gAdapters.erase(a);
  }
  Destroy(a);
  return kOk;
}

FAKE_EXPORT FT_STATUS FT_ResetDevice(void* handle) {
  return Simple(handle);
}

FAKE_EXPORT FT_STATUS FT_SetEventNotification(void* handle, DWORD mask, void* param) {
  TAdapterAccess a(handle);
  if (!a) return kInvalidHandle;
  if (param == nullptr) return kInvalidParameter;
  if (const FT_STATUS s = Injected(*a, "event"); s != kOk) return s;
  a->Event = static_cast<TD2xxEventHandle*>(param);
  a->Mask = mask;
  return kOk;
}

FAKE_EXPORT FT_STATUS FT_SetBaudRate(void* handle, DWORD baudRate) {
  TAdapterAccess a(handle);
  if (!a) return kInvalidHandle;
  if (const FT_STATUS s = Injected(*a, "baud"); s != kOk) return s;
  if (baudRate == 0 || baudRate > 3000000) return kInvalidBaudRate;
  a->BaudRate = baudRate;
  return kOk;
}

FAKE_EXPORT FT_STATUS FT_SetDataCharacteristics(void* handle, UCHAR bits, UCHAR stop,
                                                UCHAR parity) {
  TAdapterAccess a(handle);
  if (!a) return kInvalidHandle;
  // The adapters carry 7 or 8 data bits and one or two stop bits.
  if ((bits != 7 && bits != 8) || (stop != 0 && stop != 2) || parity > 4) return kInvalidParameter;
  return kOk;
}

FAKE_EXPORT FT_STATUS FT_SetDtr(void* handle) {
  return Simple(handle);
}
FAKE_EXPORT FT_STATUS FT_ClrDtr(void* handle) {
  return Simple(handle);
}
FAKE_EXPORT FT_STATUS FT_SetRts(void* handle) {
  return Simple(handle);
}
FAKE_EXPORT FT_STATUS FT_ClrRts(void* handle) {
  return Simple(handle);
}
FAKE_EXPORT FT_STATUS FT_EraseEE(void* handle) {
  return Simple(handle);
}

FAKE_EXPORT FT_STATUS FT_Purge(void* handle, DWORD mask) {
  TAdapterAccess a(handle);
  if (!a) return kInvalidHandle;
  if ((mask & 1) != 0) a->Queue.clear();
  return kOk;
}

FAKE_EXPORT FT_STATUS FT_GetQueueStatus(void* handle, DWORD* waiting) {
  TAdapterAccess a(handle);
  if (!a) return kInvalidHandle;
  if (waiting == nullptr) return kInvalidParameter;
  if (const FT_STATUS s = Injected(*a, "queue"); s != kOk) return s;
  if (a->Queue.empty() && a->Gone) return kIoError;
  *waiting = static_cast<DWORD>(a->Queue.size());
  return kOk;
}

FAKE_EXPORT FT_STATUS FT_Read(void* handle, void* buffer, DWORD count, DWORD* read) {
  TAdapterAccess a(handle);
  if (!a) return kInvalidHandle;
  if (buffer == nullptr || read == nullptr) return kInvalidParameter;
  ++gReads;
  if (const FT_STATUS s = Injected(*a, "read"); s != kOk) return s;
  if (a->Queue.empty() && a->Gone) return kIoError;
  const std::size_t n = std::min<std::size_t>(count, a->Queue.size());
  std::memcpy(buffer, a->Queue.data(), n);
  a->Queue.erase(a->Queue.begin(), a->Queue.begin() + static_cast<std::ptrdiff_t>(n));
  *read = static_cast<DWORD>(n);
  return kOk;
}

FAKE_EXPORT FT_STATUS FT_Write(void* handle, void* buffer, DWORD count, DWORD* written) {
  TAdapterAccess a(handle);
  if (!a) return kInvalidHandle;
  if ((buffer == nullptr && count != 0) || written == nullptr) return kInvalidParameter;
  if (const FT_STATUS s = Injected(*a, "write"); s != kOk) return s;
  if (a->Gone) return kIoError;
  std::size_t sent = 0;
  while (sent < count) {
    const ssize_t n =
        send(a->Fd, static_cast<const char*>(buffer) + sent, count - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    pollfd p{a->Fd, POLLOUT, 0};
    if (n < 0 && errno == EAGAIN && poll(&p, 1, kConnectTimeoutMs) == 1) continue;
    a->Gone = true;
    return kIoError;
  }
  *written = static_cast<DWORD>(sent);
  return kOk;
}

namespace {

struct TListed {
  std::string Serial;
  bool Opened;
};

std::vector<TListed> Listed() {
  std::vector<TListed> listed;
  std::set<std::string> open;
  {
    std::lock_guard<std::mutex> guard(gLock);
    for (TAdapter* a : gAdapters) open.insert(a->Serial);
  }
  for (const std::string& entry : Split(Env("FAKE_D2XX_DEVICE"), ',')) {
    const std::size_t at = entry.find('@');
    if (at != std::string::npos) listed.push_back({entry.substr(0, at), open.count(entry.substr(0, at)) > 0});
  }
  for (const std::string& held : Split(Env("FAKE_D2XX_OPENED"), ','))
    if (!held.empty()) listed.push_back({held, true});
  return listed;
}

}  // namespace

FAKE_EXPORT FT_STATUS FT_CreateDeviceInfoList(DWORD* count) {
  if (count == nullptr) return kInvalidParameter;
  *count = static_cast<DWORD>(Listed().size());
  return kOk;
}

// The serial number field holds 16 bytes and the description 64, as the
// library's do.
FAKE_EXPORT FT_STATUS FT_GetDeviceInfoDetail(DWORD index, DWORD* flags, DWORD* type, DWORD* id,
                                             DWORD* location, void* serial, void* description,
                                             void** handle) {
  const std::vector<TListed> listed = Listed();
  if (index >= listed.size()) return kDeviceNotFound;
  if (flags != nullptr) *flags = listed[index].Opened ? 1 : 0;
  if (type != nullptr) *type = 0;
  if (id != nullptr) *id = 0;
  if (location != nullptr) *location = 0;
  if (serial != nullptr) {
    char* out = static_cast<char*>(serial);
    const std::size_t n = std::min<std::size_t>(listed[index].Serial.size(), 15);
    std::memcpy(out, listed[index].Serial.data(), n);
    out[n] = '\0';
  }
  if (description != nullptr) std::strcpy(static_cast<char*>(description), "Fake adapter");
  if (handle != nullptr) *handle = nullptr;
  return kOk;
}

// For the tests: the rate an open adapter was given, 0 for a handle not open.
FAKE_EXPORT DWORD FakeD2xxBaudRate(void* handle) {
  TAdapterAccess a(handle);
  return a ? a->BaudRate : 0;
}

// For the tests: how often an event was signalled so far.
FAKE_EXPORT unsigned FakeD2xxSignals() {
  return gSignals.load();
}

// For the tests: how often FT_Read was called on an open adapter so far.
FAKE_EXPORT unsigned FakeD2xxReads() {
  return gReads.load();
}

// For the tests: how many calls named an adapter after its close was asked.
FAKE_EXPORT unsigned FakeD2xxCallsAfterClose() {
  return gCallsAfterClose.load();
}

// For the tests: lets every close that was made to hang so far go on.
FAKE_EXPORT void FakeD2xxReleaseHangs() {
  {
    std::lock_guard<std::mutex> guard(gHangs.Lock);
    gHangs.LetGo = gHangs.Taken;
  }
  gHangs.Released.notify_all();
}
