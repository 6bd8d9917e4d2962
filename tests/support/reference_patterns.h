#pragma once
// The message patterns as regular expressions: the definition the hand-written matchers of the
// plugin must agree with, byte for byte.
#include <string>
#include <utility>
#include <vector>

namespace reference {

bool MatchDatagramHeader(const std::string &text, int &slot, std::string &letter, std::string &rest);
bool MatchPositionReport(const std::string &rest, std::string field[40]);
// One stream message at the start of text; rest is what follows its marker.
bool MatchStreamMessage(const std::string &text, int &number, std::string &letter, std::string &body,
                        std::string &rest);
// The preferences file's pairs, in order, up to the first place none matches.
std::vector<std::pair<std::string, std::string>> PreferencePairs(const std::string &text);
// The displayed model name of a model notice's path.
std::string ModelDisplayName(const std::string &path);
// Every run of CR and LF replaced by the line marker.
std::string MarkLineBreaks(std::string text);
// The text of one read: each NUL removed with what follows it up to the next CR or LF.
std::string WithoutNulTails(std::string text);

}  // namespace reference
