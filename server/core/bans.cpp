#include "core/bans.h"

#include <cstdio>
#include <ctime>

namespace skytether {
namespace {

constexpr std::size_t kMaxReason = 200;

std::string_view Field(std::string_view *rest) {
  const std::size_t tab = rest->find('\t');
  std::string_view f = rest->substr(0, tab);
  rest->remove_prefix(tab == std::string_view::npos ? rest->size() : tab + 1);
  return f;
}

// What the file keeps of a free text: no control bytes (tabs and line breaks included), capped.
std::string Clean(std::string_view text, std::size_t max_len) {
  std::string out;
  for (char c : text) {
    if (out.size() == max_len) break;
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) out += c;
  }
  return out;
}

}  // namespace

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string UtcTime(double unix_seconds) {
  const time_t t = static_cast<time_t>(unix_seconds);
  tm parts;
  gmtime_r(&t, &parts);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return buf;
}

bool ReadUtcTime(std::string_view text, double *unix_seconds) {
  if (text.size() != 20) return false;
  tm parts{};
  int n = 0;
  const std::string s(text);
  if (std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ%n", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                  &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &n) != 6 ||
      n != 20) {
    return false;
  }
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  const tm asked = parts;
  const time_t t = timegm(&parts);
  // timegm normalises 2026-02-31 into March: such a date was not a date.
  if (t == static_cast<time_t>(-1) || parts.tm_mday != asked.tm_mday || parts.tm_mon != asked.tm_mon ||
      parts.tm_hour != asked.tm_hour || parts.tm_min != asked.tm_min || parts.tm_sec != asked.tm_sec) {
    return false;
  }
  *unix_seconds = static_cast<double>(t);
  return true;
}

std::string EscapeWord(std::string_view raw) {
  std::string out;
  for (char ch : raw) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == 0x7f || c == '%') {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out;
}

bool UnescapeWord(std::string_view word, std::string *raw) {
  std::string out;
  for (std::size_t i = 0; i < word.size(); ++i) {
    const auto c = static_cast<unsigned char>(word[i]);
    if (c <= 0x20 || c == 0x7f) return false;
    if (c != '%') {
      out += word[i];
      continue;
    }
    if (i + 2 >= word.size()) return false;
    const int hi = HexDigit(word[i + 1]), lo = HexDigit(word[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  if (out.empty()) return false;
  *raw = std::move(out);
  return true;
}

bool BanList::Parse(std::string_view text, std::vector<std::string> *problems) {
  std::map<std::string, Ban, std::less<>> bans;
  const std::size_t before = problems->size();
  int number = 0;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    auto bad = [&](const std::string &what) {
      problems->push_back("line " + std::to_string(number) + ": " + what);
    };
    Ban b;
    std::string_view rest = line;
    const std::string_view user = Field(&rest), until = Field(&rest), given = Field(&rest), by = Field(&rest);
    if (!UnescapeWord(user, &b.user)) {
      bad("expected \"userID<TAB>until<TAB>given<TAB>by<TAB>reason\"");
      continue;
    }
    if (until != "never" && !ReadUtcTime(until, &b.until)) {
      bad("until is neither \"never\" nor a UTC time like 2026-12-09T15:02:41Z");
      continue;
    }
    if (!ReadUtcTime(given, &b.given)) {
      bad("given is not a UTC time like 2026-12-09T15:02:41Z");
      continue;
    }
    b.by = Clean(by, 64);
    b.reason = Clean(rest, kMaxReason);
    if (bans.count(b.user) != 0) {
      bad("userID \"" + std::string(user) + "\" banned twice");
      continue;
    }
    bans.emplace(b.user, std::move(b));
  }
  if (problems->size() != before) return false;
  bans_.swap(bans);
  return true;
}

std::string BanList::Text() const {
  std::string out = "# userID\tuntil (UTC, or never)\tgiven (UTC)\tby\treason\n";
  for (const auto &entry : bans_) {
    const Ban &b = entry.second;
    out += EscapeWord(b.user);
    out += '\t';
    out += b.until == 0 ? "never" : UtcTime(b.until);
    out += '\t';
    out += UtcTime(b.given);
    out += '\t';
    out += b.by;
    out += '\t';
    out += b.reason;
    out += '\n';
  }
  return out;
}

const Ban *BanList::Find(std::string_view user, double now) const {
  auto it = bans_.find(user);
  return it != bans_.end() && it->second.Active(now) ? &it->second : nullptr;
}

void BanList::Add(Ban ban) {
  // Texts that go into the file hold no tab or line break.
  ban.by = Clean(ban.by, 64);
  ban.reason = Clean(ban.reason, kMaxReason);
  std::string user = ban.user;
  bans_[user] = std::move(ban);
}

bool BanList::Lift(std::string_view user) {
  auto it = bans_.find(user);
  if (it == bans_.end()) return false;
  bans_.erase(it);
  return true;
}

bool BanList::Expire(double now) {
  bool any = false;
  for (auto it = bans_.begin(); it != bans_.end();) {
    if (it->second.Active(now)) {
      ++it;
    } else {
      it = bans_.erase(it);
      any = true;
    }
  }
  return any;
}

}  // namespace skytether
