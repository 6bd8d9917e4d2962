#include "core/counters.h"

namespace skytether {
namespace {

struct Names {
  const char *log;
  const char *label;
};

// In the order of Drop; a kind added there without a line here does not compile.
constexpr Names kDrops[] = {
    {"over-long stream line", "long_line"},
    {"malformed stream line", "malformed_line"},
    {"unknown keyword", "unknown_keyword"},
    {"line before login", "before_login"},
    {"line with another uniqueID", "wrong_id"},
    {"repeated login", "repeat_login"},
    {"chat over the flood limit", "chat_flood"},
    {"chat while the chat queue is full", "chat_queue_full"},
    {"stream line over the rate limit", "line_flood"},
    {"malformed datagram", "bad_datagram"},
    {"datagram from a stranger", "stranger"},
    {"stale datagram", "stale"},
    {"unusable model path", "model_path"},
    {"view-only datagram from a pilot", "view_only_datagram"},
    {"datagram from another port", "other_port"},
    {"chat of a muted pilot", "muted"},
    {"position over its pilot's rate", "position_rate"},
};
static_assert(sizeof kDrops / sizeof kDrops[0] == kDropKinds, "a line per kind of Drop");

constexpr const char *kEvents[] = {
    "login",
    "logout",
    "refused login",
    "session replaced",
    "slot given or freed",
    "view change",
    "datagram address",
    "announcement held back",
    "connection closed before login",
    "connection cut",
    "accept failed",
    "admin request refused",
    "position rate",
    "cluster node",
};
static_assert(sizeof kEvents / sizeof kEvents[0] == kEventKinds, "a name per kind of Event");

}  // namespace

const char *DropName(Drop d) {
  const auto k = static_cast<std::size_t>(d);
  return k < kDropKinds ? kDrops[k].log : "?";
}

const char *DropLabel(Drop d) {
  const auto k = static_cast<std::size_t>(d);
  return k < kDropKinds ? kDrops[k].label : "?";
}

const char *EventName(Event e) {
  const auto k = static_cast<std::size_t>(e);
  return k < kEventKinds ? kEvents[k] : "?";
}

}  // namespace skytether
