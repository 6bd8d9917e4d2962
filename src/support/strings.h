#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// Room for any text WriteIntText or WriteFloatText writes.
constexpr std::size_t kNumberTextMax = 32;

// Writes value as "%d" at out; returns the end of the text (not terminated).
char *WriteIntText(char *out, int value);
// Writes value widened to double as "%.9g" at out; returns the end of the text (not terminated).
char *WriteFloatText(char *out, float value);

// Appends prefix, then value as "%d".
void AddIntToString(std::string &s, const char *prefix, int value);
// Numbers are read and written in the C locale, whatever the process's LC_NUMERIC.
// The leading decimal integer of the text, 0 if there is none.
int stringtoi(const std::string &s);
// The text read as a single-precision float, 0 if it does not begin with a number.
float stringtof(const std::string &s);
// What strtof reads at the start of text in the C locale, as if the text ended there; 0 when it
// reads nothing.
float ReadFloatText(std::string_view text);

// The text cut to at most max bytes, never inside a UTF-8 character; a text that is not UTF-8
// there is cut at max.
std::string_view CutAtCharacter(std::string_view text, std::size_t max);

