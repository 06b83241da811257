// The help text as the program must print it, line by line, shared by the
// in-process and the process-level help tests.
#pragma once

#include <string>
#include <vector>

namespace expected_help {

struct Line {
  const char* text;
  bool padded;  // blanks up to 79 characters
};

inline const std::vector<Line>& Lines() {
  static const std::vector<Line> lines = {
      {"", false},
      {"  VELTO console - Marvik", false},
      {"  -----------------------------", false},
      {"", false},
      {"  VeltoConsole.exe", false},
      {"", false},
      {"   /? or /help", true},
      {"           - Show this help.", true},
      {"", true},
      {"   /COM=[N]:[BAUDRATE]", true},
      {"           - Set device connection to serial port COM [N] with", true},
      {"             baudrate [BAUDRATE].", true},
      {"", true},
      {"   /TCP=[IP]:[PORT]", true},
      {"           - Set device connection to TCP with IP address [IP] and port [PORT].", true},
      {"", true},
      {"   /Address=[ADDRESS]", true},
      {"           - Set Tervan device address. [ADDRESS] can be defined by ASCII", true},
      {"             character or by symbol # and number from 0 to 255", true},
      {"             (For example: 1 = #49 = #$31 (hex))", true},
      {"", true},
      {"   /Out[N]=[VALUE]:[TIME]s", true},
      {"           - Set Velto output number [N] to state [VALUE] to delay [TIME].", true},
      {"             if [TIME]=0, then the state is permanent.", true},
      {"", true},
      {"   /ErrorCode=In[N1],In[N2],...,In[N8]", true},
      {"           - Read states of selected inputs and send it as an ErrorCode. Inputs", true},
      {"             states are returned as a byte where each bit correspond to", true},
      {"             concrete input. N1 corresponds to lowest bit, N8 corresponds to", true},
      {"             highest bit.", true},
      {"", true},
      {"   /nolog", true},
      {"           - Disable logging messages.", true},
      {"", false},
      {" Examples:", false},
      {"", false},
      {"VELTOconsole /COM=1:9600 /Address=1 /nolog /Out1=1 /Out2=1 /ErrorCode=In1,In3", true},
      {"VELTOconsole /TCP=192.168.1.254:10001 /Address=#65 /Out3=Off:5s /ErrorCode=In5", true},
  };
  return lines;
}

inline std::string LineText(const Line& line) {
  std::string text = line.text;
  if (line.padded && text.size() < 79) text.append(79 - text.size(), ' ');
  return text + "\n";
}

// The whole text; with colour the banner (lines 2 and 3) is framed by the
// green and light-grey sequences, and the terminal's own colours are restored
// after the last line.
inline std::string Text(bool colour) {
  std::string all;
  const auto& lines = Lines();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (colour && i == 1) all += "\x1b[0;32;40m";
    if (colour && i == 3) all += "\x1b[0;37;40m";
    all += LineText(lines[i]);
  }
  if (colour) all += "\x1b[0m";
  return all;
}

}  // namespace expected_help
