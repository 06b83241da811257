#include "app/uStdioStream.h"

#include <cstdio>
#include <streambuf>

namespace {

// Passes every character on to a C stream at once, as the standard streams do
// when they share the C library's buffers.
class TStdioBuf final : public std::streambuf {
 public:
  explicit TStdioBuf(std::FILE* file) : FFile(file) {}

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) {
      return std::fflush(FFile) == 0 ? traits_type::not_eof(c) : traits_type::eof();
    }
    return std::fputc(traits_type::to_char_type(c), FFile) == EOF ? traits_type::eof() : c;
  }

  std::streamsize xsputn(const char* text, std::streamsize count) override {
    if (count <= 0) return 0;
    return static_cast<std::streamsize>(std::fwrite(text, 1, static_cast<std::size_t>(count), FFile));
  }

  int sync() override { return std::fflush(FFile) == 0 ? 0 : -1; }

 private:
  std::FILE* FFile;
};

}  // namespace

// Made at first use and never destroyed, so that a write from a late
// destructor still has a stream; they hold nothing that needs a flush.
std::ostream& ConsoleOut() {
  static TStdioBuf* buffer = new TStdioBuf(stdout);
  static std::ostream* stream = new std::ostream(buffer);
  return *stream;
}

// As with the standard error stream, a write first flushes standard output,
// so that a log taking both keeps their order.
std::ostream& ConsoleErr() {
  static TStdioBuf* buffer = new TStdioBuf(stderr);
  static std::ostream* stream = [] {
    auto* err = new std::ostream(buffer);
    err->tie(&ConsoleOut());
    err->setf(std::ios_base::unitbuf);
    return err;
  }();
  return *stream;
}
