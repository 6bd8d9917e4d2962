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
// The sender's microseconds of a report that MatchPositionReport matched in rest: the second of
// the two time values after the eighth throttle ("|seconds|microseconds"), the last value of the
// text, written as a whole number 0..999999. False when the report does not carry them so.
bool ReportMicroseconds(std::string_view rest, const ReportFields &fields, long &micros);
// The value a text ends with, "|" and 1 to 6 digits (a final line feed aside): what
// ReportMicroseconds reads, when the text is a report that carries them. bar: where the "|" is.
bool TrailingMicroseconds(std::string_view text, long &micros, size_t *bar = nullptr);

// One message taken from the stream buffer: "(\d+)\|(\w)\|(.*?)====".
struct StreamMessage {
  int number;
  char letter;
  std::string text;
};

// Stream text is capped: text without a line break that grows past this is dropped.
constexpr size_t kStreamBufferCap = 64 * 1024;

// Appends the bytes of one read to buffer. A NUL ends its line's text: it and what follows it up
// to the read's next CR or LF are dropped, the line break and the rest of the read are kept.
// Every run of CR and LF becomes the line marker "====".
void AppendStreamText(std::string &buffer, const char *data, size_t length);

// Takes complete messages from the head of buffer, calling handle for each in order. No message
// begins with "=", so a run of "=" at the head (the end of a marker that a text's final "="
// started early) is skipped; other text at the head that does not begin a message is dropped up to
// and including the next line marker; what remains is a partial message waiting for the rest of
// its line (dropped if over the cap). searched is where the search for a marker resumes: no marker
// begins before it in buffer (0 searches all). It is kept up to date, so that over the appends and
// takes of one buffer each byte is searched once.
template <typename Handler>
void TakeStreamMessages(std::string &buffer, size_t &searched, Handler &&handle);
template <typename Handler>
void TakeStreamMessages(std::string &buffer, Handler &&handle) {
  size_t searched = 0;
  TakeStreamMessages(buffer, searched, handle);
}

// The displayed model name, "^.*\/(.*?)\.[aA][cC][fF]": the text after the last "/" and before a
// ".acf" suffix (any case), or empty when the path has no "/" or no such suffix. The view points
// into path.
std::string_view ModelDisplayNameView(std::string_view path);
std::string ModelDisplayName(const std::string &path);

// The path with "/" replaced by separator, for the first 50 "/" only; unchanged when the
// separator begins with "/".
std::string ReplaceSeparatorsWith(std::string path, const std::string &separator);

// ---- implementation of the template ----
namespace wire_detail {
// Tries to take one message at position pos; returns the position after its marker, or npos.
size_t MatchStreamMessage(const std::string &buffer, size_t pos, StreamMessage &out);
// The message whose line runs from pos to the marker at marker; false when the line does not
// begin with a header.
bool MessageOfLine(const std::string &buffer, size_t pos, size_t marker, StreamMessage &out);
// The first "====" at or after from, or npos.
size_t FindMarker(const std::string &buffer, size_t from);
}  // namespace wire_detail

template <typename Handler>
void TakeStreamMessages(std::string &buffer, size_t &searched, Handler &&handle) {
  size_t pos = 0;
  StreamMessage msg;
  for (;;) {
    while (pos < buffer.size() && buffer[pos] == '=') ++pos;
    if (pos == buffer.size()) break;
    // A header holds no "=", so the line's marker is the first one after pos.
    const size_t marker = wire_detail::FindMarker(buffer, searched > pos ? searched : pos);
    if (marker == std::string::npos) {
      // A marker may yet begin in the last three bytes.
      searched = buffer.size() > 3 ? buffer.size() - 3 : 0;
      break;
    }
    const size_t start = pos;
    pos = searched = marker + 4;
    if (wire_detail::MessageOfLine(buffer, start, marker, msg)) handle(msg);
  }
  buffer.erase(0, pos);
  searched = searched > pos ? searched - pos : 0;
  if (buffer.size() > kStreamBufferCap) {
    buffer.clear();
    searched = 0;
  }
}
