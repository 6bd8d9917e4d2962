#include "core/admin.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <set>

#include "core/bans.h"

namespace skytether {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

bool IsName(std::string_view s) {
  if (s.empty() || s.size() > 64) return false;
  for (char c : s) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

bool Decode(std::string_view s, std::string *out) {
  out->clear();
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      *out += ' ';
    } else if (s[i] == '%') {
      if (i + 2 >= s.size()) return false;
      const int hi = HexDigit(s[i + 1]), lo = HexDigit(s[i + 2]);
      if (hi < 0 || lo < 0) return false;
      *out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      *out += s[i];
    }
  }
  return true;
}

constexpr const char *kActionNames[] = {"kick", "ban", "unban", "mute", "unmute", "reload-accounts"};

}  // namespace

bool SameSecret(std::string_view a, std::string_view b) {
  unsigned diff = a.size() != b.size();
  const std::size_t n = b.size();
  for (std::size_t i = 0; i < a.size(); ++i) {
    const unsigned char other = n == 0 ? 0 : static_cast<unsigned char>(b[i % n]);
    diff |= static_cast<unsigned char>(a[i]) ^ other;
  }
  return diff == 0;
}

bool AdminTokens::Parse(std::string_view text, std::vector<std::string> *problems) {
  std::vector<std::pair<std::string, std::string>> tokens;
  std::map<std::string, int> names, secrets;
  const std::size_t before = problems->size();
  int number = 0;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    ++number;
    while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
    while (!line.empty() && IsBlank(line.back())) line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    const std::string at = "line " + std::to_string(number) + ": ";
    std::size_t gap = 0;
    while (gap < line.size() && !IsBlank(line[gap])) ++gap;
    const std::string name(line.substr(0, gap));
    std::string_view token = line.substr(gap);
    while (!token.empty() && IsBlank(token.front())) token.remove_prefix(1);
    if (!IsName(name) || token.empty()) {
      problems->push_back(at + "expected \"name token\" (a name of letters, digits, . - _)");
      continue;
    }
    if (std::any_of(token.begin(), token.end(), IsBlank)) {
      problems->push_back(at + "the token of " + name + " holds a blank: a token is one word");
      continue;
    }
    if (token.size() < kMinTokenLength) {
      problems->push_back(at + "the token of " + name + " is shorter than " +
                          std::to_string(kMinTokenLength) + " bytes");
      continue;
    }
    // A token typed by hand, or one byte over and over, is guessed long before 128 random bits.
    if (std::set<char>(token.begin(), token.end()).size() < kMinTokenBytes) {
      problems->push_back(at + "the token of " + name + " has fewer than " + std::to_string(kMinTokenBytes) +
                          " different bytes: make one at random (openssl rand -base64 32)");
      continue;
    }
    if (!names.emplace(name, number).second) {
      problems->push_back(at + "name " + name + " given twice (first on line " + std::to_string(names[name]) +
                          ")");
      continue;
    }
    if (!secrets.emplace(std::string(token), number).second) {
      problems->push_back(at + "the token of " + name + " is the token of line " +
                          std::to_string(secrets[std::string(token)]) + " too");
      continue;
    }
    tokens.emplace_back(name, std::string(token));
  }
  if (problems->size() != before) return false;
  tokens_.swap(tokens);
  return true;
}

const std::string *AdminTokens::NameOf(std::string_view presented) const {
  const std::string *found = nullptr;
  for (const auto &t : tokens_) {
    if (SameSecret(presented, t.second)) found = &t.first;
  }
  return found;
}

const char *ActionName(AdminAction::Kind kind) {
  return kActionNames[static_cast<int>(kind)];
}

bool ActionOf(std::string_view name, AdminAction::Kind *kind) {
  for (int k = 0; k < static_cast<int>(sizeof kActionNames / sizeof kActionNames[0]); ++k) {
    if (name == kActionNames[k]) {
      *kind = static_cast<AdminAction::Kind>(k);
      return true;
    }
  }
  return false;
}

bool ParseForm(std::string_view text, std::map<std::string, std::string> *out) {
  out->clear();
  while (!text.empty()) {
    const std::size_t amp = text.find('&');
    std::string_view pair = text.substr(0, amp);
    text.remove_prefix(amp == std::string_view::npos ? text.size() : amp + 1);
    if (pair.empty()) continue;
    const std::size_t eq = pair.find('=');
    std::string name, value;
    if (!Decode(pair.substr(0, eq), &name) ||
        !Decode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1), &value)) {
      return false;
    }
    if (!out->emplace(std::move(name), std::move(value)).second) return false;
  }
  return true;
}

bool ParseDuration(std::string_view text, double *seconds) {
  if (text.empty() || text == "never") {
    *seconds = 0;
    return true;
  }
  double unit = 1;
  switch (text.back()) {
    case 's':
      unit = 1;
      break;
    case 'm':
      unit = 60;
      break;
    case 'h':
      unit = 3600;
      break;
    case 'd':
      unit = 86400;
      break;
    default:
      unit = 0;
  }
  if (unit != 0)
    text.remove_suffix(1);
  else
    unit = 1;
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const double v = std::atof(std::string(text).c_str()) * unit;
  if (v > 366 * 86400.0) return false;
  *seconds = v;
  return true;
}

bool ActionFromForm(AdminAction::Kind kind, const std::map<std::string, std::string> &form, AdminAction *out,
                    std::string *error) {
  AdminAction a;
  a.kind = kind;
  const bool by_pilot = kind == AdminAction::Kind::kKick || kind == AdminAction::Kind::kMute ||
                        kind == AdminAction::Kind::kUnmute;
  const bool timed = kind == AdminAction::Kind::kBan || kind == AdminAction::Kind::kMute;
  for (const auto &field : form) {
    const std::string &name = field.first, &value = field.second;
    if (name == "id" && by_pilot) {
      char *end = nullptr;
      const long v = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || v < 0 || v > 2147483647L) {
        *error = "id is a pilot's uniqueID, a number";
        return false;
      }
      a.id = static_cast<int>(v);
    } else if (name == "user" && kind != AdminAction::Kind::kReloadAccounts) {
      if (value.empty() || value.size() > 256) {
        *error = "user is a user ID of 1 to 256 bytes";
        return false;
      }
      a.user = value;
    } else if (name == "duration" && timed) {
      // "0" would read as for good: a ban meant to be short must not become one for ever.
      if (!ParseDuration(value, &a.seconds) || (a.seconds == 0 && value != "never")) {
        *error =
            "duration is a number of seconds, or of minutes, hours or days, above 0 (90, 30m, 2h, 7d; at most "
            "366d), or never (as without it: for good)";
        return false;
      }
    } else if (name == "reason" && kind != AdminAction::Kind::kReloadAccounts) {
      a.reason = value;
    } else {
      *error = "unknown field for " + std::string(ActionName(kind)) + ": " + name;
      return false;
    }
  }
  if (kind == AdminAction::Kind::kReloadAccounts) {
    *out = std::move(a);
    return true;
  }
  if (by_pilot && (a.id >= 0) == !a.user.empty()) {
    *error = "give the pilot's uniqueID (id=) or its user ID (user=), one of them";
    return false;
  }
  if (!by_pilot && a.user.empty()) {
    *error = "give the user ID (user=)";
    return false;
  }
  *out = std::move(a);
  return true;
}

std::string Describe(const AdminAction &a) {
  std::string s = ActionName(a.kind);
  if (a.kind == AdminAction::Kind::kReloadAccounts) return s;
  s += a.id >= 0 ? " " + std::to_string(a.id) : " user " + EscapeWord(a.user);
  if (a.kind == AdminAction::Kind::kBan || a.kind == AdminAction::Kind::kMute) {
    s += a.seconds > 0 ? " for " + std::to_string(static_cast<long long>(a.seconds)) + " s" : " for good";
  }
  if (!a.reason.empty()) {
    s += ": ";
    for (char c : a.reason) s += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
  }
  return s;
}

}  // namespace skytether
