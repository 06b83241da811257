// Base class of every protocol device: the request/response engine with its
// 256 signature slots, the routing of received packets, and the instructions
// common to every module.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "framework/uBytes.h"
#include "framework/uiNodedInterface.h"
#include "protocol/uTervan97.h"
#include "protocol/uTervanClock.h"
#include "protocol/uiTervanStack.h"
#include "protocol/uiTervanStackDevice.h"

// Run when the answer to an unwaited request arrives: (request as sent, answer).
using TTervanAnswerCallback =
    std::function<void(const TTervanFormat97& request, const TTervanFormat97& answer)>;

// One signature slot: an outstanding request.
struct TTervanStackItemSIG {
  bool Free = true;
  std::uint8_t INST = 0;
  double Taken = 0.0;          // wall-clock time the slot was taken (days)
  std::uint32_t Deadline = 0;  // tick after which the slot counts as free
  TTervanFormat97 Answer;
  TTervanAnswerCallback Callback;
  TTervanFormat97 Request;  // stored only for a request with a callback
};

class TTervanStackDevice : public TNodedInterface, public virtual ITervanStackDevice {
 public:
  static constexpr std::int32_t kDefaultTimeout = 1000;
  static constexpr std::int32_t kE4Timeout = 500;
  // A waiting request that got no answer keeps its signature this many of its
  // time-outs (and at least kMinGraceMs), so that a late answer is not taken
  // for the answer to a later request.
  static constexpr std::uint32_t kGraceTimeouts = 10;
  static constexpr std::uint32_t kMinGraceMs = 10000;

  explicit TTervanStackDevice(std::uint8_t address);
  TTervanStackDevice(const std::string& guid, std::uint8_t address);
  // Address 0xFE until the node says otherwise; attaches to an owner that is a stack.
  TTervanStackDevice(TXmlNode node, TIntf<IInterface> owner);
  ~TTervanStackDevice() override;

  HRESULT QueryInterface(const TGUID& iid, void** obj) override;
  void AfterConstruction() override;
  void BeforeDestruction() override;

  // Settings node: "ADR" and "fixedSIG" besides the noded ones. The GUID is
  // never reloaded, whatever the flags say.
  void LoadFromNode(TXmlNode node, bool setNode, bool reloadGUID) override;
  void SaveToNode() override;

  // ITervanStackDevice
  TIntf<ITervanStack> GetStack() override;
  void SetStack(TIntf<ITervanStack> stack) override;
  std::uint8_t GetAddress() override { return FAddress.load(); }
  void SetAddress(std::uint8_t address) override { FAddress.store(address); }
  void ProcessPacket(const TTervanFormat97& packet) override;
  bool SendE3() override;
  bool ReadType() override;
  bool ReadByteF1(std::uint8_t& value) override;
  bool WriteByteE1(std::uint8_t value) override;
  bool ReadTextF2(std::string& text) override;
  bool WriteTextE2(const std::string& text) override;
  bool ReadTypeText(std::string& text) override;
  bool ReadFlagFE(bool& flag) override;
  bool WriteFlagEE(bool flag) override;
  bool ReadValuesFA(std::uint16_t& first, std::uint16_t& second, std::uint32_t& third) override;
  bool ReadAddress(std::uint8_t& address) override;
  bool ChangeAddress(std::uint8_t newAddress) override;
  bool ChangeAddressEB(std::uint16_t first, std::uint16_t second, std::uint8_t newAddress) override;
  bool ReadCommParams(std::uint8_t& address, std::int32_t& baud) override;
  bool WriteCommParams(std::uint8_t address, std::int32_t baud) override;
  bool SendE4() override;
  bool ExecuteWaiting(std::uint8_t inst, const TBytes& data, std::int32_t timeout,
                      std::uint8_t& ack, TBytes& answerData) override;
  std::uint8_t GetLastResult() override { return FLastResult.load(); }
  void ResetLastResult() override;
  std::int32_t GetLastAck() override { return FLastAck.load(); }
  void SetFixedSig(std::uint8_t sig) override { FFixedSig.store(sig); }
  std::uint8_t GetFixedSig() override { return FFixedSig.load(); }
  void SetTimeout(std::int32_t timeout) override { FTimeout.store(timeout); }

  std::int32_t GetTimeout() const { return FTimeout.load(); }
  virtual void SetLastResult(std::uint8_t result) { FLastResult.store(result); }
  virtual void SetLastAck(std::int32_t ack) { FLastAck.store(ack); }

  // The engine. One exchange sends one packet and never repeats it.
  // Waiting: true when an answer came (whatever its acknowledge code), which is
  // then in `answer`. Not waiting: the result of the send; the slot stays
  // taken until the answer runs `callback` or its deadline passes.
  // A negative `timeout` means the device's default. A failing transport ends
  // the exchange as failed (last result 2); data too long for one packet
  // raises ETervanPacketError before anything is sent.
  bool Exchange(std::uint8_t inst, const TBytes& data, bool wait, std::int32_t timeout,
                const TTervanAnswerCallback& callback, TTervanFormat97& answer);
  // Exchange, true only when it succeeded and, when waiting, the answer's
  // acknowledge code is 0; `ack` and `answerData` are written only then.
  bool Execute(std::uint8_t inst, const TBytes& data, const TTervanAnswerCallback& callback,
               bool wait, std::int32_t timeout, std::uint8_t& ack, TBytes& answerData);
  bool Execute(std::uint8_t inst, const TBytes& data, const TTervanAnswerCallback& callback,
               bool wait, std::int32_t timeout, TBytes& answerData);
  bool Execute(std::uint8_t inst, const TBytes& data, const TTervanAnswerCallback& callback,
               bool wait, std::int32_t timeout);
  bool Execute(std::uint8_t inst, const TTervanAnswerCallback& callback, bool wait,
               std::int32_t timeout);
  // The two forms of Execute that mean something. AskAndWait sends and waits:
  // true only when the answer came with acknowledge code 0, whose data is
  // then in `answerData`. Post sends and does not wait: true when the request
  // left; the answer, when it comes, runs `callback`.
  bool AskAndWait(std::uint8_t inst, const TBytes& data = {}, std::int32_t timeout = -1);
  bool AskAndWait(std::uint8_t inst, const TBytes& data, TBytes& answerData,
                  std::int32_t timeout = -1);
  bool Post(std::uint8_t inst, const TBytes& data = {}, std::int32_t timeout = -1,
            const TTervanAnswerCallback& callback = {});

  // Takes a signature slot (or returns the fixed signature untaken); while
  // all 256 are taken it waits, the table unlocked, until an answer or a
  // deadline frees one.
  std::uint8_t AllocateSig(std::uint8_t inst, std::int32_t timeout);
  void ReleaseSig(std::uint8_t sig);
  // Copy of a slot as it is now.
  TTervanStackItemSIG SigItem(std::uint8_t sig);
  // The slot is held for a late answer to a waiting request that timed out.
  bool SigInGrace(std::uint8_t sig);
  // The clock of the signature slots' deadlines. Set it before the device is
  // used; an empty source means the system's tick.
  void SetTickSource(TTickFunction source) { FTickSource = std::move(source); }

  // What the last identification read gave (ReadType).
  std::string GetTypeVersion();
  std::string GetTypeExtra();
  bool GetTypeRead() const { return FTypeRead.load(); }
  // The one-byte setting last read (ReadByteF1) or written (WriteByteE1).
  std::uint8_t GetValueF1() const { return FValueF1.load(); }

  // Address of an "ADR" settings text: one character stands for its code,
  // "#" and a whole number for that number's low byte, anything else for 0.
  static std::uint8_t AddressFromText(const std::string& text);

  // Answers (acknowledge codes below 6) and notifications (12..15), as routed
  // by ProcessPacket; the device classes replace ProcessNotification.
  virtual void ProcessAnswer(const TTervanFormat97& packet);
  virtual void ProcessNotification(const TTervanFormat97& packet);

 private:
  std::uint32_t Now() const { return FTickSource ? FTickSource() : GetTickCount32(); }
  bool SlotAvailable(const TTervanStackItemSIG& slot, std::uint32_t now) const;
  // AllocateSig that also tells which taking of the slot this is and whether
  // the signature is the fixed one (no slot taken). With `rotate` the next
  // search starts after the slot taken.
  std::uint8_t TakeSig(std::uint8_t inst, std::int32_t timeout, bool rotate, std::uint32_t& turn,
                       bool& fixed);
  // When no slot is available, the slot held for grace the longest (the
  // first to end its grace), or -1 when none is (caller holds FSigLock).
  int GraceSlotToReuse(std::uint32_t now) const;
  // An available slot from where the last search ended, else a slot held
  // for grace, else -1 (caller holds FSigLock).
  int FindSlotLocked(std::uint32_t now) const;
  void ReleaseSigLocked(std::uint8_t sig);
  // Keeps the slot of a waiting request that got no answer taken for its
  // grace period, unless its answer came meanwhile or it was taken again.
  void HoldForGrace(std::uint8_t sig, std::uint32_t turn, std::int32_t timeout);
  // Frees the slot unless it was taken again after `turn` (a stale slot may be
  // reused while its first request is still being finished).
  void ReleaseSigTaken(std::uint8_t sig, std::uint32_t turn);
  void DeviceLoadFromNode(const TXmlNode& node);
  void DeviceSaveToNode();
  bool ExchangeWaiting(ITervanStack& stack, std::uint8_t inst, const TBytes& data,
                       std::int32_t timeout, TTervanFormat97& answer);
  bool ExchangeUnwaited(ITervanStack& stack, std::uint8_t inst, const TBytes& data,
                        std::int32_t timeout, const TTervanAnswerCallback& callback,
                        TTervanFormat97& answer);
  bool ReadF0(TBytes& answerData);

  std::atomic<std::int32_t> FTimeout{kDefaultTimeout};
  std::uint8_t FNextSig = 0;  // guarded by FSigLock
  // Never held across a call that leaves the engine (a transport, a callback,
  // an alert) nor while a search waits.
  std::mutex FSigLock;
  std::condition_variable FSigFreed;  // a slot was released or went into grace
  std::atomic<std::uint8_t> FAddress{0};
  // A signature slot with the engine's own marks on it.
  struct TSigSlot {
    TTervanStackItemSIG Item;
    // When it was taken; SigItem turns it into the slot's Taken date, so that
    // an exchange does not pay for reading the time zone.
    timespec TakenAt{};
    std::uint32_t Turn = 0;  // takings of the slot
    bool Grace = false;      // held for a late answer
    bool Answered = false;   // its answer's callback is running
  };
  static constexpr std::size_t kSigBlockSize = 16;
  using TSigBlock = std::array<TSigSlot, kSigBlockSize>;
  // The slots in blocks made at their first taking: a device that makes a few
  // requests in its life does not carry (and clear) all 256. Caller holds FSigLock.
  const TSigSlot& SlotLocked(std::uint8_t sig) const;
  TSigSlot& TakenSlotLocked(std::uint8_t sig);  // makes its block
  std::array<std::unique_ptr<TSigBlock>, 256 / kSigBlockSize> FSigBlocks;  // guarded by FSigLock
  TTickFunction FTickSource;             // set before use
  std::mutex FStackLock;                 // guards FStack (never held across calls)
  TIntf<ITervanStack> FStack;
  std::mutex FTypeLock;  // guards the two texts below
  std::string FTypeVersion;
  std::string FTypeExtra;
  std::atomic<bool> FTypeRead{false};
  std::atomic<std::uint8_t> FValueF1{0};
  std::atomic<std::uint8_t> FLastResult{tervan::kResultNone};
  std::atomic<std::int32_t> FLastAck{-1};
  std::atomic<std::uint8_t> FFixedSig{0};
};
