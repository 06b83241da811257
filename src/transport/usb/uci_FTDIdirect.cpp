#include "transport/usb/uci_FTDIdirect.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

constexpr const char* kDefaultLibrary = "libftd2xx.so";
constexpr const char* kLibraryVariable = "VELTO_D2XX_LIBRARY";

using THandleCall = FT_STATUS (*)(FT_HANDLE);
using TOpenExCall = FT_STATUS (*)(void*, DWORD, FT_HANDLE*);
using TEventCall = FT_STATUS (*)(FT_HANDLE, DWORD, void*);
using TValueCall = FT_STATUS (*)(FT_HANDLE, DWORD);
using TDataCall = FT_STATUS (*)(FT_HANDLE, UCHAR, UCHAR, UCHAR);
using TCountCall = FT_STATUS (*)(FT_HANDLE, DWORD*);
using TTransferCall = FT_STATUS (*)(FT_HANDLE, void*, DWORD, DWORD*);
using TListCall = FT_STATUS (*)(DWORD*);
using TDetailCall = FT_STATUS (*)(DWORD, DWORD*, DWORD*, DWORD*, DWORD*, void*, void*, FT_HANDLE*);

// The entry points of a loaded library; a missing one stays null.
struct TEntryPoints {
  void* Library = nullptr;
  std::string Path;
  TOpenExCall OpenEx = nullptr;
  THandleCall Close = nullptr;
  THandleCall ResetDevice = nullptr;
  TEventCall SetEventNotification = nullptr;
  TValueCall SetBaudRate = nullptr;
  TDataCall SetDataCharacteristics = nullptr;
  THandleCall SetDtr = nullptr;
  THandleCall ClrDtr = nullptr;
  THandleCall SetRts = nullptr;
  THandleCall ClrRts = nullptr;
  TValueCall Purge = nullptr;
  TCountCall GetQueueStatus = nullptr;
  TTransferCall Read = nullptr;
  TTransferCall Write = nullptr;
  THandleCall EraseEE = nullptr;
  TListCall CreateDeviceInfoList = nullptr;
  TDetailCall GetDeviceInfoDetail = nullptr;
};

std::mutex gLoadLock;
std::string gLoadError;  // guarded by gLoadLock
// Set once, never freed: the library stays loaded to the end of the process,
// since unloading it while it may still run threads of its own is unsafe.
std::atomic<const TEntryPoints*> gEntries{nullptr};

template <class F>
void Bind(void* library, const char* name, F& entry) {
  static_assert(sizeof(F) == sizeof(void*));
  entry = reinterpret_cast<F>(dlsym(library, name));
}

const TEntryPoints* LoadEntryPoints(std::string& error) {
  const char* configured = std::getenv(kLibraryVariable);
  const std::string path =
      (configured != nullptr && *configured != '\0') ? configured : kDefaultLibrary;
  // Only a regular file is loaded: opening a FIFO or a device may wait for
  // ever. (A name without "/" is looked for by the loader in its own folders.)
  struct stat file {};
  if (path.find('/') != std::string::npos && stat(path.c_str(), &file) == 0 &&
      !S_ISREG(file.st_mode)) {
    error = path + ": not a regular file";
    return nullptr;
  }
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* text = dlerror();
    error = text != nullptr ? text : path + ": cannot be loaded";
    return nullptr;
  }
  auto* e = new TEntryPoints;
  e->Library = library;
  e->Path = path;
  Bind(library, "FT_OpenEx", e->OpenEx);
  Bind(library, "FT_Close", e->Close);
  Bind(library, "FT_ResetDevice", e->ResetDevice);
  Bind(library, "FT_SetEventNotification", e->SetEventNotification);
  Bind(library, "FT_SetBaudRate", e->SetBaudRate);
  Bind(library, "FT_SetDataCharacteristics", e->SetDataCharacteristics);
  Bind(library, "FT_SetDtr", e->SetDtr);
  Bind(library, "FT_ClrDtr", e->ClrDtr);
  Bind(library, "FT_SetRts", e->SetRts);
  Bind(library, "FT_ClrRts", e->ClrRts);
  Bind(library, "FT_Purge", e->Purge);
  Bind(library, "FT_GetQueueStatus", e->GetQueueStatus);
  Bind(library, "FT_Read", e->Read);
  Bind(library, "FT_Write", e->Write);
  Bind(library, "FT_EraseEE", e->EraseEE);
  Bind(library, "FT_CreateDeviceInfoList", e->CreateDeviceInfoList);
  Bind(library, "FT_GetDeviceInfoDetail", e->GetDeviceInfoDetail);
  return e;
}

// Calls an entry point of the loaded library, or gives kD2xxMissing.
template <class F, class... A>
FT_STATUS Call(F TEntryPoints::*entry, A... args) {
  const TEntryPoints* e = gEntries.load(std::memory_order_acquire);
  if (e == nullptr || e->*entry == nullptr) return kD2xxMissing;
  return (e->*entry)(args...);
}

template <class F, class... A>
FT_STATUS CallWithHandle(F TEntryPoints::*entry, FT_HANDLE handle, A... args) {
  if (handle == nullptr) return kD2xxMissing;
  return Call(entry, handle, args...);
}

}  // namespace

std::string D2xxLoad() {
  if (gEntries.load(std::memory_order_acquire) != nullptr) return std::string();
  std::lock_guard<std::mutex> guard(gLoadLock);
  if (gEntries.load(std::memory_order_acquire) != nullptr) return std::string();
  std::string error;
  const TEntryPoints* e = LoadEntryPoints(error);
  if (e == nullptr) {
    gLoadError = error;
    return error;
  }
  gEntries.store(e, std::memory_order_release);
  gLoadError.clear();
  return std::string();
}

std::string D2xxMissingReason(const char* entryPoint) {
  const TEntryPoints* e = gEntries.load(std::memory_order_acquire);
  if (e == nullptr) {
    std::lock_guard<std::mutex> guard(gLoadLock);
    return "the D2XX library is not loaded" +
           (gLoadError.empty() ? std::string() : " (" + gLoadError + ")");
  }
  if (dlsym(e->Library, entryPoint) == nullptr)
    return "the D2XX library " + e->Path + " has no " + entryPoint;
  return std::string();
}

FT_STATUS D2xxOpenEx(const std::string& serialNumber, FT_HANDLE& handle) {
  FT_HANDLE opened = nullptr;
  // The library takes the text through an untyped pointer and only reads it.
  const FT_STATUS status = Call(&TEntryPoints::OpenEx, const_cast<char*>(serialNumber.c_str()),
                                kD2xxOpenBySerialNumber, &opened);
  handle = status == kD2xxOk ? opened : nullptr;
  return status;
}

namespace {

// The outcome of a close running on a thread of its own.
struct TCloseCall {
  std::mutex Lock;
  std::condition_variable Done;
  bool Finished = false;       // guarded by Lock
  FT_STATUS Status = kD2xxOk;  // guarded by Lock
};

}  // namespace

FT_STATUS D2xxClose(FT_HANDLE handle) {
  const TEntryPoints* e = gEntries.load(std::memory_order_acquire);
  if (handle == nullptr || e == nullptr || e->Close == nullptr) return kD2xxMissing;
  // A library whose close never returns must not hold up whoever closes (a
  // program on its way out): the close runs on a thread of its own, which is
  // left to the library when it takes too long.
  auto call = std::make_shared<TCloseCall>();
  std::thread closer;
  try {
    closer = std::thread([call, close = e->Close, handle] {
      const FT_STATUS status = close(handle);
      {
        std::lock_guard<std::mutex> guard(call->Lock);
        call->Status = status;
        call->Finished = true;
      }
      call->Done.notify_all();
    });
  } catch (const std::system_error&) {
    return e->Close(handle);  // no thread to spare: the library is waited for
  }
  std::unique_lock<std::mutex> lock(call->Lock);
  if (!call->Done.wait_for(lock, std::chrono::milliseconds(kD2xxCloseWaitMs),
                           [&] { return call->Finished; })) {
    lock.unlock();
    closer.detach();
    return kD2xxCloseTimedOut;
  }
  const FT_STATUS status = call->Status;
  lock.unlock();
  closer.join();
  return status;
}

FT_STATUS D2xxResetDevice(FT_HANDLE handle) {
  return CallWithHandle(&TEntryPoints::ResetDevice, handle);
}

FT_STATUS D2xxSetEventNotification(FT_HANDLE handle, DWORD mask, TD2xxEventHandle* event) {
  return CallWithHandle(&TEntryPoints::SetEventNotification, handle, mask,
                        static_cast<void*>(event));
}

FT_STATUS D2xxSetBaudRate(FT_HANDLE handle, DWORD baudRate) {
  return CallWithHandle(&TEntryPoints::SetBaudRate, handle, baudRate);
}

FT_STATUS D2xxSetDataCharacteristics(FT_HANDLE handle, UCHAR dataBits, UCHAR stopBits,
                                     UCHAR parity) {
  return CallWithHandle(&TEntryPoints::SetDataCharacteristics, handle, dataBits, stopBits, parity);
}

FT_STATUS D2xxSetDtr(FT_HANDLE handle, bool raised) {
  return CallWithHandle(raised ? &TEntryPoints::SetDtr : &TEntryPoints::ClrDtr, handle);
}

FT_STATUS D2xxSetRts(FT_HANDLE handle, bool raised) {
  return CallWithHandle(raised ? &TEntryPoints::SetRts : &TEntryPoints::ClrRts, handle);
}

FT_STATUS D2xxPurge(FT_HANDLE handle, DWORD mask) {
  return CallWithHandle(&TEntryPoints::Purge, handle, mask);
}

FT_STATUS D2xxGetQueueStatus(FT_HANDLE handle, DWORD& waiting) {
  DWORD count = 0;
  const FT_STATUS status = CallWithHandle(&TEntryPoints::GetQueueStatus, handle, &count);
  waiting = status == kD2xxOk ? count : 0;
  return status;
}

FT_STATUS D2xxRead(FT_HANDLE handle, void* buffer, DWORD count, DWORD& read) {
  DWORD done = 0;
  const FT_STATUS status = CallWithHandle(&TEntryPoints::Read, handle, buffer, count, &done);
  // Never more than was asked for, whatever the library says.
  read = status == kD2xxOk ? (done < count ? done : count) : 0;
  return status;
}

FT_STATUS D2xxWrite(FT_HANDLE handle, const void* buffer, DWORD count, DWORD& written) {
  DWORD done = 0;
  // The library takes the bytes through an untyped pointer and only reads them.
  const FT_STATUS status =
      CallWithHandle(&TEntryPoints::Write, handle, const_cast<void*>(buffer), count, &done);
  written = status == kD2xxOk ? (done < count ? done : count) : 0;
  return status;
}

FT_STATUS D2xxEraseEE(FT_HANDLE handle) {
  return CallWithHandle(&TEntryPoints::EraseEE, handle);
}

FT_STATUS D2xxListDevices(std::vector<TD2xxListed>& devices) {
  devices.clear();
  DWORD count = 0;
  const FT_STATUS status = Call(&TEntryPoints::CreateDeviceInfoList, &count);
  if (status != kD2xxOk) return status;
  // Bounded whatever the library says: a bus holds at most 127 devices.
  constexpr DWORD kMaxListed = 1024;
  constexpr DWORD kFlagOpened = 1;
  for (DWORD index = 0; index < count && index < kMaxListed; ++index) {
    DWORD flags = 0, type = 0, id = 0, location = 0;
    FT_HANDLE handle = nullptr;
    // Larger than the library's own fields (16 and 64 bytes), and ended here.
    char serial[64] = {};
    char description[128] = {};
    if (Call(&TEntryPoints::GetDeviceInfoDetail, index, &flags, &type, &id, &location,
             static_cast<void*>(serial), static_cast<void*>(description), &handle) != kD2xxOk)
      continue;
    serial[sizeof serial - 1] = '\0';
    devices.push_back({serial, (flags & kFlagOpened) != 0});
  }
  return kD2xxOk;
}

std::string D2xxLibraryName() {
  const char* configured = std::getenv(kLibraryVariable);
  return (configured != nullptr && *configured != '\0') ? configured : kDefaultLibrary;
}
