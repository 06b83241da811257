// A directory of a test's own under /tmp, removed with everything in it when
// the test is done (also what a failing test left behind).
#pragma once

#include <string>

class TScratchDir {
 public:
  // "/tmp/<prefix>-XXXXXX", made at once; throws when it cannot be.
  explicit TScratchDir(const std::string& prefix);
  ~TScratchDir();
  TScratchDir(const TScratchDir&) = delete;
  TScratchDir& operator=(const TScratchDir&) = delete;

  const std::string& Path() const { return FPath; }
  // The path of `name` in the directory.
  std::string operator/(const std::string& name) const { return FPath + "/" + name; }

 private:
  std::string FPath;
};
