#pragma once
// Numbers read as the C library reads them in the C locale, whatever locale the host process set
// (a host under a German locale must still read "1.5" as one and a half), and bytes found in
// bytes. No SDK, no sockets: the pure text rules use this.
#include <cstddef>

namespace platform {

// What strtof reads at the start of text in the C locale (blanks, sign, decimal, hexadecimal,
// "inf", "infinity", "nan", "nan(...)"); 0 when it reads nothing. text ends at its NUL.
float CStrToFloat(const char *text);
// What strtol reads in base 10 at the start of text, in the C locale; 0 when nothing.
long CStrToLong(const char *text);

// The readers behind CStrToFloat and CStrToLong where the C library has no locale-taking strtof: built on every
// system, so that it is held against the C library's own.
float ReadFloatLocaleFree(const char *text);
long ReadLongLocaleFree(const char *text);

// The first place needle occurs in data, or nullptr.
const char *FindBytes(const char *data, size_t length, const char *needle, size_t needleLength);

}  // namespace platform
