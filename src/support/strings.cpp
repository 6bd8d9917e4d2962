#include "support/strings.h"

#include <charconv>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

// std::to_chars gives the same text as "%d" and "%.9g" (its general format with a precision is
// defined as printf's), without the format parsing: the position line formats 42 numbers a frame.

void AddIntToString(std::string &s, const char *prefix, int value) {
  char buf[30];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  s += prefix;
  s.append(buf, size_t(r.ptr - buf));
}

void AddFloatToString(std::string &s, const char *prefix, float value) {
  char buf[30];
  auto r = std::to_chars(buf, buf + sizeof buf, static_cast<double>(value), std::chars_format::general, 9);
  s += prefix;
  s.append(buf, size_t(r.ptr - buf));
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
