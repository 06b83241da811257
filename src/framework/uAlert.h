// Alerts of the device engine ("SIG stack overload", "e1", "e2"): conditions a
// user should see although the operation goes on. Each is one line on standard
// error, prefixed with the program name; standard output stays the run's own.
#pragma once

#include <functional>
#include <string>

// Reports `text` to the user and returns; never throws.
void Alert(const std::string& text);

// Where alerts go instead of standard error (tests watch them here); an empty
// sink restores standard error. Returns the sink that was set before.
using TAlertSink = std::function<void(const std::string& text)>;
TAlertSink SetAlertSink(TAlertSink sink);
