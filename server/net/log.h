#pragma once
// The event log: one line per event on stderr, with a UTC timestamp.
#include <string>

namespace skytether {

// Safe from any thread: each line reaches the log whole.
void LogLine(const std::string &line);

}  // namespace skytether
