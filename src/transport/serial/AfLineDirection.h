// Direction control of a half-duplex line (RS-485): who switches the line's
// driver on for sending and off again for the answer.
//   off    - nobody here: the adapter does it itself, or the line is not shared;
//   kernel - the tty driver, asked once at open (it refuses where the UART or
//            the adapter cannot: the open then fails with its reason);
//   rts    - this program, with the RTS line: raised before a request is
//            written, lowered once the driver reports the last bit sent.
// In every mode a request that drew no answer (its own echo aside) is
// followed by a few character times of silence, so that a late answer does
// not meet the next request on the wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

enum class TAfDirectionMode { Off, Kernel, Rts };

struct TAfDirectionSettings {
  TAfDirectionMode Mode = TAfDirectionMode::Off;
  std::uint32_t BeforeMs = 0;  // driver on, nothing sent yet
  std::uint32_t AfterMs = 0;   // last bit sent, driver still on
  bool operator==(const TAfDirectionSettings&) const = default;
};

// Longest delay either side of a request.
constexpr std::uint32_t kMaxDirectionDelayMs = 1000;
// Character times of silence after a request that drew no answer.
constexpr std::uint32_t kQuietChars = 3;

// "off", "kernel" or "rts" in any letter case, each optionally followed by
// ":BEFORE" or ":BEFORE:AFTER" in milliseconds. False for anything else.
bool ParseDirection(const std::string& text, TAfDirectionSettings& settings);
// The text ParseDirection reads back; delays only when set.
std::string DirectionText(const TAfDirectionSettings& settings);

// The few tty calls direction control makes. Tests put a recorder here.
class IAfDirectionTty {
 public:
  virtual ~IAfDirectionTty() = default;
  // Switches the driver's own direction control on (with the delays) or
  // back off; 0 or the errno of the refusal.
  virtual int SetRs485(int fd, bool enabled, std::uint32_t beforeMs, std::uint32_t afterMs) = 0;
  virtual bool SetRts(int fd, bool raised) = 0;
  // Writes all bytes, waiting at most `timeoutMs` for the driver to take them.
  virtual bool WriteAll(int fd, const std::uint8_t* data, std::size_t n,
                        std::uint32_t timeoutMs) = 0;
  // Returns once the driver has sent everything written (tcdrain).
  virtual bool Drain(int fd) = 0;
  virtual void Pause(std::uint32_t microseconds) = 0;
};

// The real calls.
IAfDirectionTty& SystemDirectionTty();

class TAfLineDirection {
 public:
  explicit TAfLineDirection(IAfDirectionTty& tty = SystemDirectionTty()) : FTty(tty) {}

  void SetSettings(const TAfDirectionSettings& settings) { FSettings = settings; }
  const TAfDirectionSettings& Settings() const { return FSettings; }
  // One character's time on the line in microseconds (0: not known).
  void SetCharTimeUs(std::uint32_t us) { FCharTimeUs = us; }

  // At open, after the line settings: false with the errno of the refusal
  // when the driver does not take its direction control.
  bool Begin(int fd, int& error);
  // After the line settings were applied again (they set RTS as the record
  // says): in rts mode the line goes back to listening.
  void Listen(int fd);
  // At close: the driver's direction control off again.
  void End(int fd);

  // Sends one request. `queue` hands the bytes to the port's writer where
  // the program does not switch the line itself.
  bool Send(int fd, const std::uint8_t* data, std::size_t n, const std::function<bool()>& queue);
  // Bytes came in. The request's own echo (a half-duplex line hears itself)
  // is no answer; anything else is.
  void NoteReceived(const std::uint8_t* data, std::size_t n);

 private:
  IAfDirectionTty& FTty;
  TAfDirectionSettings FSettings;
  std::uint32_t FCharTimeUs = 0;
  bool FKernelOn = false;
  // The last request as far as its echo is looked for, and how much of it
  // has come back; a longer request's echo is not told from an answer.
  static constexpr std::size_t kEchoKeep = 256;
  std::mutex FAnswerLock;  // the request is sent on one thread, read on another
  std::vector<std::uint8_t> FRequest;
  std::size_t FEchoAt = 0;
  bool FAnswered = true;  // nothing sent yet: nothing to wait for
};
