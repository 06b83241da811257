// The console program's standard output and standard error as C++ streams
// written straight into the C library's stdout and stderr. The program does
// not take <iostream>: its eight standard streams and their set-up at every
// start were a measurable part of a short run.
#pragma once

#include <ostream>

// Standard output: unbuffered here, so that its order against the C
// library's own writes stays as written; stdout's buffer flushes at exit.
std::ostream& ConsoleOut();

// Standard error; each write flushes standard output first.
std::ostream& ConsoleErr();
