// The environment's settings for a shared serial line, added to the run's
// connection string: VELTO_PORT_WAIT_MS (how long to wait for a port another
// program holds; default kDefaultPortWaitMs, 0 fails at once) and
// VELTO_RS485 (direction control: off, kernel or rts, optionally
// ":BEFORE:AFTER" in milliseconds). A USB adapter takes the wait (for its
// kernel device) but no direction control; TCP is left as it is.
#pragma once

#include <cstdint>
#include <string>

constexpr std::uint32_t kDefaultPortWaitMs = 10000;

// False with a one-line reason naming the variable when a value is not
// usable; `connection` is then unchanged. `getenv` is replaceable for tests.
bool AddLineEnvironment(std::string& connection, std::string& problem,
                        const char* (*getenv)(const char*) = nullptr);
