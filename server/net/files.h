#pragma once
// The server's own files: read whole, and replaced whole so that a crash leaves the old file or
// the new one, never a mix.
#include <string>

namespace skytether {

// A file that holds secrets: refused when anyone but its owner may read or change it.
bool ReadPrivateFile(const std::string &path, std::string *text, std::string *error);
// A whole file; *missing (when given) says it does not exist, which is not an error then.
bool ReadWholeFile(const std::string &path, std::string *text, std::string *error, bool *missing = nullptr);
// Writes text to PATH.new, flushes it to the disk and renames it over path.
bool ReplaceFile(const std::string &path, const std::string &text, std::string *error);

}  // namespace skytether
