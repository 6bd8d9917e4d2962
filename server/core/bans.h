#pragma once
// The ban list: user IDs that may not log in, for a time or for good, and its file. Pure: the
// file's text comes in and goes out; reading and writing it, and the clock, are the caller's.
//
// The file, one ban a line, fields separated by one tab; '#' starts a comment line:
//   userID  until  given  by  reason  [held]
// until is a UTC time (2026-12-09T15:02:41Z) or "never"; given is a UTC time; by is the name of
// the admin token that gave it; reason may be empty. Bytes of the userID that are blanks, control
// bytes or '%' are written %XX. held, on a server without accounts, lists what the ban holds
// besides the user ID, blank between: "ip=ADDRESS" and "id=UNIQUEID" words.
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/address.h"

namespace skytether {

struct Ban {
  std::string user;
  double until = 0;  // seconds since 1970; 0: for good
  double given = 0;  // seconds since 1970
  std::string by;
  std::string reason;
  std::vector<IpAddr> addresses;  // held with it on a server without accounts
  std::vector<int> ids;           // the same, uniqueIDs
  bool Active(double now) const { return until == 0 || now < until; }
};

// Bans by the key of their user ID, with an index of their addresses and uniqueIDs and one of
// their ends, so that a login is checked, a ban added or lifted and the expired ones dropped in
// time that grows with the log of the list's length, never with the length.
class BanList {
 public:
  // folded: user IDs are compared as FoldUser folds them (a server without accounts, where
  // nothing tells "alice" from "ALICE " but the name itself).
  explicit BanList(bool folded = false) : folded_(folded) {}
  bool folded() const { return folded_; }
  // The key a user ID is kept under.
  std::string Key(std::string_view user) const;

  // Replaces the list with the file's; false (and nothing changed) with every bad line, each
  // as "line N: what is wrong", in *problems. A leading UTF-8 byte order mark is skipped. Two
  // lines whose user IDs fold alike: the one that ends later holds.
  bool Parse(std::string_view text, std::vector<std::string> *problems);
  // The file's text, bans in the order of their keys.
  std::string Text() const;

  // The ban in force at time now on a login of user from address with uniqueID id (no address
  // and id < 0: on the user ID alone), or nullptr.
  const Ban *Find(std::string_view user, const IpAddr *address, int id, double now) const;
  const Ban *Find(std::string_view user, double now) const { return Find(user, nullptr, -1, now); }
  // Adds a ban, or replaces the one its user ID had.
  void Add(Ban ban);
  // Lifts the ban on user (with what it holds); false when there was none.
  bool Lift(std::string_view user);
  // Forgets the bans whose time is up; true when any was.
  bool Expire(double now);
  std::size_t size() const { return bans_.size(); }
  // Up to limit bans whose keys come after `after` (all from the first when empty), in key order.
  std::vector<const Ban *> Page(std::string_view after, std::size_t limit) const;

 private:
  void Erase(std::map<std::string, Ban, std::less<>>::iterator it);

  bool folded_;
  std::map<std::string, Ban, std::less<>> bans_;  // by key
  std::unordered_multimap<IpAddr, std::string, IpAddr::Hash> by_address_;
  std::unordered_multimap<int, std::string> by_id_;
  std::set<std::pair<double, std::string>> ends_;  // timed bans by their end
};

// A user ID as a server without accounts tells users apart: ASCII letters in lower case, blanks
// (spaces and tabs) left out.
std::string FoldUser(std::string_view user);

// "2026-12-09T15:02:41Z" for seconds since 1970, and back (false for anything else).
std::string UtcTime(double unix_seconds);
bool ReadUtcTime(std::string_view text, double *unix_seconds);
// The value of one hexadecimal digit, -1 for any other byte.
int HexDigit(char c);

// A user ID as one word of a file: blanks, control bytes and '%' as %XX. And back.
std::string EscapeWord(std::string_view raw);
bool UnescapeWord(std::string_view word, std::string *raw);

}  // namespace skytether
