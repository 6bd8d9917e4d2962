#pragma once
// The operator's controls as the core knows them: the admin tokens, the actions an operator
// asks for (and that cluster nodes pass on to each other), and the request forms they arrive in.
// Pure: texts in, texts out.
#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace skytether {

// The admin token file: "name token" per line, '#' comments, blank lines. The name says in the
// log who acted; the token is one word of at least kMinTokenLength bytes, at least kMinTokenBytes
// of them different (what a token made at random has, and one typed by hand may not).
class AdminTokens {
 public:
  static constexpr std::size_t kMinTokenLength = 16;
  static constexpr std::size_t kMinTokenBytes = 16;
  // Replaces the tokens with the file's; false (nothing changed) with every bad line, each as
  // "line N: what is wrong", in *problems.
  bool Parse(std::string_view text, std::vector<std::string> *problems);
  // The name of the token presented, or nullptr. Every token is compared, each byte by byte
  // without an early end, so the time taken does not tell how much of a token was right.
  const std::string *NameOf(std::string_view presented) const;
  std::size_t size() const { return tokens_.size(); }

 private:
  std::vector<std::pair<std::string, std::string>> tokens_;  // name, token
};

// True when a equals b; the time taken depends on a's length only.
bool SameSecret(std::string_view a, std::string_view b);

struct AdminAction {
  enum class Kind { kKick, kBan, kUnban, kMute, kUnmute, kReloadAccounts };
  Kind kind = Kind::kKick;
  int id = -1;         // the pilot's uniqueID; -1: by user ID
  std::string user;    // the user ID as the pilot logs in with it; empty: by uniqueID
  double seconds = 0;  // ban and mute: how long; 0 for good (a mute: until lifted or a restart)
  std::string reason;
  std::string by;  // the admin token's name, or the node that passed it on
};

const char *ActionName(AdminAction::Kind kind);
bool ActionOf(std::string_view name, AdminAction::Kind *kind);

// A form body (or query): "a=1&b=x+y%21". False for a malformed escape or a name given twice.
bool ParseForm(std::string_view text, std::map<std::string, std::string> *out);
// "90", "90s", "30m", "2h", "7d" (at most a year) into seconds; "" or "0" or "never": 0, for good.
bool ParseDuration(std::string_view text, double *seconds);
// The action named `kind` from a request's form; false with what is wrong.
bool ActionFromForm(AdminAction::Kind kind, const std::map<std::string, std::string> &form, AdminAction *out,
                    std::string *error);
// "kick 1111", "ban user alice for 3600 s: reason", for the log.
std::string Describe(const AdminAction &a);

// What the admin side counts; read by the metrics on another thread.
struct AdminCounters {
  std::atomic<std::uint64_t> actions{0};        // actions carried out here (asked here or by another node)
  std::atomic<std::uint64_t> unauthorized{0};   // requests without a valid token (401)
  std::atomic<std::uint64_t> banned_logins{0};  // logins refused for a ban
};

}  // namespace skytether
