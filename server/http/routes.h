#pragma once
// The operator's window: the status page, the JSON feed and the Prometheus metrics, answered
// from the latest snapshot on the board.
#include "core/admin.h"
#include "core/status.h"
#include "http/server.h"

namespace skytether {

// The status page: one self-contained document, no external resources.
extern const char kStatusPage[];

// "/", "/v1/status.json", "/v1/whazzup.txt" and "/metrics" (with the admin figures when given).
void AddStatusRoutes(HttpServer &server, const StatusBoard &board, const AdminCounters *admin = nullptr);

}  // namespace skytether
