#include "net/wire.h"

#include <cstring>

#include "platform/c_numbers.h"

#include "md5.h"
#include "support/strings.h"

std::string LoginToken(int id, const std::string &userID, const std::string &password) {
  std::string text;
  AddIntToString(text, "", id);
  text += userID;
  text += password;
  return Md5Hex(text);
}

std::string BuildLoginLine(int id, const std::string &userID, const std::string &token) {
  std::string line;
  AddIntToString(line, "", id);
  line += "|Opening Connection|" + userID + "|" + token + "|\n";
  return line;
}

std::string BuildLogoutLine(int id) {
  std::string line;
  AddIntToString(line, "", id);
  line += "|Closing Connection\n";
  return line;
}

std::string BuildModelLine(int id, const std::string &path) {
  std::string line;
  AddIntToString(line, "", id);
  line += "|PLANE|" + path + "\n";
  return line;
}

std::string BuildCallsignLine(int id, const std::string &callsign, bool viewOnly) {
  std::string line;
  AddIntToString(line, "", id);
  line += viewOnly ? "|VOCALLSIGN|" : "|CALLSIGN|";
  line += callsign + "|\n";
  return line;
}

void BuildPositionLine(std::string &out, int id, bool viewOnly, const OwnState &s) {
  // Written into a local area and copied once: the caller keeps out between frames, so the copy
  // reuses its storage.
  char area[64 + 42 * (kNumberTextMax + 1)];
  char *p = WriteIntText(area, id);
  const std::string_view keyword = viewOnly ? "|VOLOC" : "|LOC";
  std::memcpy(p, keyword.data(), keyword.size());
  p += keyword.size();
  for (float v : s.single) {
    *p++ = '|';
    p = WriteFloatText(p, v);
  }
  for (float v : s.gear) {
    *p++ = '|';
    p = WriteFloatText(p, v);
  }
  for (int v : s.lights) {
    *p++ = '|';
    p = WriteIntText(p, v);
  }
  for (float v : s.throttle) {
    *p++ = '|';
    p = WriteFloatText(p, v);
  }
  *p++ = '|';
  p = WriteFloatText(p, s.seconds);
  *p++ = '|';
  p = WriteFloatText(p, s.microseconds);
  out.assign(area, size_t(p - area));
}

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsWordChar(char c) { return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

// "(\d+)\|(\w)\|" at pos: a run of digits that fits an int (any number of leading zeros), "|",
// one word character, "|". Returns the position after it, or npos.
size_t MatchHeaderAt(std::string_view text, size_t pos, int &number, char &letter) {
  size_t at = pos;
  long long value = 0;
  while (at < text.size() && IsDigit(text[at])) {
    value = value * 10 + (text[at] - '0');
    if (value > 2147483647LL) value = 2147483648LL;  // too large for an int; stays too large
    ++at;
  }
  if (at == pos || value > 2147483647LL) return std::string_view::npos;
  if (at + 2 >= text.size() || text[at] != '|' || !IsWordChar(text[at + 1]) || text[at + 2] != '|')
    return std::string_view::npos;
  number = int(value);
  letter = text[at + 1];
  return at + 3;
}

// One "(.*?)\|" field at pos: the text up to the next "|". limit is the first line feed (or the
// end), which no field may reach.
bool TakeField(std::string_view text, size_t limit, size_t &pos, std::string_view &field) {
  const void *bar = std::memchr(text.data() + pos, '|', limit - pos);
  if (bar == nullptr) return false;
  const size_t at = size_t(static_cast<const char *>(bar) - text.data());
  field = std::string_view(text.data() + pos, at - pos);
  pos = at + 1;
  return true;
}

}  // namespace

bool MatchDatagramHeader(std::string_view text, int &slot, char &letter, size_t &headerLength) {
  size_t end = MatchHeaderAt(text, 0, slot, letter);
  if (end == std::string_view::npos) return false;
  headerLength = end;
  return true;
}

bool MatchPositionReport(std::string_view rest, ReportFields &out) {
  // Fields never hold a line feed, so none may reach the first one: finding it once bounds every
  // search for "|".
  const void *lineFeed = std::memchr(rest.data(), '\n', rest.size());
  const size_t limit = lineFeed == nullptr ? rest.size() : size_t(static_cast<const char *>(lineFeed) - rest.data());
  size_t pos = 0;
  std::string_view *f = out.field;
  for (int i = 0; i < 27; ++i)
    if (!TakeField(rest, limit, pos, f[i])) return false;
  for (int i = 27; i < 32; ++i) {
    if (pos + 1 >= rest.size() || !IsDigit(rest[pos]) || rest[pos + 1] != '|') return false;
    f[i] = rest.substr(pos, 1);
    pos += 2;
  }
  for (int i = 32; i < 39; ++i)
    if (!TakeField(rest, limit, pos, f[i])) return false;
  // The eighth throttle ends at "|", at the end, or at a line feed that ends the text.
  const void *bar = std::memchr(rest.data() + pos, '|', limit - pos);
  const size_t at = bar == nullptr ? limit : size_t(static_cast<const char *>(bar) - rest.data());
  if (at == limit && limit < rest.size() && limit + 1 != rest.size()) return false;
  f[39] = rest.substr(pos, at - pos);
  return true;
}

bool TrailingMicroseconds(std::string_view text, long &micros, size_t *bar) {
  size_t end = text.size();
  if (end > 0 && text[end - 1] == '\n') --end;
  size_t first = end;
  while (first > 0 && end - first < 7 && IsDigit(text[first - 1])) --first;
  if (first == end || end - first > 6 || first == 0 || text[first - 1] != '|') return false;
  long value = 0;
  for (size_t i = first; i < end; ++i) value = value * 10 + (text[i] - '0');
  micros = value;
  if (bar != nullptr) *bar = first - 1;
  return true;
}

bool ReportMicroseconds(std::string_view rest, const ReportFields &fields, long &micros) {
  const std::string_view &last = fields.field[kReportFieldCount - 1];
  const size_t pos = size_t(last.data() - rest.data()) + last.size();
  // "|seconds|microseconds" and nothing more: the seconds are not looked at.
  if (pos >= rest.size() || rest[pos] != '|') return false;
  const void *bar = std::memchr(rest.data() + pos + 1, '|', rest.size() - pos - 1);
  if (bar == nullptr) return false;
  const size_t second = size_t(static_cast<const char *>(bar) - rest.data());
  if (std::memchr(rest.data() + pos, '\n', second - pos) != nullptr) return false;
  size_t at = 0;
  return TrailingMicroseconds(rest, micros, &at) && at == second;
}

void AppendStreamText(std::string &buffer, const char *data, size_t length) {
  // Runs of CR/LF become one marker. A run split across two reads yields two adjacent markers,
  // which the reader skips as "=" at the head.
  const char *p = data;
  const char *const end = data + length;
  bool inRun = false;
  while (p < end) {
    const char *q = p;
    while (q < end && *q != '\r' && *q != '\n' && *q != '\0') ++q;
    if (q != p) {
      buffer.append(p, size_t(q - p));
      inRun = false;
    }
    if (q == end) break;
    if (*q == '\0') {
      while (q < end && *q != '\r' && *q != '\n') ++q;
    } else {
      if (!inRun) buffer += "====";
      inRun = true;
      ++q;
    }
    p = q;
  }
}

namespace wire_detail {
size_t FindMarker(const std::string &buffer, size_t from) {
  if (from >= buffer.size()) return std::string::npos;
  const char *at = platform::FindBytes(buffer.data() + from, buffer.size() - from, "====", 4);
  return at == nullptr ? std::string::npos : size_t(at - buffer.data());
}

bool MessageOfLine(const std::string &buffer, size_t pos, size_t marker, StreamMessage &out) {
  const size_t start = MatchHeaderAt(std::string_view(buffer.data(), marker), pos, out.number, out.letter);
  if (start == std::string_view::npos) return false;
  out.text.assign(buffer, start, marker - start);
  return true;
}

size_t MatchStreamMessage(const std::string &buffer, size_t pos, StreamMessage &out) {
  const size_t marker = FindMarker(buffer, pos);
  if (marker == std::string::npos || !MessageOfLine(buffer, pos, marker, out)) return std::string::npos;
  return marker + 4;
}
}  // namespace wire_detail

namespace {
// ".acf" in any letter case at at.
bool AcfSuffixAt(std::string_view text, size_t at) {
  return at + 4 <= text.size() && text[at] == '.' && (text[at + 1] | 0x20) == 'a' &&
         (text[at + 2] | 0x20) == 'c' && (text[at + 3] | 0x20) == 'f';
}
}  // namespace

std::string_view ModelDisplayNameView(std::string_view path) {
  // "^.*\/(.*?)\.[aA][cC][fF]": "." stops at a line feed, so all of it lies in the first line.
  // The greedy ".*\/" ends at the last "/" that some ".acf" follows, the lazy "(.*?)" at the first
  // ".acf" after that "/".
  path = path.substr(0, path.find('\n'));
  size_t last = path.size() >= 4 ? path.size() - 4 : 0;
  while (last > 0 && !AcfSuffixAt(path, last)) --last;
  // No ".acf" at all, or only at the start where no "/" can come before it.
  if (last == 0) return {};
  const size_t slash = path.rfind('/', last - 1);
  if (slash == std::string_view::npos) return {};
  size_t first = slash + 1;
  while (!AcfSuffixAt(path, first)) ++first;
  return path.substr(slash + 1, first - slash - 1);
}

std::string ModelDisplayName(const std::string &path) {
  return std::string(ModelDisplayNameView(path));
}

std::string ReplaceSeparatorsWith(std::string path, const std::string &separator) {
  if (!separator.empty() && separator[0] == '/') return path;
  for (int i = 0; i < 50; ++i) {
    size_t at = path.find('/');
    if (at == std::string::npos) break;
    path.replace(at, 1, separator);
  }
  return path;
}
