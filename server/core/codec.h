#pragma once
// Wire codec: bytes in, messages out, and the texts the server sends back.
// Pure functions only: no sockets, no clocks, no global state.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace skytether {

constexpr int kPort = 49556;
// A stream line, terminator included, may not be longer than this.
constexpr std::size_t kMaxLine = 4096;
// A datagram longer than this is refused; it also keeps every report we relay
// inside the 1400-byte receive area of the plugin (our header is shorter than "ID|LOC|").
constexpr std::size_t kMaxDatagram = 1400;
// Slot 0 is the recipient's own aircraft; others go in 1..kSlots-1.
constexpr int kSlots = 20;
constexpr int kPositionValues = 42;

constexpr std::size_t kMaxCallsign = 31;
constexpr std::size_t kMaxChat = 200;
// A host writes model paths of up to 511 bytes; the plugin sends them whole.
constexpr std::size_t kMaxPath = 511;
// Node names and identities (letters, digits, '.', '-', '_').
constexpr std::size_t kMaxNodeName = 64;

// ---- stream line splitting ----

enum class SplitResult { kGood, kBad, kNeedMore };

// Looks for the first complete line at the head of buf.
// kGood: *line is the line without its LF and trailing CRs, *consumed the bytes to drop.
// kBad: the line is over kMaxLine (terminated or not); *consumed covers what was seen.
// kNeedMore: no terminator yet and still within the limit; nothing consumed.
SplitResult SplitLine(std::string_view buf, std::string_view *line, std::size_t *consumed);

// ---- client stream messages ----

enum class LineKind {
  kLogin,       // ID|Opening Connection|userID|TOKEN|
  kLogout,      // ID|Closing Connection
  kModel,       // ID|PLANE|path
  kCallsign,    // ID|CALLSIGN|callsign|
  kVoCallsign,  // ID|VOCALLSIGN|callsign|
  kChat,        // ID|MESSAGE|text
  kUnknown,     // well-formed ID, keyword we do not know
  kMalformed,   // anything else
};

struct ClientLine {
  LineKind kind = LineKind::kMalformed;
  int id = -1;
  std::string_view user;   // login
  std::string_view token;  // login
  std::string_view text;   // callsign, chat text, model path (raw, not yet cleaned)
};

// Views in the result point into line.
ClientLine ParseClientLine(std::string_view line);

// Reads a non-negative decimal int ("%d" of a uniqueID); false on anything else.
bool ParseId(std::string_view s, int *out);

// ---- client datagrams ----

struct Position {
  int id = -1;
  bool observer = false;     // VOLOC
  std::string_view values;   // the 42 values as sent, after "ID|LOC|"
  double latitude = 0;
  double longitude = 0;
  // Elevation (meters) and heading (psi, degrees true) as sent: read only when someone asks.
  std::string_view elevation, heading;
  // As sent, for the change rule: latitude, longitude, elevation, pitch, roll, heading; the 31
  // controls (surfaces and yoke, gear, lights, throttles) as one text; the sender's microseconds.
  std::string_view motion[6];
  std::string_view controls;
  std::string_view micros;
  // The same numbers as read (as from_chars reads them; an angle too small for a double as 0, such
  // microseconds as -1), and the significant digits of the latitude and longitude texts (every digit
  // from the first nonzero one on, any exponent apart).
  double motion_values[6] = {};
  int degree_digits[2] = {};
  double micros_value = -1;
};

// Checks a whole position datagram: keyword, exactly 42 values, each a plain decimal
// number within the float range, the five lights single digits, latitude and longitude in range.
// Nothing is written to *out unless it returns true.
bool ParsePosition(std::string_view datagram, Position *out);

// A plain decimal number as "%.9g" writes it (no nan/inf, no hex, no spaces).
bool IsDecimalNumber(std::string_view s);
// Reads such a number (a leading '+' allowed) whatever the locale; false unless all of s is read.
bool ReadDecimal(std::string_view s, double *out);

// ---- texts relayed to clients ----

// Removes control bytes (CR, LF, NUL...), shortens runs of '=' so "====" never appears,
// caps the length at max_len bytes, and puts a blank after a final '=' (the plugin's line
// marker follows the text).
std::string SanitizeText(std::string_view text, std::size_t max_len);

// The model path as other pilots should open it: "\" becomes "/", and a path with an
// "Aircraft" directory is cut to start there. Empty when the path is unusable (empty, not a
// .acf file, a ".." component, or still absolute after the cut: a leading "/", which covers
// "//" and "\\" shares, or a drive letter); the result is sanitized and capped.
std::string RelativeModelPath(std::string_view path);

// "N|c|callsign\n" ("BLANK" when empty), "N|p|path\n" ("BLANK" when empty), "0|m|text\n".
std::string CallsignNotice(int slot, std::string_view callsign);
std::string ModelNotice(int slot, std::string_view path);
std::string ChatNotice(std::string_view text);

// "N|l|" for slots 0..19: the header that goes in front of relayed values.
std::string_view ReportHeader(int slot);

// ---- login token ----

// Lowercase hex MD5 of uniqueID in decimal + userID + password.
std::string LoginToken(int id, std::string_view user, std::string_view password);

}  // namespace skytether
