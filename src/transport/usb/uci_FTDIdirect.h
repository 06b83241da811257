// The D2XX library of USB serial adapters, bound at run time.
//
// The library is not part of the system: it is loaded with dlopen at the
// first open of an adapter (from the path in VELTO_D2XX_LIBRARY when that is
// set, else "libftd2xx.so"; a path that names anything but a regular file is
// refused), so runs over other transports never touch it.
// Only the entry points the transport calls are looked up. Every call goes
// through a wrapper that gives kD2xxMissing without calling when the library
// or the entry point is missing, or when the handle is null (the library is
// never handed a closed adapter). Otherwise the library's status comes back:
// 0 is success, 4 its input/output error; other values are the library's own.
// The one exception is the close, which is waited for at most
// kD2xxCloseWaitMs and then left running (kD2xxCloseTimedOut).
//
// The declarations below are the library's binary interface on Linux: plain
// C calls, 32-bit unsigned status and counts, a pointer as handle.
#pragma once

#include <pthread.h>

#include <string>
#include <vector>

using FT_STATUS = unsigned int;
using FT_HANDLE = void*;
using DWORD = unsigned int;
using UCHAR = unsigned char;

constexpr FT_STATUS kD2xxOk = 0;
constexpr FT_STATUS kD2xxIoError = 4;
// The library or the entry point is missing, or the handle is null.
constexpr FT_STATUS kD2xxMissing = 65535;
// The library's close did not return within kD2xxCloseWaitMs.
constexpr FT_STATUS kD2xxCloseTimedOut = 65534;
constexpr unsigned kD2xxCloseWaitMs = 2000;

constexpr DWORD kD2xxOpenBySerialNumber = 1;
// Event mask: a character received, a modem line changed.
constexpr DWORD kD2xxEventRxChar = 1;
constexpr DWORD kD2xxEventModemStatus = 2;
constexpr DWORD kD2xxPurgeRx = 1;
constexpr DWORD kD2xxPurgeTx = 2;

// What FT_SetEventNotification is given on Linux: the library signals the
// condition variable under the mutex when an event of the mask occurs
// (without a predicate: a signal nobody waits for is lost). Set up by the
// caller; the library may use it until a close of the adapter succeeds.
struct TD2xxEventHandle {
  pthread_cond_t Cond;
  pthread_mutex_t Mutex;
  int Flags;
};

// Loads the library once; later calls only report. Retried after a failure.
// Empty when it is loaded, else why not (the loader's text).
std::string D2xxLoad();
// Why `entryPoint` gives kD2xxMissing: the library not loaded, or it has no
// such entry point; empty when it can be called.
std::string D2xxMissingReason(const char* entryPoint);

FT_STATUS D2xxOpenEx(const std::string& serialNumber, FT_HANDLE& handle);
FT_STATUS D2xxClose(FT_HANDLE handle);
FT_STATUS D2xxResetDevice(FT_HANDLE handle);
FT_STATUS D2xxSetEventNotification(FT_HANDLE handle, DWORD mask, TD2xxEventHandle* event);
FT_STATUS D2xxSetBaudRate(FT_HANDLE handle, DWORD baudRate);
FT_STATUS D2xxSetDataCharacteristics(FT_HANDLE handle, UCHAR dataBits, UCHAR stopBits,
                                     UCHAR parity);
FT_STATUS D2xxSetDtr(FT_HANDLE handle, bool raised);
FT_STATUS D2xxSetRts(FT_HANDLE handle, bool raised);
FT_STATUS D2xxPurge(FT_HANDLE handle, DWORD mask);
FT_STATUS D2xxGetQueueStatus(FT_HANDLE handle, DWORD& waiting);
FT_STATUS D2xxRead(FT_HANDLE handle, void* buffer, DWORD count, DWORD& read);
FT_STATUS D2xxWrite(FT_HANDLE handle, const void* buffer, DWORD count, DWORD& written);
FT_STATUS D2xxEraseEE(FT_HANDLE handle);

// One adapter as the library lists it; Opened: some program has it open.
struct TD2xxListed {
  std::string Serial;
  bool Opened = false;
};
// The adapters the library sees now (FT_CreateDeviceInfoList and
// FT_GetDeviceInfoDetail); kD2xxMissing without the library or those calls.
FT_STATUS D2xxListDevices(std::vector<TD2xxListed>& devices);
// The library file as it is looked for: VELTO_D2XX_LIBRARY or the default.
std::string D2xxLibraryName();
