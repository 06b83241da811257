#include "protocol/uTervan.h"

#include "framework/uStrUtils.h"

namespace {

bool InRange(int format) {
  return format >= TTervanFormats::kFirst && format <= TTervanFormats::kLast;
}

char FirstUpper(const std::string& part) {
  return UpperCase(part.substr(0, 1))[0];
}

// Parts of an identification text: ";" and line breaks (CR, LF, CR LF)
// separate; a separator at the very end adds no empty part.
std::vector<std::string> SplitParts(const std::string& text) {
  std::vector<std::string> parts;
  std::string current;
  bool pending = false;  // text (or a separator) since the last part was closed
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ';' || c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      parts.push_back(current);
      current.clear();
      pending = false;
    } else {
      current.push_back(c);
      pending = true;
    }
  }
  if (pending) parts.push_back(current);
  return parts;
}

std::vector<std::string> SplitAll(const std::string& text, char delimiter) {
  std::vector<std::string> pieces;
  std::string current;
  for (char c : text) {
    if (c == delimiter) {
      pieces.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  pieces.push_back(current);
  return pieces;
}

}  // namespace

void TTervanFormats::Add(int format) {
  if (InRange(format)) FBits.set(static_cast<std::size_t>(format - kFirst));
}

bool TTervanFormats::Has(int format) const {
  return InRange(format) && FBits.test(static_cast<std::size_t>(format - kFirst));
}

std::vector<int> TTervanFormats::Members() const {
  std::vector<int> members;
  for (int f = kFirst; f <= kLast; ++f) {
    if (Has(f)) members.push_back(f);
  }
  return members;
}

bool ParseFormats(const std::string& part, TTervanFormats& formats) {
  if (part.empty() || FirstUpper(part) != 'F') return false;
  formats.Clear();
  // Plain substring tests: the module writes its formats in free form
  // ("F97", "F65,97", "F 66/97").
  for (int format : {65, 66, 97}) {
    if (part.find(std::to_string(format)) != std::string::npos) formats.Add(format);
  }
  return true;
}

bool ParseVersion(const std::string& part, TTervanVersion& version) {
  if (part.empty() || FirstUpper(part) != 'V') return false;
  const std::string rest = part.substr(1);
  version.Text = rest.substr(0, 10);
  const std::vector<std::string> pieces = SplitAll(rest, '.');
  if (pieces.size() != 3) return false;
  version.Major = pieces[0].substr(0, 4);
  version.Minor = pieces[1].substr(0, 2);
  version.Release = pieces[2].substr(0, 2);
  return true;
}

bool ParseTervanInfo(const std::string& text, TTervanInfo& info, std::vector<std::string>* extras) {
  info.Raw = text;
  info.Name.clear();
  if (extras != nullptr) extras->clear();

  const std::vector<std::string> parts = SplitParts(text);
  if (parts.size() < 3) return false;

  info.Name = TrimControl(parts[0]);
  bool formatsOk = false;
  bool versionOk = false;
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const std::string part = TrimControl(parts[i]);
    if (part.empty()) continue;
    const char kind = FirstUpper(part);
    if (kind == 'F') {
      formatsOk = ParseFormats(part, info.Formats);
    } else if (kind == 'V') {
      versionOk = ParseVersion(part, info.Version);
    } else if (extras != nullptr) {
      extras->push_back(part);
    }
  }
  return formatsOk && versionOk;
}
