#include "cluster/wire.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "core/bans.h"
#include "core/codec.h"

namespace skytether {
namespace {

// Splits s at the first `sep`; *rest is what follows it (empty when there is no sep).
std::string_view Cut(std::string_view s, char sep, std::string_view *rest) {
  std::size_t at = s.find(sep);
  if (at == std::string_view::npos) {
    *rest = std::string_view();
    return s;
  }
  *rest = s.substr(at + 1);
  return s.substr(0, at);
}

bool ReadDegrees(std::string_view s, double limit, double *out) {
  if (s.empty() || s.size() > 32 || !(s[0] == '-' || (s[0] >= '0' && s[0] <= '9'))) return false;
  char buf[40];
  s.copy(buf, s.size());
  buf[s.size()] = '\0';
  char *end = nullptr;
  double v = std::strtod(buf, &end);
  if (end != buf + s.size() || !std::isfinite(v) || std::fabs(v) > limit) return false;
  *out = v;
  return true;
}

constexpr std::size_t kMaxChatLine = kMaxCallsign + 2 + kMaxChat;

}  // namespace

bool IsNodeName(std::string_view s) {
  if (s.empty() || s.size() > kMaxNodeName) return false;
  for (char c : s) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
              c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string EncodePresence(const Presence &p) {
  std::string s;
  s += p.kind == Presence::Kind::kSnapshot ? 'S' : p.kind == Presence::Kind::kChanges ? 'C' : 'B';
  s += '\t';
  s += p.node;
  s += '\t';
  s += p.name;
  s += '\n';
  char deg[64];
  for (const PilotState &ps : p.pilots) {
    s += "P\t";
    s += std::to_string(ps.id);
    s += '\t';
    if (ps.in_view) s += 'v';
    if (ps.observer) s += 'o';
    if (!ps.in_view && !ps.observer) s += '-';
    std::snprintf(deg, sizeof deg, "\t%.6f\t%.6f\t", ps.lat, ps.lon);
    s += deg;
    s += ps.callsign;  // sanitized texts hold no tab or line break
    s += '\t';
    s += ps.model;
    s += '\n';
  }
  for (int id : p.gone) {
    s += "X\t";
    s += std::to_string(id);
    s += '\n';
  }
  for (int id : p.watch) {
    s += "W\t";
    s += std::to_string(id);
    s += '\n';
  }
  for (int id : p.unwatch) {
    s += "U\t";
    s += std::to_string(id);
    s += '\n';
  }
  return s;
}

bool DecodePresence(std::string_view text, Presence *out) {
  Presence p;
  std::string_view line = Cut(text, '\n', &text);
  std::string_view f;
  std::string_view kind = Cut(line, '\t', &f);
  if (kind == "S")
    p.kind = Presence::Kind::kSnapshot;
  else if (kind == "C")
    p.kind = Presence::Kind::kChanges;
  else if (kind == "B")
    p.kind = Presence::Kind::kBye;
  else
    return false;
  std::string_view node = Cut(f, '\t', &f);
  if (!IsNodeName(node) || !IsNodeName(f)) return false;
  p.node = std::string(node);
  p.name = std::string(f);
  while (!text.empty()) {
    line = Cut(text, '\n', &text);
    std::string_view tag = Cut(line, '\t', &f);
    int id = -1;
    if (tag == "X" || tag == "W" || tag == "U") {
      if (!ParseId(f, &id)) return false;
      (tag == "X" ? p.gone : tag == "W" ? p.watch : p.unwatch).push_back(id);
      continue;
    }
    if (tag != "P") {
      // A later build's kind of line: what this build knows of the message still holds.
      if (tag.empty() || tag.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") != std::string_view::npos)
        return false;
      continue;
    }
    PilotState ps;
    std::string_view flags, lat, lon, callsign;
    if (!ParseId(Cut(f, '\t', &f), &ps.id)) return false;
    flags = Cut(f, '\t', &f);
    lat = Cut(f, '\t', &f);
    lon = Cut(f, '\t', &f);
    callsign = Cut(f, '\t', &f);
    if (flags != "-" && flags != "v" && flags != "o" && flags != "vo") return false;
    ps.in_view = flags.find('v') != std::string_view::npos;
    ps.observer = flags.find('o') != std::string_view::npos;
    if (!ReadDegrees(lat, 90, &ps.lat) || !ReadDegrees(lon, 180, &ps.lon)) return false;
    ps.callsign = SanitizeText(callsign, kMaxCallsign);
    if (!f.empty()) ps.model = RelativeModelPath(f);
    p.pilots.push_back(std::move(ps));
  }
  *out = std::move(p);
  return true;
}

void AppendPosition(std::string *batch, std::string_view node, std::string_view rule,
                    const SharedPosition &p) {
  if (batch->empty()) {
    *batch += "Q\t";
    *batch += node;
    *batch += '\t';
    *batch += rule;
    *batch += '\n';
  }
  char head[80];
  char *at = head, *const end = head + 64;  // room to spare for the separators
  at = std::to_chars(at, end, p.id).ptr;
  *at++ = ' ';
  at = std::to_chars(at, end, p.arrival_us).ptr;
  *at++ = ' ';
  if (p.steps < 0)
    *at++ = '-';
  else
    at = std::to_chars(at, end, p.steps).ptr;
  *at++ = ' ';
  at = std::to_chars(at, end, p.datagram.size()).ptr;
  *at++ = '\n';
  batch->append(head, at);
  batch->append(p.datagram);
}

bool DecodePositionsHead(std::string_view batch, std::string_view *node, std::string_view *rule,
                         std::string_view *rest) {
  std::string_view line = Cut(batch, '\n', rest), f;
  if (Cut(line, '\t', &f) != "Q") return false;
  *node = Cut(f, '\t', rule);
  return IsNodeName(*node) && !rule->empty() && rule->size() <= 16;
}

namespace {

// A whole number of at most `digits` digits, then `sep`.
template <typename T>
bool ReadCount(std::string_view *s, char sep, std::size_t digits, T *out) {
  const std::size_t at = s->find(sep);
  if (at == 0 || at == std::string_view::npos || at > digits) return false;
  T v = 0;
  for (std::size_t i = 0; i < at; ++i) {
    const char c = (*s)[i];
    if (c < '0' || c > '9') return false;
    v = static_cast<T>(v * 10 + (c - '0'));
  }
  *out = v;
  s->remove_prefix(at + 1);
  return true;
}

}  // namespace

bool NextPosition(std::string_view *rest, SharedPosition *out) {
  if (rest->empty()) return false;
  std::string_view s = *rest;
  SharedPosition p;
  long long id = 0;
  std::size_t length = 0;
  if (!ReadCount(&s, ' ', 10, &id) || id > 2147483647LL || !ReadCount(&s, ' ', 18, &p.arrival_us))
    return false;
  p.id = static_cast<int>(id);
  if (s.size() >= 2 && s[0] == '-' && s[1] == ' ') {
    s.remove_prefix(2);
  } else if (!ReadCount(&s, ' ', 3, &p.steps) || p.steps > 255) {
    return false;
  }
  if (!ReadCount(&s, '\n', 5, &length) || length == 0 || length > s.size()) return false;
  p.datagram = s.substr(0, length);
  *rest = s.substr(length);
  *out = p;
  return true;
}

std::string RuleDigest(std::string_view description, bool changes) {
  if (!changes) return "-";
  // FNV-1a over the rule's description: nodes whose steps differ read each other's words as not
  // theirs, and weigh what they get themselves.
  std::uint32_t h = 2166136261u;
  for (unsigned char c : description) h = (h ^ c) * 16777619u;
  char hex[12];
  std::snprintf(hex, sizeof hex, "c%08x", h);
  return hex;
}

std::string EncodeChat(std::string_view node, std::string_view text) {
  std::string s(node);
  s += '\t';
  s += text;
  return s;
}

bool DecodeChat(std::string_view message, std::string *node, std::string *text) {
  std::string_view rest;
  std::string_view n = Cut(message, '\t', &rest);
  if (!IsNodeName(n) || rest.empty()) return false;
  *node = std::string(n);
  *text = SanitizeText(rest, kMaxChatLine);
  return true;
}

std::string EncodeAdmin(std::string_view node, const AdminAction &a) {
  std::string s(node);
  s += '\t';
  s += ActionName(a.kind);
  s += '\t';
  s += EscapeWord(a.by);
  s += '\t';
  s += a.id >= 0 ? std::to_string(a.id) : "-";
  s += '\t';
  s += a.user.empty() ? "-" : EscapeWord(a.user);
  s += '\t';
  s += std::to_string(static_cast<long long>(a.seconds));
  s += '\t';
  s += SanitizeText(a.reason, kMaxChat);
  return s;
}

bool DecodeAdmin(std::string_view message, std::string *node, AdminAction *out) {
  AdminAction a;
  std::string_view rest;
  const std::string_view n = Cut(message, '\t', &rest);
  const std::string_view kind = Cut(rest, '\t', &rest), by = Cut(rest, '\t', &rest),
                         id = Cut(rest, '\t', &rest), user = Cut(rest, '\t', &rest),
                         seconds = Cut(rest, '\t', &rest);
  if (!IsNodeName(n) || !ActionOf(kind, &a.kind) || by.size() > 200 || !UnescapeWord(by, &a.by)) return false;
  if (id != "-" && !ParseId(id, &a.id)) return false;
  if (user != "-" && (user.size() > 3 * 256 || !UnescapeWord(user, &a.user))) return false;
  if ((a.id >= 0) == !a.user.empty() && a.kind != AdminAction::Kind::kReloadAccounts) return false;
  if (!ParseDuration(seconds, &a.seconds)) return false;
  a.reason = SanitizeText(rest, kMaxChat);
  *node = std::string(n);
  *out = std::move(a);
  return true;
}

}  // namespace skytether
