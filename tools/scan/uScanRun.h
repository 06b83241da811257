// One run of the bus scan program: from the command line to the exit code.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// Runs the scan on `args` (after the program name): module lines and the
// run's own lines on `out`, collisions and failures on `err`. Returns the
// number of modules found, -1 after help, a bad range or when the connection
// cannot be made or is lost.
int RunVeltoScan(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// An identification as one output line shows it: every control character
// (a line break or a tab in the text could pass for lines or fields of its
// own) becomes ".".
std::string ScanPrintable(const std::string& text);
