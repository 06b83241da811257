// The error model of the project, written once; every layer follows it.
//
// Transports (TCP, serial, USB) report by result: Open, Close and SetActive
// give false, Write gives 0, Read yields fewer or no bytes. They raise nothing
// from those operations. Why an Open failed or a connection was lost is kept
// as the transport's last error (GetLastError): one line of text that names
// the target and the reason in lower case, for example
//   "127.0.0.1:10001: connection refused"
//   "/dev/ttyUSB0: permission denied (add your user to the group that owns it, usually dialout)"
// A transport sets it where the failure happens (from errno, a look-up error,
// a driver status) and clears it when Open succeeds; it never prints it.
// Exceptions leave a transport only from setters given malformed input a
// caller can check (a connection-string value that does not convert:
// EConvertError, std::invalid_argument) and from the serial engine and
// component (EAfComPortCoreError, EAfComPortError), which the serial
// transport catches in Open and turns into false plus the last error.
//
// The stack and the devices report by result too: Send and Transact give
// false, a device operation gives false and records why in FLastResult /
// FLastAck (0 answered, 1 no answer in time, 2 failed, ...). An exception
// raised beneath an exchange (a transport that throws) ends that exchange as
// failed and is never passed up. Texts are raised only for malformed input a
// caller cannot prevent ("Incorrect PACKET (Tervan format 97)!", "RCV packet
// ADR=$FF !", the owner rule of the stack). Engine conditions a user should
// see while the work goes on ("SIG stack overload", "e1", "e2", a failed
// driver event registration) go through Alert(): one line on standard error.
//
// The main run is the one place that talks to the user. Standard output
// carries exactly the run's own lines ("Connection refused!", ...) and the
// exit code is -1 on every failure. When a failure has a reason a user must
// act on (the transport's last error after a failed Open or a lost
// connection), the run adds one line on standard error: "VeltoConsole: "
// followed by that reason, once, after the run's own lines, also under
// /nolog (it is an error report, not a logging message). Anything raised
// that reaches the run is caught
// there, its objects are taken apart by their destructors, and it becomes
// one standard-error line and -1; nothing escapes main.
//
// catch (...) that drops an error is allowed only around a thread body, in a
// destructor, and around a handler or announcement call (a subscriber's
// failure must not reach the side that announces); each says so in a comment.
// Everywhere else an error is recorded (last error, FLastResult) or reported.
#pragma once

#include <string>

// A system's message as a reason: its first letter in lower case
// ("Name or service not known" -> "name or service not known").
std::string ReasonText(std::string text);

// The reason for an errno value as the standard-error lines give it: the
// system's text in lower case ("connection refused", "no such file or
// directory").
std::string ErrnoText(int error);
