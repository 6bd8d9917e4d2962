#pragma once
#include <string>
#include <string_view>

// The whole-degree text of a number text: everything before the first "." that directly follows a
// digit ("47.45" gives "47", "-0.5" gives "-0"); empty when there is no such "." ("47", "5e-05").
std::string WholeDegreeText(const std::string &text);
// The same, as a part of text.
std::string_view WholeDegreeView(std::string_view text);
