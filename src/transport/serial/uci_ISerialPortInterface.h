// Serial line settings shared by every transport that has them: the
// interface ISerialPortInterface and the serial-line layer
// TSerialPortCoreInterface, from which the COM-port and the USB adapter
// transports derive.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "transport/uci_ICommunicationInterface.h"

// Stop-bit codes.
constexpr std::int32_t sbOne = 0;
constexpr std::int32_t sbOneAndHalf = 1;
constexpr std::int32_t sbTwo = 2;
// Parity codes.
constexpr std::int32_t paNone = 0;
constexpr std::int32_t paOdd = 1;
constexpr std::int32_t paEven = 2;
constexpr std::int32_t paMark = 3;
constexpr std::int32_t paSpace = 4;

class ISerialPortInterface : public virtual ICommunicationInterface {
 public:
  static constexpr TGUID IID = GuidLiteral("{783E5941-B8D8-4FB6-B8B5-F43D41E6DB42}");

  virtual std::int32_t GetBaudRate() = 0;
  virtual void SetBaudRate(std::int32_t baudRate) = 0;
  virtual bool GetRTS() = 0;
  virtual void SetRTS(bool raised) = 0;
  virtual bool GetDTR() = 0;
  virtual void SetDTR(bool raised) = 0;
  // Input line states.
  virtual bool GetCTS() = 0;
  virtual bool GetDSR() = 0;
  virtual std::int32_t GetStopBits() = 0;
  virtual void SetStopBits(std::int32_t stopBits) = 0;
  virtual std::int32_t GetParity() = 0;
  virtual void SetParity(std::int32_t parity) = 0;
  // PurgeIn and PurgeOut come from ICommunicationInterface: one override
  // serves both interfaces.
  virtual std::int32_t GetDataBits() = 0;
  virtual void SetDataBits(std::int32_t dataBits) = 0;
  virtual std::int32_t GetOutBufSize() = 0;
  virtual void SetOutBufSize(std::int32_t size) = 0;
  virtual std::int32_t GetInBufSize() = 0;
  virtual void SetInBufSize(std::int32_t size) = 0;
};

// Texts of the codes as a connection string writes them ("One", "None"), and
// the codes of the texts it accepts (any letter case; "1,5" and "1.5" too).
// The readers give false for a text they do not know.
std::string StopBitsText(std::int32_t stopBits);
bool StopBitsFromText(const std::string& text, std::int32_t& stopBits);
std::string ParityText(std::int32_t parity);
bool ParityFromText(const std::string& text, std::int32_t& parity);
// Line states: a number (non-zero is true, a decimal fraction allowed), or
// "True" / "False" in any letter case; anything else raises EConvertError
// "'%s' is not a valid boolean value".
bool LineStateFromText(const std::string& text);

// The serial-line layer: gives the six serial keys of a connection string
// ("baudrate", "databits", "stopbits", "parity", "dtr", "rts") and "active"
// their meaning in both directions, through the abstract setters and getters
// that each transport supplies. Its SetBaudRate keeps the character time
// (FByteTime) at ten bit times of the rate.
//
// Constructors do not apply a connection string: C++ would run this class's
// operations, not the transport's, so the most derived transport applies it
// in its own constructor.
class TSerialPortCoreInterface : public TCommunicationInterface,
                                 public virtual ISerialPortInterface {
 public:
  TSerialPortCoreInterface() : TCommunicationInterface(std::string()) {}

  HRESULT QueryInterface(const TGUID& iid, void** obj) override;

  // "baudrate=9600;databits=8;stopbits=One;parity=None;dtr=-1;rts=-1", after
  // the base's text and ";" when that is not empty. Transports append their
  // own keys.
  std::string GetConnectionString() override;
  // Applies the six serial keys present in `text` in the order above (a value
  // that does not convert raises, keys before it stay applied; an unknown
  // stop-bits or parity text keeps the current value), announces the change
  // of settings, and opens the transport when "active" is "1" or "true".
  // Separators may be ";" or line breaks; other keys are ignored.
  void SetConnectionString(const std::string& text) override;

  // Character time = 10000 / baud rate ms (ten bits a character); 0 for a
  // rate that is not positive.
  void SetBaudRate(std::int32_t baudRate) override;
};

class TAfComPort;
class TSerialBytePort;
class TPortLink;

inline constexpr const char* kSerialPortProvider = "SERIAL_PORT";

// The COM-port transport: one serial port component, configured from the
// connection string ("comport" beside the six serial keys; the bare text
// "COM3" selects port 3). Two keys serve a line that several programs or
// modules share: "portwait" (milliseconds that Open waits for a port another
// program holds; 0, the default, fails at once) and "rs485" (direction
// control: off, the default, kernel or rts, optionally ":BEFORE:AFTER" in
// milliseconds; see AfLineDirection.h). Both are written back only when set.
// Reception works by polling (GetReceivedCount, Read, WaitReceived);
// announcements reach the creating thread when it processes its messages. A
// device that goes away while open is closed, with closed announced and its
// reason kept as the last error, by the next thread that uses the transport.
// The component is driven as a byte port by the transport contract every
// transport shares (transport/uBytePort.h).
class TSerialPortInterface : public TSerialPortCoreInterface {
 public:
  // Input queue request and output ring, in bytes.
  static constexpr std::int32_t kBufferSize = 10000000;

  explicit TSerialPortInterface(const std::string& connectionString = std::string());
  TSerialPortInterface(TXmlNode node, TIntf<IInterface> owner);
  ~TSerialPortInterface() override;

  void BeforeDestruction() override;

  bool GetActive() override;
  // False, with the reason as the last error, when the port cannot be opened.
  bool Open() override;
  bool Close(bool force) override;
  // Only fills the output ring (with rts direction control: returns once the
  // bytes have left the line); 0 when the port is closed or the ring full.
  std::int32_t Write(const TBytes& data) override;
  void Read(TBytes& data) override;
  std::int32_t GetReceivedCount() override;
  // Returns as soon as bytes wait in the tty's input queue.
  bool WaitReceived(std::int32_t timeout) override;
  void SetPermitted(bool permitted) override;
  std::string GetDescription() override;
  // No configuration dialog exists on this platform.
  bool HasSetupDialog() override { return false; }
  bool ShowSetupDialog() override;
  std::string GetConnectionString() override;
  void SetConnectionString(const std::string& text) override;
  void PurgeIn() override;
  void PurgeOut() override;

  std::int32_t GetBaudRate() override;
  // Takes the rate to the port (at once when open) and keeps the character
  // time at ten bit times, so exchange deadlines fit the line speed. A rate
  // an open line refuses raises EAfComPortCoreError; the character time
  // then stays that of the rate the line has.
  void SetBaudRate(std::int32_t baudRate) override;
  bool GetRTS() override;
  void SetRTS(bool raised) override;
  bool GetDTR() override;
  void SetDTR(bool raised) override;
  bool GetCTS() override;
  bool GetDSR() override;
  std::int32_t GetStopBits() override;
  void SetStopBits(std::int32_t stopBits) override;
  std::int32_t GetParity() override;
  void SetParity(std::int32_t parity) override;
  std::int32_t GetDataBits() override;
  void SetDataBits(std::int32_t dataBits) override;
  std::int32_t GetOutBufSize() override;
  void SetOutBufSize(std::int32_t size) override;
  std::int32_t GetInBufSize() override;
  void SetInBufSize(std::int32_t size) override;

  // COM<n>; an open port is closed and opened again on a new number.
  std::int32_t GetComPort();
  void SetComPort(std::int32_t port);

 private:
  void AttachHandlers();
  void AnnounceLine(std::int32_t line, int modemLine);

  std::shared_ptr<TAfComPort> FPort;
  std::unique_ptr<TSerialBytePort> FBytePort;
  std::unique_ptr<TPortLink> FLink;
  std::int32_t FComPort = 0;  // under the transport lock
  std::string FPortName;      // under the transport lock
};

// The transport class registered under "SERIAL_PORT".
TIntf<ICommunicationInterface> CreateSerialPortInterface(const std::string& connectionString);
