#include "platform/c_numbers.h"

#include <charconv>
#include <climits>
#include <cstring>
#include <limits>
#include <system_error>

#if !defined(_WIN32)
#include <locale.h>
#include <stdlib.h>
#if defined(__APPLE__)
#include <xlocale.h>
#endif
#endif

namespace platform {
namespace {

bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }

// Whether the number at p, which a float cannot hold, is too large (rather than too small): the
// power of its radix of its first significant digit, plus its exponent, decides, since a float's
// range leaves no doubt between the two.
bool TooLarge(const char *p, bool hex) {
  auto digit = hex ? IsHexDigit : IsDigit;
  long position = 0;
  while (*p == '0') ++p;
  if (digit(*p)) {
    while (digit(*p)) {
      ++p;
      ++position;
    }
    if (*p == '.') ++p;
    while (digit(*p)) ++p;
  } else if (*p == '.') {
    ++p;
    while (*p == '0') {
      ++p;
      --position;
    }
    while (digit(*p)) ++p;
  }
  long exponent = 0;
  if ((*p | 0x20) == (hex ? 'p' : 'e')) {
    ++p;
    const bool below = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    for (; IsDigit(*p); ++p)
      if (exponent < 100000000) exponent = exponent * 10 + (*p - '0');
    if (below) exponent = -exponent;
  }
  return (hex ? position * 4 : position) + exponent > 0;
}

}  // namespace

float ReadFloatLocaleFree(const char *text) {
  const char *p = text;
  while (IsCSpace(*p)) ++p;
  bool negative = false;
  if (*p == '-' || *p == '+') negative = *p++ == '-';
  // The sign is taken: what follows must be the number itself.
  if (*p == '-' || *p == '+') return 0.0f;
  const char *const end = p + std::strlen(p);
  float value = 0.0f;
  bool hex = false;
  std::from_chars_result r;
  if (p[0] == '0' && (p[1] | 0x20) == 'x' && (IsHexDigit(p[2]) || (p[2] == '.' && IsHexDigit(p[3])))) {
    hex = true;
    p += 2;
    // The number's own extent: the reader may take a malformed exponent ("p+-9") as one.
    const char *q = p;
    while (IsHexDigit(*q)) ++q;
    if (*q == '.') ++q;
    while (IsHexDigit(*q)) ++q;
    if ((*q | 0x20) == 'p') {
      const char *e = q + 1;
      if (*e == '+' || *e == '-') ++e;
      if (IsDigit(*e)) {
        while (IsDigit(*e)) ++e;
        q = e;
      }
    }
    r = std::from_chars(p, q, value, std::chars_format::hex);
  } else {
    r = std::from_chars(p, end, value, std::chars_format::general);
  }
  if (r.ec == std::errc::result_out_of_range)
    value = TooLarge(p, hex) ? std::numeric_limits<float>::infinity() : 0.0f;
  else if (r.ec != std::errc())
    return 0.0f;  // no number: a lone sign reads as nothing
  return negative ? -value : value;
}

long ReadLongLocaleFree(const char *text) {
  const char *p = text;
  while (IsCSpace(*p)) ++p;
  bool negative = false;
  if (*p == '-' || *p == '+') negative = *p++ == '-';
  unsigned long magnitude = 0;
  const unsigned long limit = negative ? 0ul - static_cast<unsigned long>(LONG_MIN) : static_cast<unsigned long>(LONG_MAX);
  for (; IsDigit(*p); ++p) {
    const unsigned long d = static_cast<unsigned long>(*p - '0');
    magnitude = magnitude > (limit - d) / 10 ? limit : magnitude * 10 + d;
  }
  if (negative) return magnitude == limit ? LONG_MIN : -static_cast<long>(magnitude);
  return static_cast<long>(magnitude);
}

const char *FindBytes(const char *data, size_t length, const char *needle, size_t needleLength) {
#if defined(_WIN32)
  if (needleLength == 0) return data;
  for (size_t i = 0; i + needleLength <= length; ++i) {
    const void *first = std::memchr(data + i, needle[0], length - needleLength + 1 - i);
    if (first == nullptr) return nullptr;
    i = size_t(static_cast<const char *>(first) - data);
    if (std::memcmp(data + i, needle, needleLength) == 0) return data + i;
  }
  return nullptr;
#else
  return static_cast<const char *>(memmem(data, length, needle, needleLength));
#endif
}

#if defined(_WIN32)

// The C runtime's strtof follows the process's locale, and its locale-taking variant reads no
// hexadecimal, "nan" or "inf": the portable reader does the work.
float CStrToFloat(const char *text) { return ReadFloatLocaleFree(text); }

long CStrToLong(const char *text) { return ReadLongLocaleFree(text); }

#else

namespace {
// The C locale as an object: glibc hands out its static one for "C" with every category, nothing
// to free.
locale_t CLocale() {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(0));
  return c;
}
}  // namespace

float CStrToFloat(const char *text) { return strtof_l(text, nullptr, CLocale()); }
long CStrToLong(const char *text) { return strtol_l(text, nullptr, 10, CLocale()); }

#endif

}  // namespace platform
