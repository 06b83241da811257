#include "app/uHelp.h"

#include <algorithm>
#include <string_view>

#include "app/uConsoleColor.h"
#include "app/uTextOut.h"

namespace {

// Lines written as they stand.
void Plain(TTextOut& out, std::string_view line) {
  out << line << '\n';
}

// Lines padded with blanks to the full width (one console row without the
// last column, so no line wraps on an 80-column console).
// The blanks go out in one write: one stream call per blank cost more than
// the rest of the help together.
void Padded(TTextOut& out, std::string_view line) {
  static constexpr auto kWidth = static_cast<std::size_t>(kHelpLineWidth);
  static constexpr std::string_view kBlanks =
      "                                                                                ";
  static_assert(kBlanks.size() >= kWidth);
  out << line << kBlanks.substr(0, kWidth - std::min(line.size(), kWidth)) << '\n';
}

}  // namespace

void PrintHelp(TTextOut& out, bool colour) {
  Plain(out, "");
  SetConsoleTextColor(out, kConsoleGreenOnBlack, colour);
  Plain(out, "  VELTO console - Marvik");
  Plain(out, "  -----------------------------");
  SetConsoleTextColor(out, kConsoleLightGreyOnBlack, colour);
  Plain(out, "");
  Plain(out, "  VeltoConsole.exe");
  Plain(out, "");
  Padded(out, "   /? or /help");
  Padded(out, "           - Show this help.");
  Padded(out, "");
  Padded(out, "   /COM=[N]:[BAUDRATE]");
  Padded(out, "           - Set device connection to serial port COM [N] with");
  Padded(out, "             baudrate [BAUDRATE].");
  Padded(out, "");
  Padded(out, "   /TCP=[IP]:[PORT]");
  Padded(out, "           - Set device connection to TCP with IP address [IP] and port [PORT].");
  Padded(out, "");
  Padded(out, "   /Address=[ADDRESS]");
  Padded(out, "           - Set Tervan device address. [ADDRESS] can be defined by ASCII");
  Padded(out, "             character or by symbol # and number from 0 to 255");
  Padded(out, "             (For example: 1 = #49 = #$31 (hex))");
  Padded(out, "");
  Padded(out, "   /Out[N]=[VALUE]:[TIME]s");
  Padded(out, "           - Set Velto output number [N] to state [VALUE] to delay [TIME].");
  Padded(out, "             if [TIME]=0, then the state is permanent.");
  Padded(out, "");
  Padded(out, "   /ErrorCode=In[N1],In[N2],...,In[N8]");
  Padded(out, "           - Read states of selected inputs and send it as an ErrorCode. Inputs");
  Padded(out, "             states are returned as a byte where each bit correspond to");
  Padded(out, "             concrete input. N1 corresponds to lowest bit, N8 corresponds to");
  Padded(out, "             highest bit.");
  Padded(out, "");
  Padded(out, "   /nolog");
  Padded(out, "           - Disable logging messages.");
  Plain(out, "");
  Plain(out, " Examples:");
  Plain(out, "");
  Padded(out, "VELTOconsole /COM=1:9600 /Address=1 /nolog /Out1=1 /Out2=1 /ErrorCode=In1,In3");
  Padded(out, "VELTOconsole /TCP=192.168.1.254:10001 /Address=#65 /Out3=Off:5s /ErrorCode=In5");
  // Light grey on black is the classic console's own colour, not a terminal's:
  // give the terminal its colours back for whatever runs next.
  ResetConsoleTextColor(out, colour);
}
