#pragma once
// The text protocol between the plugin and its server: building what the plugin sends and
// recognising what the server sends. Fields are separated by "|"; nothing is escaped.
#include <string>
#include <string_view>

// ---- Plugin to server ----

// 32 lowercase hex characters: MD5 of the id in decimal, the user ID and the password, run together.
std::string LoginToken(int id, const std::string &userID, const std::string &password);
std::string BuildLoginLine(int id, const std::string &userID, const std::string &token);
std::string BuildLogoutLine(int id);
std::string BuildModelLine(int id, const std::string &path);
std::string BuildCallsignLine(int id, const std::string &callsign, bool viewOnly);
std::string BuildChatLine(int id, const std::string &text);

// The own aircraft state carried by one position line, in line order.
struct OwnState {
  float single[17];  // x y z, lat lon el, theta phi psi, 5 surfaces, 3 yoke values
  float gear[10];
  int lights[5];  // beacon landing strobe nav taxi
  float throttle[8];
  float seconds, microseconds;
};
// Replaces out with "ID|LOC" (or "ID|VOLOC") and the 42 values, without terminator.
void BuildPositionLine(std::string &out, int id, bool viewOnly, const OwnState &state);

// ---- Server to plugin ----

constexpr int kReportFieldCount = 40;

// The 40 field texts of a position report, in report order: 1-9 position and attitude, 10-17
// surfaces and yoke, 18-27 gear, 28-32 lights (one digit each), 33-40 throttles. They point into
// the text that was matched; each is followed there by "|", a final line feed or the end.
struct ReportFields {
  std::string_view field[kReportFieldCount];
};

// The datagram header "(\d+)\|(\w)\|" at the start of text: decimal digits that fit an int, "|",
// one word character, "|". On success slot and letter are set and headerLength is its length.
bool MatchDatagramHeader(std::string_view text, int &slot, char &letter, size_t &headerLength);
// The 40 fields of a position report after its header, all or nothing: 27 fields ended by "|"
// ("(.*?)\|", a field holds neither "|" nor a line feed), five one-digit lights each followed by
// "|", then eight throttles separated by "|", the last ended by "|" or the end of the text.
bool MatchPositionReport(std::string_view rest, ReportFields &out);

// One message taken from the stream buffer: "(\d+)\|(\w)\|(.*?)====".
struct StreamMessage {
  int number;
  char letter;
  std::string text;
};

// Stream text is capped: text without a line break that grows past this is dropped.
constexpr size_t kStreamBufferCap = 64 * 1024;

// Appends received bytes to buffer, turning every run of CR and LF into the line marker "====".
void AppendStreamText(std::string &buffer, const char *data, size_t length);

// Takes complete messages from the head of buffer, calling handle for each in order. Text at the
// head that does not begin a message is dropped up to and including the next line marker; what
// remains is a partial message waiting for the rest of its line (dropped if over the cap).
template <typename Handler>
void TakeStreamMessages(std::string &buffer, Handler &&handle);

// The displayed model name: the text after the last "/" and before a ".acf" suffix (any case), or
// empty when the path has no "/" or no such suffix.
std::string ModelDisplayName(const std::string &path);

// The path with "/" replaced by separator, for the first 50 "/" only; unchanged when the
// separator begins with "/".
std::string ReplaceSeparatorsWith(std::string path, const std::string &separator);

// ---- implementation of the template ----
namespace wire_detail {
// Tries to take one message at position pos; returns the position after its marker, or npos.
size_t MatchStreamMessage(const std::string &buffer, size_t pos, StreamMessage &out);
}  // namespace wire_detail

template <typename Handler>
void TakeStreamMessages(std::string &buffer, Handler &&handle) {
  size_t pos = 0;
  StreamMessage msg;
  while (pos < buffer.size()) {
    size_t next = wire_detail::MatchStreamMessage(buffer, pos, msg);
    if (next != std::string::npos) {
      pos = next;
      handle(msg);
      continue;
    }
    // Not a message: skip to just past the next marker, or wait for more text.
    size_t marker = buffer.find("====", pos);
    if (marker == std::string::npos) break;
    pos = marker + 4;
  }
  buffer.erase(0, pos);
  if (buffer.size() > kStreamBufferCap) buffer.clear();
}
