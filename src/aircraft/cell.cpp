#include "aircraft/cell.h"

// The first "." that directly follows a digit ends the whole-degree text; it starts after the last
// line feed before that point (the first match of "(.*?\d+)\." in a text, whose "." stops at a
// line feed).
std::string_view WholeDegreeView(std::string_view text) {
  for (size_t at = 1; at < text.size(); ++at) {
    if (text[at] == '.' && text[at - 1] >= '0' && text[at - 1] <= '9') {
      size_t lineFeed = text.rfind('\n', at);
      size_t start = lineFeed == std::string_view::npos ? 0 : lineFeed + 1;
      return text.substr(start, at - start);
    }
  }
  return std::string_view();
}

std::string WholeDegreeText(const std::string &text) { return std::string(WholeDegreeView(text)); }
