#pragma once
// The plain-text feed that map and tracking tools for private servers read (the whazzup-style
// layout): sections opened by "!NAME:" lines, a header of "KEY = value" lines, then one line per
// pilot and one per server, fields separated by ':'. Pure: made from the status snapshot.
#include <string>

#include "core/status.h"

namespace skytether {

// The layout's version, in its VERSION line.
constexpr int kFeedTextVersion = 1;
// Fields of a client line; see README's "plain-text feed".
constexpr int kFeedTextClientFields = 41;

std::string FeedText(const StatusSnapshot &s);

}  // namespace skytether
