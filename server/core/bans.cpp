#include "core/bans.h"

#include <cstdio>
#include <cstdlib>
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

std::string FoldUser(std::string_view user) {
  std::string out;
  for (char c : user) {
    if (c == ' ' || c == '\t') continue;
    out += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return out;
}

std::string BanList::Key(std::string_view user) const {
  return folded_ ? FoldUser(user) : std::string(user);
}

bool BanList::Parse(std::string_view text, std::vector<std::string> *problems) {
  BanList read(folded_);
  const std::size_t before = problems->size();
  // A file saved by an editor that marks UTF-8: the mark is not part of the first user ID.
  if (text.substr(0, 3) == "\xef\xbb\xbf") text.remove_prefix(3);
  std::map<std::string, int, std::less<>> lines;  // key: its line
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
    const std::string_view user = Field(&rest), until = Field(&rest), given = Field(&rest), by = Field(&rest),
                           reason = Field(&rest);
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
    // (An until of 1970 would read as "never" otherwise.)
    if (until != "never" && b.until <= b.given) {
      bad("until is not after given: a ban for good says never");
      continue;
    }
    b.by = Clean(by, 64);
    b.reason = Clean(reason, kMaxReason);
    bool held_ok = true;
    while (!rest.empty() && held_ok) {
      const std::size_t blank = rest.find(' ');
      const std::string_view word = rest.substr(0, blank);
      rest.remove_prefix(blank == std::string_view::npos ? rest.size() : blank + 1);
      if (word.empty()) continue;
      IpAddr a;
      char *end = nullptr;
      const std::string number_text(word.substr(word.rfind('=') + 1));
      const long id = std::strtol(number_text.c_str(), &end, 10);
      if (word.substr(0, 3) == "ip=" && IpAddr::Parse(word.substr(3), &a)) {
        b.addresses.push_back(a);
      } else if (word.substr(0, 3) == "id=" && word.size() > 3 && *end == '\0' && id >= 0 && id <= 2147483647L &&
                 number_text.find_first_not_of("0123456789") == std::string::npos) {
        b.ids.push_back(static_cast<int>(id));
      } else {
        held_ok = false;
      }
    }
    if (!held_ok) {
      bad("what the ban holds reads as \"ip=ADDRESS\" and \"id=UNIQUEID\" words, one blank between");
      continue;
    }
    const std::string key = read.Key(b.user);
    auto seen = lines.find(key);
    if (seen != lines.end()) {
      if (!folded_) {
        bad("userID \"" + std::string(user) + "\" banned twice (first on line " + std::to_string(seen->second) + ")");
        continue;
      }
      // User IDs that fold alike, kept apart by a server that told them apart: the longer ban holds.
      const Ban &other = read.bans_.find(key)->second;
      if (other.until == 0 || (b.until != 0 && b.until <= other.until)) continue;
    }
    lines[key] = number;
    read.Add(std::move(b));
  }
  if (problems->size() != before) return false;
  *this = std::move(read);
  return true;
}

std::string BanList::Text() const {
  std::string out = "# userID\tuntil (UTC, or never)\tgiven (UTC)\tby\treason\tip=ADDRESS id=UNIQUEID it holds too\n";
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
    if (!b.addresses.empty() || !b.ids.empty()) {
      out += '\t';
      std::string held;
      for (const IpAddr &a : b.addresses) held += (held.empty() ? "ip=" : " ip=") + a.ToString();
      for (int id : b.ids) held += (held.empty() ? "id=" : " id=") + std::to_string(id);
      out += held;
    }
    out += '\n';
  }
  return out;
}

const Ban *BanList::Find(std::string_view user, const IpAddr *address, int id, double now) const {
  auto it = bans_.find(Key(user));
  if (it != bans_.end() && it->second.Active(now)) return &it->second;
  auto active = [&](const std::string &key) -> const Ban * {
    auto b = bans_.find(key);
    return b != bans_.end() && b->second.Active(now) ? &b->second : nullptr;
  };
  if (address != nullptr) {
    for (auto [i, end] = by_address_.equal_range(*address); i != end; ++i) {
      if (const Ban *b = active(i->second)) return b;
    }
  }
  if (id >= 0) {
    for (auto [i, end] = by_id_.equal_range(id); i != end; ++i) {
      if (const Ban *b = active(i->second)) return b;
    }
  }
  return nullptr;
}

void BanList::Add(Ban ban) {
  // Texts that go into the file hold no tab or line break.
  ban.by = Clean(ban.by, 64);
  ban.reason = Clean(ban.reason, kMaxReason);
  std::string key = Key(ban.user);
  auto old = bans_.find(key);
  if (old != bans_.end()) Erase(old);
  for (const IpAddr &a : ban.addresses) by_address_.emplace(a, key);
  for (int id : ban.ids) by_id_.emplace(id, key);
  if (ban.until != 0) ends_.emplace(ban.until, key);
  bans_.emplace(std::move(key), std::move(ban));
}

void BanList::Erase(std::map<std::string, Ban, std::less<>>::iterator it) {
  const std::string &key = it->first;
  const Ban &b = it->second;
  for (const IpAddr &a : b.addresses) {
    for (auto [i, end] = by_address_.equal_range(a); i != end; ++i) {
      if (i->second == key) {
        by_address_.erase(i);
        break;
      }
    }
  }
  for (int id : b.ids) {
    for (auto [i, end] = by_id_.equal_range(id); i != end; ++i) {
      if (i->second == key) {
        by_id_.erase(i);
        break;
      }
    }
  }
  if (b.until != 0) ends_.erase({b.until, key});
  bans_.erase(it);
}

bool BanList::Lift(std::string_view user) {
  auto it = bans_.find(Key(user));
  if (it == bans_.end()) return false;
  Erase(it);
  return true;
}

bool BanList::Expire(double now) {
  bool any = false;
  while (!ends_.empty() && ends_.begin()->first <= now) {
    auto it = bans_.find(ends_.begin()->second);
    if (it == bans_.end()) {
      ends_.erase(ends_.begin());
      continue;
    }
    Erase(it);
    any = true;
  }
  return any;
}

std::vector<const Ban *> BanList::Page(std::string_view after, std::size_t limit) const {
  std::vector<const Ban *> out;
  for (auto it = after.empty() ? bans_.begin() : bans_.upper_bound(after); it != bans_.end() && out.size() < limit;
       ++it)
    out.push_back(&it->second);
  return out;
}

}  // namespace skytether
