#pragma once
// The operator's controls over HTTP, on an address of their own (--admin-http): every request
// carries an admin token (Authorization: Bearer); actions are POSTed as forms, lists are read
// with GET. What they ask is carried out by the AdminDesk where the registry lives.
#include "core/admin.h"
#include "core/operator.h"
#include "http/server.h"

namespace skytether {

// The limits of the admin address: the HTTP side's, with a small form body and POST.
HttpLimits AdminLimits();

// POST /v1/admin/{kick,ban,unban,mute,unmute,reload-accounts}, GET /v1/admin/{bans,pilots}.
void AddAdminRoutes(HttpServer &server, const AdminTokens &tokens, AdminDesk &desk, AdminCounters &counters);

// The admin figures in the metrics' text format.
std::string AdminMetricsText(const AdminCounters &counters);

}  // namespace skytether
