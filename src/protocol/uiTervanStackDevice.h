// A protocol device: one module at one address on a stack. Besides the engine
// hooks it offers the instructions every module of the protocol understands.
#pragma once

#include <cstdint>
#include <string>

#include "framework/uBytes.h"
#include "framework/uiNodedInterface.h"
#include "protocol/uTervan97.h"

class ITervanStack;

class ITervanStackDevice : public virtual INodedInterfaceCore {
 public:
  static constexpr TGUID IID = GuidLiteral("{B4371527-2102-41A1-9BBD-52521EC54798}");

  virtual TIntf<ITervanStack> GetStack() = 0;
  // Attaches to / detaches from a stack; the stack's side follows.
  virtual void SetStack(TIntf<ITervanStack> stack) = 0;
  virtual std::uint8_t GetAddress() = 0;
  // Changes only the address requests are sent to; nothing is sent.
  virtual void SetAddress(std::uint8_t address) = 0;
  // Called by the stack's receive path for every packet addressed to this device.
  virtual void ProcessPacket(const TTervanFormat97& packet) = 0;

  // Instructions common to every module; each waits for its answer and is true
  // only for an answer with acknowledge code 0.
  virtual bool SendE3() = 0;
  // Identification text split into name, version and extra part.
  virtual bool ReadType() = 0;
  virtual bool ReadByteF1(std::uint8_t& value) = 0;
  virtual bool WriteByteE1(std::uint8_t value) = 0;
  virtual bool ReadTextF2(std::string& text) = 0;
  virtual bool WriteTextE2(const std::string& text) = 0;
  virtual bool ReadTypeText(std::string& text) = 0;
  virtual bool ReadFlagFE(bool& flag) = 0;
  virtual bool WriteFlagEE(bool flag) = 0;
  virtual bool ReadValuesFA(std::uint16_t& first, std::uint16_t& second, std::uint32_t& third) = 0;
  virtual bool ReadAddress(std::uint8_t& address) = 0;
  virtual bool ChangeAddress(std::uint8_t newAddress) = 0;
  virtual bool ChangeAddressEB(std::uint16_t first, std::uint16_t second,
                               std::uint8_t newAddress) = 0;
  // `baud` in bits per second (0 for a code the table does not know).
  virtual bool ReadCommParams(std::uint8_t& address, std::int32_t& baud) = 0;
  // Raises std::invalid_argument for a rate the table does not know.
  virtual bool WriteCommParams(std::uint8_t address, std::int32_t baud) = 0;
  virtual bool SendE4() = 0;

  // A waiting exchange of any instruction: true when an answer came, whatever
  // its acknowledge code (then `ack` and `answerData` are written). A negative
  // `timeout` means the device's default.
  virtual bool ExecuteWaiting(std::uint8_t inst, const TBytes& data, std::int32_t timeout,
                              std::uint8_t& ack, TBytes& answerData) = 0;
  // Outcome of the last exchange: 0 none, 1 acknowledged, 2 no answer,
  // 3 answer failed its check, 4 refused (non-zero acknowledge code).
  virtual std::uint8_t GetLastResult() = 0;
  virtual void ResetLastResult() = 0;
  // Acknowledge code of the last answer; -1 when none.
  virtual std::int32_t GetLastAck() = 0;
  // 0: signatures are allocated; any other value: every request carries it.
  virtual void SetFixedSig(std::uint8_t sig) = 0;
  virtual std::uint8_t GetFixedSig() = 0;
  // Default time-out of an exchange in milliseconds.
  virtual void SetTimeout(std::int32_t timeout) = 0;
};

// Codes of GetLastResult.
namespace tervan {
constexpr std::uint8_t kResultNone = 0;
constexpr std::uint8_t kResultAck = 1;
constexpr std::uint8_t kResultNoAnswer = 2;
constexpr std::uint8_t kResultBadAnswer = 3;
constexpr std::uint8_t kResultRefused = 4;
}  // namespace tervan
