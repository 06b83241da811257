#include "transport/serial/AfLineDirection.h"

#include <algorithm>
#include <limits>

#include "framework/uStrUtils.h"

namespace {

// Time allowed for the driver to take a request, beyond its wire time.
constexpr std::uint32_t kWriteMarginMs = 1000;

bool ParseDelay(const std::string& text, std::uint32_t& ms) {
  std::int32_t value = 0;
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
      !TryParseInt(text, value) || value < 0 ||
      static_cast<std::uint32_t>(value) > kMaxDirectionDelayMs)
    return false;
  ms = static_cast<std::uint32_t>(value);
  return true;
}

}  // namespace

bool ParseDirection(const std::string& text, TAfDirectionSettings& settings) {
  const std::size_t colon = text.find(':');
  const std::string mode = text.substr(0, colon);
  const std::string delays = colon == std::string::npos ? std::string() : text.substr(colon + 1);
  TAfDirectionSettings parsed;
  const std::string upper = UpperCase(mode);
  if (upper == "OFF")
    parsed.Mode = TAfDirectionMode::Off;
  else if (upper == "KERNEL")
    parsed.Mode = TAfDirectionMode::Kernel;
  else if (upper == "RTS")
    parsed.Mode = TAfDirectionMode::Rts;
  else
    return false;
  if (colon != std::string::npos) {
    const std::size_t second = delays.find(':');
    if (!ParseDelay(delays.substr(0, second), parsed.BeforeMs)) return false;
    if (second != std::string::npos && !ParseDelay(delays.substr(second + 1), parsed.AfterMs))
      return false;
  }
  settings = parsed;
  return true;
}

std::string DirectionText(const TAfDirectionSettings& settings) {
  std::string text = settings.Mode == TAfDirectionMode::Kernel ? "kernel"
                     : settings.Mode == TAfDirectionMode::Rts  ? "rts"
                                                               : "off";
  if (settings.BeforeMs != 0 || settings.AfterMs != 0)
    text += ":" + std::to_string(settings.BeforeMs) + ":" + std::to_string(settings.AfterMs);
  return text;
}

void TAfLineDirection::NoteReceived(const std::uint8_t* data, std::size_t n) {
  std::lock_guard<std::mutex> guard(FAnswerLock);
  for (std::size_t i = 0; i < n && !FAnswered; ++i) {
    if (FEchoAt < FRequest.size() && data[i] == FRequest[FEchoAt])
      ++FEchoAt;
    else
      FAnswered = true;
  }
}

bool TAfLineDirection::Begin(int fd, int& error) {
  {
    std::lock_guard<std::mutex> guard(FAnswerLock);
    FAnswered = true;
  }
  FKernelOn = false;
  switch (FSettings.Mode) {
    case TAfDirectionMode::Off:
      return true;
    case TAfDirectionMode::Kernel: {
      error = FTty.SetRs485(fd, true, FSettings.BeforeMs, FSettings.AfterMs);
      if (error != 0) return false;
      FKernelOn = true;
      return true;
    }
    case TAfDirectionMode::Rts:
      // Listening until there is something to send.
      FTty.SetRts(fd, false);
      return true;
  }
  return true;
}

void TAfLineDirection::Listen(int fd) {
  if (FSettings.Mode == TAfDirectionMode::Rts) FTty.SetRts(fd, false);
}

void TAfLineDirection::End(int fd) {
  if (FKernelOn) FTty.SetRs485(fd, false, 0, 0);
  FKernelOn = false;
}

bool TAfLineDirection::Send(int fd, const std::uint8_t* data, std::size_t n,
                            const std::function<bool()>& queue) {
  bool answered = true;
  {
    std::lock_guard<std::mutex> guard(FAnswerLock);
    answered = FAnswered;
    FAnswered = false;
    FRequest.assign(data, data + (n <= kEchoKeep ? n : 0));
    FEchoAt = 0;
  }
  if (!answered && FCharTimeUs > 0) FTty.Pause(kQuietChars * FCharTimeUs);
  if (FSettings.Mode != TAfDirectionMode::Rts) return queue();
  if (!FTty.SetRts(fd, true)) return false;
  if (FSettings.BeforeMs > 0) FTty.Pause(FSettings.BeforeMs * 1000);
  const std::uint64_t wireMs = (static_cast<std::uint64_t>(FCharTimeUs) * n + 999) / 1000;
  const auto timeoutMs = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(wireMs * 2 + kWriteMarginMs,
                              std::numeric_limits<std::uint32_t>::max()));
  bool sent = FTty.WriteAll(fd, data, n, timeoutMs);
  // Whatever was taken is sent before the line turns round.
  sent = FTty.Drain(fd) && sent;
  if (FSettings.AfterMs > 0) FTty.Pause(FSettings.AfterMs * 1000);
  sent = FTty.SetRts(fd, false) && sent;
  return sent;
}
