#include "http/request.h"

#include <algorithm>

namespace skytether {
namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char x = (a[i] >= 'A' && a[i] <= 'Z') ? char(a[i] - 'A' + 'a') : a[i];
    const char y = (b[i] >= 'A' && b[i] <= 'Z') ? char(b[i] - 'A' + 'a') : b[i];
    if (x != y) return false;
  }
  return true;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "%2E" becomes '.'; a '%' not followed by two hex digits stays as it is.
std::string PercentDecoded(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      const int hi = HexValue(s[i + 1]), lo = HexValue(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

// "METHOD TARGET VERSION" into its three fields; false when it is not one.
bool SplitRequestLine(std::string_view line, std::string_view fields[3]) {
  int n = 0;
  while (!line.empty()) {
    while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    if (line.empty()) break;
    const std::size_t end = line.find(' ');
    if (n == 3) return false;
    fields[n++] = line.substr(0, end);
    line.remove_prefix(end == std::string_view::npos ? line.size() : end);
  }
  if (n != 3 || !IsKnownMethod(fields[0])) return false;
  if (fields[2] != "HTTP/1.1" && fields[2] != "HTTP/1.0") return false;
  for (char c : fields[1]) {
    if (static_cast<unsigned char>(c) < 0x21 || c == 0x7f) return false;
  }
  return true;
}

// The head's lines, each without its CR LF, to the blank line that ends it. line(text) is called
// for each; the result is kDone with *end past the blank line, or why there is no head (yet).
template <typename Line>
ReadStatus EachLine(std::string_view bytes, const RequestLimits &limits, std::size_t *end, Line line) {
  std::size_t at = 0;
  for (bool first = true;; first = false) {
    // One line: its end within the line limit, or the head goes no further.
    const std::size_t window = std::min(bytes.size() - at, limits.max_line);
    const std::string_view rest = bytes.substr(at, window);
    const std::size_t lf = rest.find('\n');
    if (lf == std::string_view::npos) {
      if (window == limits.max_line) return first ? ReadStatus::kUriTooLong : ReadStatus::kBad;
      return at + window >= limits.max_head ? ReadStatus::kBad : ReadStatus::kNeedMore;
    }
    if (at + lf + 1 > limits.max_head) return ReadStatus::kBad;
    if (lf == 0 || rest[lf - 1] != '\r') return ReadStatus::kBad;  // a bare LF
    at += lf + 1;
    if (!line(first, rest.substr(0, lf - 1))) return ReadStatus::kBad;
    if (!first && lf == 1) break;  // the blank line that ends the head
  }
  *end = at;
  return ReadStatus::kDone;
}

}  // namespace

bool IsKnownMethod(std::string_view m) {
  for (std::string_view known :
       {"GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH"}) {
    if (m == known) return true;
  }
  return false;
}

bool BodyLength(const HttpRequest &request, std::size_t *length) {
  *length = 0;
  int seen = 0;
  for (const auto &h : request.headers) {
    if (EqualsNoCase(h.first, "transfer-encoding")) return false;
    if (!EqualsNoCase(h.first, "content-length")) continue;
    const std::string &v = h.second;
    if (++seen > 1 || v.empty() || v.size() > 9) return false;
    for (char c : v) {
      if (c < '0' || c > '9') return false;
      *length = *length * 10 + static_cast<std::size_t>(c - '0');
    }
  }
  return true;
}

std::string_view HttpRequest::Header(std::string_view name) const {
  for (const auto &h : headers) {
    if (EqualsNoCase(h.first, name)) return h.second;
  }
  return std::string_view();
}

ReadStatus ReadRequest(std::string_view bytes, const RequestLimits &limits, HttpRequest *out,
                       std::size_t *used) {
  // First the head's extent, copying nothing: a head still arriving costs no allocation, however
  // often it is read again.
  std::size_t end = 0;
  std::string_view fields[3];
  const ReadStatus status = EachLine(bytes, limits, &end, [&fields](bool first, std::string_view line) {
    return !first || SplitRequestLine(line, fields);
  });
  if (status != ReadStatus::kDone) return status;
  HttpRequest r;
  r.method.assign(fields[0]);
  r.target.assign(fields[1]);
  r.version.assign(fields[2]);
  const std::size_t q = fields[1].find('?');
  r.path = PercentDecoded(fields[1].substr(0, q));
  r.query.assign(q == std::string_view::npos ? std::string_view() : fields[1].substr(q + 1));
  EachLine(bytes, limits, &end, [&r](bool first, std::string_view line) {
    const std::size_t colon = line.find(':');
    if (first || colon == std::string_view::npos) return true;
    const std::string_view name = TrimBlanks(line.substr(0, colon));
    if (!name.empty())
      r.headers.emplace_back(std::string(name), std::string(TrimBlanks(line.substr(colon + 1))));
    return true;
  });
  *out = std::move(r);
  if (used != nullptr) *used = end;
  return ReadStatus::kDone;
}

}  // namespace skytether
