#pragma once
#include <string>

// Appends prefix, then value as "%d".
void AddIntToString(std::string &s, const char *prefix, int value);
// Appends prefix, then value widened to double as "%.9g".
void AddFloatToString(std::string &s, const char *prefix, float value);
// The leading decimal integer of the text, 0 if there is none.
int stringtoi(const std::string &s);
// The text read as a single-precision float, 0 if it does not begin with a number.
float stringtof(const std::string &s);

// Formats with printf rules into a string; the compiler checks the format.
std::string StringPrintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
