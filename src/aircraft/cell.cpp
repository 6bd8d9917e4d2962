#include "aircraft/cell.h"

#include <pcrecpp.h>

std::string WholeDegreeText(const std::string &text) {
  static const pcrecpp::RE wholeDegree("(.*?\\d+)\\.");
  std::string out;
  if (!wholeDegree.PartialMatch(text, &out)) out.clear();
  return out;
}
