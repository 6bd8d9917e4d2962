#pragma once
// The operator's controls over HTTP, on an address of their own (--admin-http): every request
// carries an admin token (Authorization: Bearer); actions are POSTed as forms, lists are read
// with GET. What they ask is carried out by the AdminDesk where the registry lives.
#include "core/admin.h"
#include "core/operator.h"
#include "http/server.h"

namespace skytether {

// The admin address's limits (the HTTP side's, with a small form body, POST, connections per
// address, the Host checked) and its credentials, the tokens: a request without a valid one
// never spends a valid one's allowance. Keeps the trusted proxies already named.
void UseAdminLimits(HttpOptions *options, const AdminTokens &tokens);

// POST /v1/admin/{kick,ban,unban,mute,unmute,reload-accounts}, GET /v1/admin/{bans,pilots}.
void AddAdminRoutes(HttpServer &server, const AdminTokens &tokens, AdminDesk &desk, AdminCounters &counters);

// The admin figures in the metrics' text format.
std::string AdminMetricsText(const AdminCounters &counters);

}  // namespace skytether
