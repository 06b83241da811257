#include "framework/uErrors.h"

#include <cctype>
#include <cstring>

std::string ReasonText(std::string text) {
  if (!text.empty())
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

std::string ErrnoText(int error) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not be the buffer.
  return ReasonText(strerror_r(error, buffer, sizeof buffer));
}
