#include "core/codec.h"

#include <charconv>
#include <cmath>
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

// The plugin reads every value but the lights with strtof: one beyond the float range would put
// its aircraft at infinity. A value below 10^38 is a float, so most values need no parse.
bool IsFloatDecimal(std::string_view s) {
  long digits = 0, exponent = 0;
  if (!ScanDecimal(s, &digits, &exponent)) return false;
  if (digits + exponent <= 38) return true;
  double v = 0;
  // Halfway between FLT_MAX and 2^128: anything below rounds to a float, FLT_MAX at most.
  return ReadDouble(s, &v) && std::fabs(v) < 0x1.ffffffp+127;
}

}  // namespace

bool IsDecimalNumber(std::string_view s) {
  long digits = 0, exponent = 0;
  return ScanDecimal(s, &digits, &exponent);
}

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
  double lat = 0, lon = 0;
  std::string_view elevation, heading, motion[6], micros;
  std::size_t controls_from = 0, controls_to = 0;
  int index = 0;
  std::size_t pos = 0;
  for (;;) {
    if (index >= kPositionValues) return false;  // a 43rd value
    std::size_t next = values.find('|', pos);
    std::string_view field =
        values.substr(pos, next == std::string_view::npos ? std::string_view::npos : next - pos);
    if (index >= 27 && index < 32) {
      // The plugin reads each light as exactly one digit.
      if (field.size() != 1 || !IsDigit(field[0])) return false;
    } else if (!IsFloatDecimal(field)) {
      return false;
    }
    if (index <= 8) {
      if (index == 3 && (!ReadDouble(field, &lat) || lat < -90.0 || lat > 90.0)) return false;
      if (index == 4 && (!ReadDouble(field, &lon) || lon < -180.0 || lon > 180.0)) return false;
      // No aircraft flies a kilometre below the sea or beyond 100 km; a value out there would
      // only make the receivers' motion between reports run off.
      double el = 0;
      if (index == 5 && (!ReadDouble(field, &el) || el < -1000.0 || el > 100000.0)) return false;
      if (index == 5) elevation = field;
      if (index == 8) heading = field;
      if (index >= 3) motion[index - 3] = field;
    }
    if (index == 9) controls_from = pos;
    if (index == 39) controls_to = pos + field.size();
    if (index == 41) micros = field;
    ++index;
    if (next == std::string_view::npos) break;
    pos = next + 1;
  }
  if (index != kPositionValues) return false;

  out->id = id;
  out->observer = observer;
  out->values = values;
  out->latitude = lat;
  out->longitude = lon;
  out->elevation = elevation;
  out->heading = heading;
  for (int i = 0; i < 6; ++i) out->motion[i] = motion[i];
  out->controls = values.substr(controls_from, controls_to - controls_from);
  out->micros = micros;
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
