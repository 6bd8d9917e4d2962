// Every float's "%.9g" text against WriteFloatText, and that text read back by ReadFloatText
// against strtof. Not a benchmark and too slow for the test suite (about half an hour on one
// core): run_all.sh runs it when FLOAT_TEXT_CHECK=1.
//
//   float_text_check [FIRST [END [STEP]]]   bit patterns FIRST <= b < END (default: all 2^32)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "support/strings.h"

int main(int argc, char **argv) {
  const uint64_t first = argc > 1 ? std::strtoull(argv[1], nullptr, 0) : 0;
  const uint64_t end = argc > 2 ? std::strtoull(argv[2], nullptr, 0) : (uint64_t(1) << 32);
  const uint64_t step = argc > 3 ? std::strtoull(argv[3], nullptr, 0) : 1;
  uint64_t checked = 0, wrongText = 0, wrongRead = 0;
  for (uint64_t b = first; b < end; b += step) {
    const uint32_t bits = uint32_t(b);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    char want[64], got[kNumberTextMax];
    const int n = std::snprintf(want, sizeof want, "%.9g", double(v));
    const char *e = WriteFloatText(got, v);
    if (e - got != n || std::memcmp(want, got, size_t(n)) != 0) {
      if (wrongText++ < 10) std::printf("text of %08x: %s, written %.*s\n", bits, want, int(e - got), got);
    }
    const float ours = ReadFloatText(std::string_view(want, size_t(n)));
    const float theirs = std::strtof(want, nullptr);
    if (std::memcmp(&ours, &theirs, sizeof ours) != 0 && !(ours != ours && theirs != theirs)) {
      if (wrongRead++ < 10) std::printf("reading %s: %a, strtof %a\n", want, double(ours), double(theirs));
    }
    ++checked;
  }
  std::printf("checked %llu floats: %llu texts differ from printf, %llu reads differ from strtof\n",
              static_cast<unsigned long long>(checked), static_cast<unsigned long long>(wrongText),
              static_cast<unsigned long long>(wrongRead));
  return wrongText == 0 && wrongRead == 0 ? 0 : 1;
}
