#include <cstdio>
#include <cstdlib>

#include "fuzz_input.h"

namespace fuzz {

void Fail(const char *file, int line, const std::string &what) {
  std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what.c_str());
  std::abort();
}

}  // namespace fuzz
