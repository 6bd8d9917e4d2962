#pragma once
// Reads a fuzz input as a sequence of choices and byte strings. Every read succeeds: past the end
// it yields zeros and empty strings, so any input is a valid program for a target.
#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

class Input {
 public:
  Input(const uint8_t *data, size_t size) : p_(data), left_(size) {}

  bool empty() const { return left_ == 0; }
  size_t left() const { return left_; }

  uint8_t Byte() {
    if (left_ == 0) return 0;
    --left_;
    return *p_++;
  }
  uint16_t Word() { return uint16_t(Byte() | (Byte() << 8)); }
  // 0 .. n-1 (n > 0).
  size_t Pick(size_t n) { return n <= 256 ? Byte() % n : Word() % n; }
  bool Flag() { return (Byte() & 1) != 0; }
  // Up to n bytes.
  std::string Bytes(size_t n) {
    size_t take = n < left_ ? n : left_;
    std::string s(reinterpret_cast<const char *>(p_), take);
    p_ += take;
    left_ -= take;
    return s;
  }
  // A string whose length comes first, as one byte.
  std::string ShortString() { return Bytes(Byte()); }
  std::string Rest() { return Bytes(left_); }

 private:
  const uint8_t *p_;
  size_t left_;
};

// Stops the program with a message when an invariant does not hold: libFuzzer records the input
// that led here, and the replay driver fails.
[[noreturn]] void Fail(const char *file, int line, const std::string &what);

}  // namespace fuzz

#define FUZZ_CHECK(cond, what)                                                         \
  do {                                                                                 \
    if (!(cond)) ::fuzz::Fail(__FILE__, __LINE__, std::string(#cond) + ": " + (what)); \
  } while (0)
