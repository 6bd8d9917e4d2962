#include "core/codec.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "md5.h"

namespace skytether {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsLowerHex(std::string_view s) {
  for (char c : s) {
    if (!IsDigit(c) && !(c >= 'a' && c <= 'f')) return false;
  }
  return true;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool EndsWithNoCase(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && EqualsNoCase(s.substr(s.size() - suffix.size()), suffix);
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// A text field that the plugin closes with "|": the field is everything up to that last "|".
bool StripFinalBar(std::string_view tail, std::string_view *field) {
  if (tail.empty() || tail.back() != '|') return false;
  *field = tail.substr(0, tail.size() - 1);
  return true;
}

// Drops the bytes of a UTF-8 sequence that a cut at the end of s left incomplete.
void TrimBrokenUtf8Tail(std::string &s) {
  std::size_t i = s.size();
  std::size_t continuation = 0;
  while (i > 0 && (static_cast<unsigned char>(s[i - 1]) & 0xC0) == 0x80 && continuation < 3) {
    --i;
    ++continuation;
  }
  if (i == 0) return;
  unsigned char lead = static_cast<unsigned char>(s[i - 1]);
  std::size_t need = 0;
  if ((lead & 0xE0) == 0xC0) need = 1;
  else if ((lead & 0xF0) == 0xE0) need = 2;
  else if ((lead & 0xF8) == 0xF0) need = 3;
  else return;  // ASCII or stray continuation bytes: 8-bit text, leave it
  if (continuation < need) s.resize(i - 1);
}

constexpr std::string_view kHeaders[kSlots] = {
    "0|l|",  "1|l|",  "2|l|",  "3|l|",  "4|l|",  "5|l|",  "6|l|",  "7|l|",  "8|l|",  "9|l|",
    "10|l|", "11|l|", "12|l|", "13|l|", "14|l|", "15|l|", "16|l|", "17|l|", "18|l|", "19|l|"};

}  // namespace

SplitResult SplitLine(std::string_view buf, std::string_view *line, std::size_t *consumed) {
  std::size_t scan = buf.size() < kMaxLine ? buf.size() : kMaxLine;
  const void *lf = std::memchr(buf.data(), '\n', scan);
  if (lf == nullptr) {
    if (buf.size() >= kMaxLine) {
      *consumed = buf.size();
      return SplitResult::kBad;
    }
    *consumed = 0;
    return SplitResult::kNeedMore;
  }
  std::size_t end = static_cast<const char *>(lf) - buf.data();
  *consumed = end + 1;
  while (end > 0 && buf[end - 1] == '\r') --end;
  *line = buf.substr(0, end);
  return SplitResult::kGood;
}

bool ParseId(std::string_view s, int *out) {
  if (s.empty() || s.size() > 10) return false;
  long long v = 0;
  for (char c : s) {
    if (!IsDigit(c)) return false;
    v = v * 10 + (c - '0');
  }
  if (v > 2147483647LL) return false;
  *out = static_cast<int>(v);
  return true;
}

ClientLine ParseClientLine(std::string_view line) {
  ClientLine r;
  std::size_t bar = line.find('|');
  if (bar == std::string_view::npos || !ParseId(line.substr(0, bar), &r.id)) {
    r.id = -1;
    return r;
  }
  std::string_view rest = line.substr(bar + 1);
  std::size_t kw_end = rest.find('|');
  std::string_view keyword = rest.substr(0, kw_end);
  std::string_view tail = kw_end == std::string_view::npos ? std::string_view() : rest.substr(kw_end + 1);
  bool has_tail = kw_end != std::string_view::npos;

  if (keyword == "Closing Connection") {
    if (!has_tail) r.kind = LineKind::kLogout;
  } else if (keyword == "Opening Connection") {
    // userID|TOKEN| where the user name itself may hold "|": the token is the last field.
    std::string_view body;
    if (has_tail && StripFinalBar(tail, &body) && body.size() >= 33 && body[body.size() - 33] == '|') {
      std::string_view token = body.substr(body.size() - 32);
      if (IsLowerHex(token)) {
        r.kind = LineKind::kLogin;
        r.user = body.substr(0, body.size() - 33);
        r.token = token;
      }
    }
  } else if (keyword == "PLANE") {
    if (has_tail) {
      r.kind = LineKind::kModel;
      r.text = tail;
    }
  } else if (keyword == "CALLSIGN" || keyword == "VOCALLSIGN") {
    if (has_tail && StripFinalBar(tail, &r.text)) {
      r.kind = keyword == "CALLSIGN" ? LineKind::kCallsign : LineKind::kVoCallsign;
    }
  } else if (keyword == "MESSAGE") {
    if (has_tail) {
      r.kind = LineKind::kChat;
      r.text = tail;
    }
  } else {
    r.kind = LineKind::kUnknown;
  }
  return r;
}

namespace {

// One pass over a plain decimal ([+-]digits[.digits][(e|E)[+-]digits]). On success gives the
// number of integer digits after leading zeros and the exponent (held within +-100000), which
// bound the value's magnitude below 10^(digits + exponent).
bool ScanDecimal(std::string_view s, long *int_digits_out, long *exponent_out) {
  std::size_t i = 0, n = s.size();
  if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
  long int_digits = 0, significant = 0;
  std::size_t frac_digits = 0;
  for (; i < n && IsDigit(s[i]); ++i) {
    ++int_digits;
    if (significant > 0 || s[i] != '0') ++significant;
  }
  if (i < n && s[i] == '.') {
    ++i;
    while (i < n && IsDigit(s[i])) ++i, ++frac_digits;
  }
  if (int_digits == 0 && frac_digits == 0) return false;
  long exponent = 0;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    std::size_t exp_digits = 0;
    for (; i < n && IsDigit(s[i]); ++i, ++exp_digits)
      if (exponent < 100000) exponent = exponent * 10 + (s[i] - '0');
    if (exp_digits == 0) return false;
    if (negative) exponent = -exponent;
  }
  if (i != n) return false;
  *int_digits_out = significant;
  *exponent_out = exponent;
  return true;
}

bool ReadDouble(std::string_view s, double *out) {
  // from_chars does not take a leading '+', which IsDecimalNumber allows.
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  auto r = std::from_chars(s.data(), s.data() + s.size(), *out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}


}  // namespace

bool IsDecimalNumber(std::string_view s) {
  long digits = 0, exponent = 0;
  return ScanDecimal(s, &digits, &exponent);
}

namespace {

constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// One value of a position, read as it is checked: one pass over its characters.
struct Scanned {
  const char *end = nullptr;  // where it stops: at the next '|' or the datagram's end
  long int_digits = 0;        // integer digits after leading zeros (they bound its magnitude)
  long exponent = 0;          // held within +-100000
  int significant = 0;        // every digit from the first nonzero one on, the exponent's apart
  bool exact = false;         // value holds the number, as from_chars reads it
  double value = 0;
};

// A plain decimal ([+-]digits[.digits][(e|E)[+-]digits]) from p up to the next '|' or end.
// Numbers of at most 15 significant digits and a power of ten within 22 are read here: both
// exact in a double, so one multiplication or division rounds as from_chars does; the rest are
// left to it (exact false).
bool ScanValue(const char *p, const char *end, Scanned *out) {
  const char *q = p;
  bool negative = false;
  if (q < end && (*q == '+' || *q == '-')) negative = *q++ == '-';
  long int_digits = 0;
  int significant = 0, fraction = 0;
  bool digits = false;
  std::uint64_t mantissa = 0;
  auto digit = [&](char c) {
    digits = true;
    if (significant == 0 && c == '0') return;
    if (++significant <= 19) mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
  };
  for (; q < end && IsDigit(*q); ++q) {
    digit(*q);
    int_digits += significant > 0;
  }
  if (q < end && *q == '.') {
    for (++q; q < end && IsDigit(*q); ++q, ++fraction) digit(*q);
  }
  if (!digits) return false;
  long exponent = 0;
  if (q < end && (*q == 'e' || *q == 'E')) {
    ++q;
    bool minus = false;
    if (q < end && (*q == '+' || *q == '-')) minus = *q++ == '-';
    const char *first = q;
    for (; q < end && IsDigit(*q); ++q)
      if (exponent < 100000) exponent = exponent * 10 + (*q - '0');
    if (q == first) return false;
    if (minus) exponent = -exponent;
  }
  if (q < end && *q != '|') return false;
  out->end = q;
  out->int_digits = int_digits;
  out->exponent = exponent;
  out->significant = significant;
  const long scale = exponent - fraction;
  out->exact = significant <= 15 && scale >= -22 && scale <= 22;
  if (out->exact) {
    const double m = static_cast<double>(mantissa);
    const double v = significant == 0 ? 0.0 : scale < 0 ? m / kPowersOfTen[-scale] : m * kPowersOfTen[scale];
    out->value = negative ? -v : v;
  }
  return true;
}

bool ValueOf(const Scanned &v, std::string_view text, double *out) {
  if (v.exact) {
    *out = v.value;
    return true;
  }
  return ReadDouble(text, out);
}

}  // namespace

bool ParsePosition(std::string_view d, Position *out) {
  if (d.empty() || d.size() > kMaxDatagram) return false;
  if (std::memchr(d.data(), '\0', d.size()) != nullptr) return false;
  std::size_t bar = d.find('|');
  int id = -1;
  if (bar == std::string_view::npos || !ParseId(d.substr(0, bar), &id)) return false;
  std::string_view rest = d.substr(bar + 1);
  bool observer;
  if (StartsWith(rest, "LOC|")) {
    observer = false;
    rest.remove_prefix(4);
  } else if (StartsWith(rest, "VOLOC|")) {
    observer = true;
    rest.remove_prefix(6);
  } else {
    return false;
  }

  const std::string_view values = rest;
  const char *const begin = values.data(), *const end = begin + values.size();
  double numbers[6] = {}, micros = -1;
  int digits[2] = {};
  std::string_view motion[6], micros_text;
  std::size_t controls_from = 0, controls_to = 0;
  int index = 0;
  for (const char *p = begin;; ++index) {
    if (index >= kPositionValues) return false;  // a 43rd value
    const char *stop;
    if (index >= 27 && index < 32) {
      // The plugin reads each light as exactly one digit.
      if (p >= end || !IsDigit(*p) || (p + 1 < end && p[1] != '|')) return false;
      stop = p + 1;
    } else {
      Scanned v;
      if (!ScanValue(p, end, &v)) return false;
      stop = v.end;
      const std::string_view text(p, static_cast<std::size_t>(stop - p));
      // The plugin reads every value but the lights with strtof: one beyond the float range would
      // put its aircraft at infinity. A value below 10^38 is a float, so most need no reading.
      double value = 0;
      if (v.int_digits + v.exponent > 38 && !(ValueOf(v, text, &value) && std::fabs(value) < 0x1.ffffffp+127))
        return false;  // halfway between FLT_MAX and 2^128: anything below rounds to a float
      if (index >= 3 && index <= 8) {
        double &n = numbers[index - 3];
        // An angle too small for a double (1e-400) reads as 0; a place must read.
        if (!ValueOf(v, text, &n)) {
          if (index <= 5) return false;
          n = 0;
        }
        if (index == 3 && !(n >= -90.0 && n <= 90.0)) return false;
        if (index == 4 && !(n >= -180.0 && n <= 180.0)) return false;
        // No aircraft flies a kilometre below the sea or beyond 100 km; a value out there would
        // only make the receivers' motion between reports run off.
        if (index == 5 && !(n >= -1000.0 && n <= 100000.0)) return false;
        if (index <= 4) digits[index - 3] = v.significant;
        motion[index - 3] = text;
      }
      if (index == 41) {
        micros_text = text;
        if (!ValueOf(v, text, &micros)) micros = -1;  // no time to place it by
      }
    }
    const std::size_t at = static_cast<std::size_t>(p - begin);
    if (index == 9) controls_from = at;
    if (index == 39) controls_to = static_cast<std::size_t>(stop - begin);
    if (stop == end) break;
    p = stop + 1;
  }
  if (index + 1 != kPositionValues) return false;

  out->id = id;
  out->observer = observer;
  out->values = values;
  out->latitude = numbers[0];
  out->longitude = numbers[1];
  out->elevation = motion[2];
  out->heading = motion[5];
  for (int i = 0; i < 6; ++i) {
    out->motion[i] = motion[i];
    out->motion_values[i] = numbers[i];
  }
  out->degree_digits[0] = digits[0];
  out->degree_digits[1] = digits[1];
  out->controls = values.substr(controls_from, controls_to - controls_from);
  out->micros = micros_text;
  out->micros_value = micros;
  return true;
}

std::string SanitizeText(std::string_view text, std::size_t max_len) {
  std::string out;
  out.reserve(text.size() < max_len ? text.size() : max_len);
  std::size_t equals_run = 0;
  bool cut = false;
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) continue;
    if (c == '=') {
      // The plugin ends a message at "====": keep every run of '=' shorter than that.
      if (equals_run == 3) continue;
      ++equals_run;
    } else {
      equals_run = 0;
    }
    if (out.size() == max_len) {
      cut = true;
      break;
    }
    out.push_back(ch);
  }
  if (cut) TrimBrokenUtf8Tail(out);
  // The plugin's line marker follows the text: a final "=" would join it, end the text early and
  // leave the rest of the marker in front of the next message, which is then lost. A blank after
  // it keeps the "=" and the message whole.
  if (!out.empty() && out.back() == '=') {
    if (out.size() >= max_len) out.pop_back();
    out.push_back(' ');
  }
  return out;
}

std::string RelativeModelPath(std::string_view path) {
  std::string p = SanitizeText(path, kMaxLine);
  for (char &c : p) {
    if (c == '\\') c = '/';
  }
  if (!EndsWithNoCase(p, ".acf")) return std::string();

  // Walk the directory components: remember where the last "Aircraft" one starts,
  // and refuse any ".." so a relayed path cannot climb out of the receiver's folder.
  std::size_t start = 0, aircraft = std::string::npos;
  while (start <= p.size()) {
    std::size_t end = p.find('/', start);
    if (end == std::string::npos) end = p.size();
    std::string_view comp(p.data() + start, end - start);
    if (comp == "..") return std::string();
    if (end < p.size() && EqualsNoCase(comp, "Aircraft")) aircraft = start;
    start = end + 1;
  }
  if (aircraft != std::string::npos) p.erase(0, aircraft);
  if (p.size() > kMaxPath || p.size() <= 4) return std::string();
  // The receiver opens the path relative to its own folder: nothing that names a place of its
  // own (a root, a drive, a network share) may remain.
  const bool drive =
      p.size() >= 2 && p[1] == ':' && ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z'));
  if (p.front() == '/' || drive) return std::string();
  return p;
}

std::string CallsignNotice(int slot, std::string_view callsign) {
  std::string s = std::to_string(slot);
  s += "|c|";
  s.append(callsign.empty() ? std::string_view("BLANK") : callsign);
  s += '\n';
  return s;
}

std::string ModelNotice(int slot, std::string_view path) {
  std::string s = std::to_string(slot);
  s += "|p|";
  s.append(path.empty() ? std::string_view("BLANK") : path);
  s += '\n';
  return s;
}

std::string ChatNotice(std::string_view text) {
  std::string s = "0|m|";
  s.append(text);
  s += '\n';
  return s;
}

std::string_view ReportHeader(int slot) {
  return (slot >= 0 && slot < kSlots) ? kHeaders[slot] : std::string_view();
}

std::string LoginToken(int id, std::string_view user, std::string_view password) {
  std::string text = std::to_string(id);
  text.append(user);
  text.append(password);
  return Md5Hex(text);
}

bool ReadDecimal(std::string_view s, double *out) { return ReadDouble(s, out); }

}  // namespace skytether
