#include "support/strings.h"

#include <cstdarg>
#include <cstdio>
#include <climits>
#include <cstdlib>

void AddIntToString(std::string &s, const char *prefix, int value) {
  char buf[30];
  std::snprintf(buf, sizeof buf, "%d", value);
  s += prefix;
  s += buf;
}

void AddFloatToString(std::string &s, const char *prefix, float value) {
  char buf[30];
  std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(value));
  s += prefix;
  s += buf;
}

int stringtoi(const std::string &s) {
  long v = std::strtol(s.c_str(), nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return int(v);
}

float stringtof(const std::string &s) { return std::strtof(s.c_str(), nullptr); }

std::string StringPrintf(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  char small[256];
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  std::string out;
  if (n < 0) {
    va_end(ap2);
    return out;
  }
  if (n < int(sizeof small)) {
    out.assign(small, n);
  } else {
    out.resize(n + 1);
    std::vsnprintf(&out[0], n + 1, fmt, ap2);
    out.resize(n);
  }
  va_end(ap2);
  return out;
}
