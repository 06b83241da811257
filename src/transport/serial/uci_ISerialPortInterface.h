// Serial line settings shared by every transport that has them: the
// interface ISerialPortInterface and the serial-line layer
// TSerialPortCoreInterface, from which the COM-port and the USB adapter
// transports derive.
#pragma once

#include <cstdint>
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
