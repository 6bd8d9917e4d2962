#pragma once
// Login credentials: "userID password" per line, '#' comments, blank lines. Pure: the text of
// the file comes in, reading it (and its permissions) is the caller's.
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace skytether {

class Accounts {
 public:
  // False with a message naming the line on a malformed or duplicate entry.
  bool Parse(std::string_view text, std::string *error);
  // Every malformed or duplicate entry, each as "line N: what is wrong"; empty for a good file.
  // Passwords that end in a blank (easily typed by mistake) are listed in *notes.
  static std::vector<std::string> Problems(std::string_view text, std::vector<std::string> *notes = nullptr);
  // The token is the lowercase hex MD5 of uniqueID, userID and password (LoginToken).
  bool Check(int id, std::string_view user, std::string_view token) const;
  std::size_t size() const { return passwords_.size(); }
  bool Has(std::string_view user) const { return passwords_.count(std::string(user)) != 0; }

 private:
  std::unordered_map<std::string, std::string> passwords_;
};

}  // namespace skytether
