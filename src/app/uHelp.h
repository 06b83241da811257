// The help text of the console program.
#pragma once

class TTextOut;

// Width to which the switch descriptions and the examples are padded.
constexpr int kHelpLineWidth = 79;

// Writes the help text to `out`. With `colour` the banner is framed by the
// green and light-grey console colours and the terminal's own colours are
// restored at the end; without it only the text is written.
void PrintHelp(TTextOut& out, bool colour);
