#include "support/strings.h"

#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/c_numbers.h"

// The position line formats 42 numbers a frame and a report reads 40, so both directions have a
// short exact path for the numbers aircraft send, and hand everything else to the library:
// std::to_chars for text (its general format with a precision is printf's "%.9g") and strtof
// for reading. Protocol numbers are C-locale text both ways, whatever LC_NUMERIC the host
// process sets: to_chars ignores the locale, and reading goes through the platform's C-locale
// reader.

namespace {

using u128 = unsigned __int128;

constexpr uint64_t kPow10[20] = {1ull,
                                 10ull,
                                 100ull,
                                 1000ull,
                                 10000ull,
                                 100000ull,
                                 1000000ull,
                                 10000000ull,
                                 100000000ull,
                                 1000000000ull,
                                 10000000000ull,
                                 100000000000ull,
                                 1000000000000ull,
                                 10000000000000ull,
                                 100000000000000ull,
                                 1000000000000000ull,
                                 10000000000000000ull,
                                 100000000000000000ull,
                                 1000000000000000000ull,
                                 10000000000000000000ull};

// 10^n as a 128-bit integer, n up to 38.
struct WidePowers {
  u128 v[39];
  constexpr WidePowers() : v() {
    v[0] = 1;
    for (int i = 1; i < 39; ++i) v[i] = v[i - 1] * 10;
  }
};
constexpr WidePowers kWide;

// floor(m * 2^e2 * 10^p) and how the rest compares with one half (-1 below, 0 equal, 1 above),
// in 128 bits. False when the product does not fit.
[[gnu::noinline]] bool ScaleWide(uint32_t m, int e2, int p, uint64_t &q, int &rest) {
  u128 whole;
  if (e2 >= 0) {
    const u128 v = u128(m) << e2;  // m < 2^24 and e2 <= 104
    if (p >= 0) {
      if (p > 19) return false;
      whole = v * kPow10[p];
      rest = -1;
    } else {
      const u128 d = kWide.v[-p];
      u128 r;
      if ((v >> 64) == 0 && -p < 20) {
        // Values up to 2^64 (seconds since 1970, say) in one 64-bit division.
        whole = uint64_t(v) / uint64_t(d);
        r = uint64_t(v) % uint64_t(d);
      } else {
        whole = v / d;
        r = v % d;
      }
      const u128 r2 = r * 2;
      rest = r2 < d ? -1 : (r2 == d ? 0 : 1);
    }
  } else {
    const int s = -e2;
    if (p < 0 || p > 31 || s >= 127) return false;
    const u128 x = u128(m) * kWide.v[p];  // below 2^128: m < 2^24, 10^31 < 2^104
    whole = x >> s;
    const u128 r = x & ((u128(1) << s) - 1);
    const u128 half = u128(1) << (s - 1);
    rest = r < half ? -1 : (r == half ? 0 : 1);
  }
  if (whole >= kPow10[19]) return false;
  q = uint64_t(whole);
  return true;
}

// The same; values between about 1e-3 and 2^24, most of what aircraft send, in 64 bits, where
// m * 10^p is below 2^24 * 10^11 < 2^64.
inline bool Scale(uint32_t m, int e2, int p, uint64_t &q, int &rest) {
  if (e2 < 0 && e2 > -64 && p >= 0 && p <= 11) {
    const int s = -e2;
    const uint64_t x = uint64_t(m) * kPow10[p];
    q = x >> s;
    const uint64_t r = x & ((uint64_t(1) << s) - 1);
    const uint64_t half = uint64_t(1) << (s - 1);
    rest = r < half ? -1 : (r == half ? 0 : 1);
    return true;
  }
  return ScaleWide(m, e2, p, q, rest);
}

constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The n decimal digits of v (v < 10^n), two at a time.
char *WriteDigits(char *out, uint32_t v, int n) {
  int i = n;
  while (i >= 2) {
    const uint32_t pair = (v % 100) * 2;
    v /= 100;
    i -= 2;
    out[i] = kPairs[pair];
    out[i + 1] = kPairs[pair + 1];
  }
  if (i == 1) out[0] = char('0' + v);
  return out + n;
}

// Reads a run of digits at p into m; returns the end of the run.
const char *ReadDigits(const char *p, const char *end, uint64_t &m) {
  for (unsigned d; p < end && (d = unsigned(*p - '0')) <= 9; ++p) m = m * 10 + d;
  return p;
}

// The "%.9g" text of the nine significant digits in q (10^8 <= q < 10^9) times 10^(x - 8).
char *WriteGeneral(char *out, uint64_t q, int x) {
  int n = 9;
  while (q % 10 == 0) {
    q /= 10;
    --n;
  }
  char d[9] = {};
  WriteDigits(d, uint32_t(q), n);
  if (x < -4 || x >= 9) {
    *out++ = d[0];
    if (n > 1) {
      *out++ = '.';
      std::memcpy(out, d + 1, size_t(n - 1));
      out += n - 1;
    }
    *out++ = 'e';
    *out++ = x < 0 ? '-' : '+';
    const int ax = x < 0 ? -x : x;
    return WriteDigits(out, uint32_t(ax), ax >= 100 ? 3 : 2);
  }
  if (x >= 0) {
    const int integral = x + 1;
    if (n <= integral) {
      std::memcpy(out, d, size_t(n));
      out += n;
      std::memset(out, '0', size_t(integral - n));
      return out + (integral - n);
    }
    std::memcpy(out, d, size_t(integral));
    out += integral;
    *out++ = '.';
    std::memcpy(out, d + integral, size_t(n - integral));
    return out + (n - integral);
  }
  *out++ = '0';
  *out++ = '.';
  std::memset(out, '0', size_t(-x - 1));
  out += -x - 1;
  std::memcpy(out, d, size_t(n));
  return out + n;
}

[[gnu::noinline, gnu::cold]] char *LibraryFloatText(char *out, float value) {
  return std::to_chars(out, out + kNumberTextMax, static_cast<double>(value), std::chars_format::general, 9).ptr;
}

[[gnu::noinline, gnu::cold]] float LibraryReadFloat(std::string_view text) {
  char small[64];
  if (text.size() < sizeof small) {
    std::memcpy(small, text.data(), text.size());
    small[text.size()] = '\0';
    return platform::CStrToFloat(small);
  }
  const std::string copy(text);
  return platform::CStrToFloat(copy.c_str());
}

// Powers of ten that doubles hold exactly.
constexpr double kExact[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                               1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

}  // namespace

char *WriteIntText(char *out, int value) { return std::to_chars(out, out + kNumberTextMax, value).ptr; }

char *WriteFloatText(char *out, float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const uint32_t field = (bits >> 23) & 0xFF;
  uint32_t m = bits & 0x7FFFFF;
  if (field == 0xFF) return LibraryFloatText(out, value);
  char *start = out;
  if (bits >> 31) *out++ = '-';
  if (field == 0 && m == 0) {
    *out++ = '0';
    return out;
  }
  int e2 = -149;
  if (field != 0) {
    m |= 0x800000;
    e2 = int(field) - 150;
  }
  // value = m * 2^e2. Start from the decimal exponent of its highest bit and correct it until
  // the scaled value has exactly nine digits before the point.
  const int top = 31 - __builtin_clz(m) + e2;
  int x = (top * 78913) >> 18;
  uint64_t q = 0;
  int rest = 0;
  for (int attempt = 0;; ++attempt) {
    if (attempt == 4 || !Scale(m, e2, 8 - x, q, rest)) return LibraryFloatText(start, value);
    if (q >= kPow10[9]) {
      ++x;
    } else if (q < kPow10[8]) {
      --x;
    } else {
      break;
    }
  }
  // Round half to even, as printf does.
  if (rest > 0 || (rest == 0 && (q & 1) != 0)) ++q;
  if (q == kPow10[9]) {
    q = kPow10[8];
    ++x;
  }
  return WriteGeneral(out, q, x);
}

void AddIntToString(std::string &s, const char *prefix, int value) {
  char buf[kNumberTextMax];
  s += prefix;
  s.append(buf, size_t(WriteIntText(buf, value) - buf));
}

int stringtoi(const std::string &s) {
  long long v = platform::CStrToLong(s.c_str());
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return int(v);
}

float stringtof(const std::string &s) {
  return platform::CStrToFloat(s.c_str());
}

float ReadFloatText(std::string_view text) {
  // The short path takes [+-]digits[.digits][(e|E)[+-]digits] filling the whole text, with at
  // most 19 digits: the value is then m * 10^e exactly, and for m <= 2^53 and |e| <= 22 one
  // double operation rounds it correctly. Its rounding to float is the direct one unless the
  // double lies exactly halfway between two floats, which goes to strtof.
  const char *p = text.data();
  const char *const end = p + text.size();
  bool negative = false;
  if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
  uint64_t m = 0;
  const char *const first = p;
  p = ReadDigits(p, end, m);
  int digits = int(p - first);
  int e10 = 0;
  const bool point = p < end && *p == '.';
  if (point) {
    const char *const fraction = ++p;
    p = ReadDigits(p, end, m);
    e10 = -int(p - fraction);
    digits -= e10;
  }
  if (digits == 0 || digits > 19) return LibraryReadFloat(text);
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool below = false;
    if (p < end && (*p == '-' || *p == '+')) below = *p++ == '-';
    if (p == end || unsigned(*p - '0') > 9) return LibraryReadFloat(text);
    int e = 0;
    for (unsigned d; p < end && (d = unsigned(*p - '0')) <= 9; ++p)
      if (e < 100000) e = e * 10 + int(d);
    e10 += below ? -e : e;
  }
  if (p != end) return LibraryReadFloat(text);
  if (m == 0) return negative ? -0.0f : 0.0f;
  if (m > (uint64_t(1) << 53) || e10 < -22 || e10 > 22) return LibraryReadFloat(text);
  double d = double(m);
  d = e10 < 0 ? d / kExact[-e10] : d * kExact[e10];
  uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  if ((b & 0x1FFFFFFF) == 0x10000000) return LibraryReadFloat(text);
  const float f = float(d);
  return negative ? -f : f;
}

std::string_view CutAtCharacter(std::string_view text, std::size_t max) {
  if (text.size() <= max) return text;
  // A character is at most four bytes: the first byte cut off is one of its continuations when
  // the cut falls inside it.
  auto continuation = [&](std::size_t i) { return (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80; };
  std::size_t end = max;
  while (end > 0 && max - end < 3 && continuation(end)) --end;
  if (continuation(end)) end = max;
  return text.substr(0, end);
}
