#pragma once
// The ban list: user IDs that may not log in, for a time or for good, and its file. Pure: the
// file's text comes in and goes out; reading and writing it, and the clock, are the caller's.
//
// The file, one ban a line, fields separated by one tab; '#' starts a comment line:
//   userID  until  given  by  reason
// until is a UTC time (2026-12-09T15:02:41Z) or "never"; given is a UTC time; by is the name of
// the admin token that gave it; reason is the rest of the line and may be empty. Bytes of the
// userID that are blanks, control bytes or '%' are written %XX.
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace skytether {

struct Ban {
  std::string user;
  double until = 0;  // seconds since 1970; 0: for good
  double given = 0;  // seconds since 1970
  std::string by;
  std::string reason;
  bool Active(double now) const { return until == 0 || now < until; }
};

class BanList {
 public:
  // Replaces the list with the file's; false (and nothing changed) with every bad line, each
  // as "line N: what is wrong", in *problems.
  bool Parse(std::string_view text, std::vector<std::string> *problems);
  // The file's text, bans in the order of their user IDs.
  std::string Text() const;

  // The ban in force on user at time now, or nullptr.
  const Ban *Find(std::string_view user, double now) const;
  // Adds a ban, or replaces the one user had.
  void Add(Ban ban);
  // Lifts the ban on user; false when there was none.
  bool Lift(std::string_view user);
  // Forgets the bans whose time is up; true when any was.
  bool Expire(double now);
  const std::map<std::string, Ban, std::less<>> &all() const { return bans_; }

 private:
  std::map<std::string, Ban, std::less<>> bans_;
};

// "2026-12-09T15:02:41Z" for seconds since 1970, and back (false for anything else).
std::string UtcTime(double unix_seconds);
bool ReadUtcTime(std::string_view text, double *unix_seconds);
// The value of one hexadecimal digit, -1 for any other byte.
int HexDigit(char c);

// A user ID as one word of a file: blanks, control bytes and '%' as %XX. And back.
std::string EscapeWord(std::string_view raw);
bool UnescapeWord(std::string_view word, std::string *raw);

}  // namespace skytether
