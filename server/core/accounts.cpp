#include "core/accounts.h"

#include "core/codec.h"

namespace skytether {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

// Walks the entries of an accounts file: good(number, user, password) for each good one,
// bad(message) for each malformed or duplicate one. The password is the rest of the line after
// the blanks that follow the userID, trailing blanks included: the plugin hashes it as typed.
template <typename Good, typename Bad>
void EachAccount(std::string_view text, Good good, Bad bad) {
  std::unordered_map<std::string, int> seen;
  int number = 0;
  while (!text.empty()) {
    std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
    if (Trim(line).empty() || line.front() == '#') continue;
    std::size_t gap = 0;
    while (gap < line.size() && !IsBlank(line[gap])) ++gap;
    std::string_view user = line.substr(0, gap);
    std::string_view password = line.substr(gap);
    while (!password.empty() && IsBlank(password.front())) password.remove_prefix(1);
    if (password.empty()) {
      bad("line " + std::to_string(number) + ": expected \"userID password\"");
      continue;
    }
    auto [it, fresh] = seen.emplace(std::string(user), number);
    if (!fresh) {
      bad("line " + std::to_string(number) + ": userID \"" + std::string(user) + "\" given twice (first on line " +
          std::to_string(it->second) + ")");
      continue;
    }
    good(number, user, password);
  }
}

}  // namespace

bool Accounts::Parse(std::string_view text, std::string *error) {
  passwords_.clear();
  bool ok = true;
  EachAccount(
      text,
      [this](int, std::string_view user, std::string_view password) { passwords_.emplace(user, password); },
      [&](const std::string &message) {
        if (ok) *error = message;
        ok = false;
      });
  if (!ok) passwords_.clear();
  return ok;
}

std::vector<std::string> Accounts::Problems(std::string_view text, std::vector<std::string> *notes) {
  std::vector<std::string> problems;
  EachAccount(
      text,
      [notes](int number, std::string_view, std::string_view password) {
        if (notes != nullptr && IsSpace(password.back()))
          notes->push_back("line " + std::to_string(number) +
                           ": the password ends in a blank, which is part of it");
      },
      [&](const std::string &message) { problems.push_back(message); });
  return problems;
}

bool Accounts::Check(int id, std::string_view user, std::string_view token) const {
  auto it = passwords_.find(std::string(user));
  if (it == passwords_.end()) return false;
  std::string want = LoginToken(id, user, it->second);
  if (want.size() != token.size()) return false;
  unsigned diff = 0;
  for (std::size_t i = 0; i < want.size(); ++i) diff |= static_cast<unsigned char>(want[i] ^ token[i]);
  return diff == 0;
}

}  // namespace skytether
