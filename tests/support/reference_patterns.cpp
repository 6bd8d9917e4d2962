#include "reference_patterns.h"

#include <pcrecpp.h>

namespace reference {

bool MatchDatagramHeader(const std::string &text, int &slot, std::string &letter, std::string &rest) {
  static const pcrecpp::RE header("(\\d+)\\|(\\w)\\|");
  pcrecpp::StringPiece input(text);
  if (!header.Consume(&input, &slot, &letter)) return false;
  rest.assign(input.data(), size_t(input.size()));
  return true;
}

bool MatchPositionReport(const std::string &rest, std::string f[40]) {
  static const pcrecpp::RE position("(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|");
  static const pcrecpp::RE surfaces("(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|");
  static const pcrecpp::RE gear("(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|");
  static const pcrecpp::RE lights("(\\d)\\|(\\d)\\|(\\d)\\|(\\d)\\|(\\d)\\|");
  static const pcrecpp::RE throttles("(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)\\|(.*?)(?:\\||$)");
  pcrecpp::StringPiece input(rest);
  return position.Consume(&input, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &f[7], &f[8]) &&
         surfaces.Consume(&input, &f[9], &f[10], &f[11], &f[12], &f[13], &f[14], &f[15], &f[16]) &&
         gear.Consume(&input, &f[17], &f[18], &f[19], &f[20], &f[21], &f[22], &f[23], &f[24], &f[25], &f[26]) &&
         lights.Consume(&input, &f[27], &f[28], &f[29], &f[30], &f[31]) &&
         throttles.Consume(&input, &f[32], &f[33], &f[34], &f[35], &f[36], &f[37], &f[38], &f[39]);
}

bool MatchStreamMessage(const std::string &text, int &number, std::string &letter, std::string &body,
                        std::string &rest) {
  static const pcrecpp::RE message("(\\d+)\\|(\\w)\\|(.*?)(====)");
  pcrecpp::StringPiece input(text);
  std::string marker;
  if (!message.Consume(&input, &number, &letter, &body, &marker)) return false;
  rest.assign(input.data(), size_t(input.size()));
  return true;
}

std::vector<std::pair<std::string, std::string>> PreferencePairs(const std::string &text) {
  static const pcrecpp::RE pair("(.*?)\\=(.*?)\\;");
  pcrecpp::StringPiece input(text);
  std::vector<std::pair<std::string, std::string>> pairs;
  std::string key, value;
  while (pair.Consume(&input, &key, &value)) pairs.emplace_back(key, value);
  return pairs;
}

std::string ModelDisplayName(const std::string &path) {
  static const pcrecpp::RE display("^.*\\/(.*?)\\.[aA][cC][fF]");
  std::string name;
  if (!display.PartialMatch(path, &name)) name.clear();
  return name;
}

std::string MarkLineBreaks(std::string text) {
  static const pcrecpp::RE lineBreaks("[\\n\\r]+");
  lineBreaks.GlobalReplace("====", &text);
  return text;
}

std::string WithoutNulTails(std::string text) {
  static const pcrecpp::RE nulTail("\\x00[^\\r\\n]*");
  nulTail.GlobalReplace("", &text);
  return text;
}

}  // namespace reference
