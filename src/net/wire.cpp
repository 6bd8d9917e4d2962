#include "net/wire.h"

#include <pcrecpp.h>

#include "support/md5.h"
#include "support/strings.h"

std::string LoginToken(int id, const std::string &userID, const std::string &password) {
  std::string text;
  AddIntToString(text, "", id);
  text += userID;
  text += password;
  return Md5Hex(text);
}

std::string BuildLoginLine(int id, const std::string &userID, const std::string &token) {
  std::string line;
  AddIntToString(line, "", id);
  line += "|Opening Connection|" + userID + "|" + token + "|\n";
  return line;
}

std::string BuildLogoutLine(int id) {
  std::string line;
  AddIntToString(line, "", id);
  line += "|Closing Connection\n";
  return line;
}

std::string BuildModelLine(int id, const std::string &path) {
  std::string line;
  AddIntToString(line, "", id);
  line += "|PLANE|" + path + "\n";
  return line;
}

std::string BuildCallsignLine(int id, const std::string &callsign, bool viewOnly) {
  std::string line;
  AddIntToString(line, "", id);
  line += viewOnly ? "|VOCALLSIGN|" : "|CALLSIGN|";
  line += callsign + "|\n";
  return line;
}

std::string BuildChatLine(int id, const std::string &text) {
  std::string line;
  AddIntToString(line, "", id);
  line += "|MESSAGE|" + text + "\n";
  return line;
}

void BuildPositionLine(std::string &out, int id, bool viewOnly, const OwnState &s) {
  out.clear();
  AddIntToString(out, "", id);
  out += viewOnly ? "|VOLOC" : "|LOC";
  for (float v : s.single) AddFloatToString(out, "|", v);
  for (float v : s.gear) AddFloatToString(out, "|", v);
  for (int v : s.lights) AddIntToString(out, "|", v);
  for (float v : s.throttle) AddFloatToString(out, "|", v);
  AddFloatToString(out, "|", s.seconds);
  AddFloatToString(out, "|", s.microseconds);
}

bool MatchDatagramHeader(const std::string &text, int &slot, std::string &letter, std::string &rest) {
  static const pcrecpp::RE header("(\\d+)\\|(\\w)\\|");
  pcrecpp::StringPiece input(text);
  if (!header.Consume(&input, &slot, &letter)) return false;
  rest.assign(input.data(), input.size());
  return true;
}

bool MatchPositionReport(const std::string &rest, ReportFields &out) {
  static const pcrecpp::RE position(
      "(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|");
  static const pcrecpp::RE surfaces("(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|");
  static const pcrecpp::RE gear(
      "(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|");
  static const pcrecpp::RE lights("(\\d)\\|(\\d)\\|(\\d)\\|(\\d)\\|(\\d)\\|");
  static const pcrecpp::RE throttles(
      "(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)(?:\\||$)");

  std::string *f = out.field;
  pcrecpp::StringPiece input(rest);
  return position.Consume(&input, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &f[7], &f[8]) &&
         surfaces.Consume(&input, &f[9], &f[10], &f[11], &f[12], &f[13], &f[14], &f[15], &f[16]) &&
         gear.Consume(&input, &f[17], &f[18], &f[19], &f[20], &f[21], &f[22], &f[23], &f[24], &f[25], &f[26]) &&
         lights.Consume(&input, &f[27], &f[28], &f[29], &f[30], &f[31]) &&
         throttles.Consume(&input, &f[32], &f[33], &f[34], &f[35], &f[36], &f[37], &f[38], &f[39]);
}

void AppendStreamText(std::string &buffer, const char *data, size_t length) {
  // Runs of CR/LF become one marker. A run split across two reads yields two adjacent markers,
  // which the reader skips as an empty line.
  bool inRun = false;
  for (size_t i = 0; i < length; ++i) {
    char c = data[i];
    if (c == '\r' || c == '\n') {
      if (!inRun) buffer += "====";
      inRun = true;
    } else {
      buffer += c;
      inRun = false;
    }
  }
}

namespace wire_detail {
size_t MatchStreamMessage(const std::string &buffer, size_t pos, StreamMessage &out) {
  static const pcrecpp::RE message("(\\d+)\\|(\\w)\\|(.*?)(====)");
  pcrecpp::StringPiece input(buffer.data() + pos, int(buffer.size() - pos));
  if (!message.Consume(&input, &out.number, &out.letter, &out.text)) return std::string::npos;
  return size_t(input.data() - buffer.data());
}
}  // namespace wire_detail

std::string ModelDisplayName(const std::string &path) {
  static const pcrecpp::RE display("^.*\\/(.*?)\\.[aA][cC][fF]");
  std::string name;
  if (!display.PartialMatch(path, &name)) name.clear();
  return name;
}

std::string ReplaceSeparatorsWith(std::string path, const std::string &separator) {
  if (!separator.empty() && separator[0] == '/') return path;
  for (int i = 0; i < 50; ++i) {
    size_t at = path.find('/');
    if (at == std::string::npos) break;
    path.replace(at, 1, separator);
  }
  return path;
}
