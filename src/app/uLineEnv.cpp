#include "app/uLineEnv.h"

#include <cstdlib>

#include "framework/uStrUtils.h"
#include "transport/serial/AfLineDirection.h"
#include "transport/uConnectionString.h"

namespace {

const char* SystemGetenv(const char* name) {
  return std::getenv(name);
}

// A day: longer is surely a slip of the keyboard.
constexpr std::int32_t kMaxPortWaitMs = 24 * 60 * 60 * 1000;

}  // namespace

bool AddLineEnvironment(std::string& connection, std::string& problem,
                        const char* (*getenv)(const char*)) {
  if (getenv == nullptr) getenv = &SystemGetenv;
  std::string provider;
  if (!FindConnectionValue(connection, "provider", provider)) return true;
  const bool serial = UpperCase(provider) == "SERIAL_PORT";
  // A USB adapter waits on the kernel's path; the D2XX path has no holders to wait for.
  if (!serial && UpperCase(provider) != "FTD_USB") return true;
  std::int32_t wait = static_cast<std::int32_t>(kDefaultPortWaitMs);
  if (const char* text = getenv("VELTO_PORT_WAIT_MS"); text != nullptr && *text != '\0') {
    if (!TryParseInt(text, wait) || wait < 0 || wait > kMaxPortWaitMs) {
      problem = std::string("VELTO_PORT_WAIT_MS: '") + text +
                "' is not a number of milliseconds from 0 to " + std::to_string(kMaxPortWaitMs);
      return false;
    }
  }
  TAfDirectionSettings direction;
  const char* directionText = serial ? getenv("VELTO_RS485") : nullptr;
  if (const char* text = directionText; text != nullptr && *text != '\0') {
    if (!ParseDirection(text, direction)) {
      problem = std::string("VELTO_RS485: '") + text +
                "' is not off, kernel or rts (optionally with :BEFORE:AFTER milliseconds)";
      return false;
    }
  }
  connection += ";portwait=" + std::to_string(wait);
  if (direction.Mode != TAfDirectionMode::Off) connection += ";rs485=" + DirectionText(direction);
  return true;
}
