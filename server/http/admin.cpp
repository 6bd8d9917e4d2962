#include "http/admin.h"

#include <cinttypes>
#include <cstdio>
#include <map>
#include <memory>

#include "core/events.h"
#include "core/status.h"
#include "net/clock.h"
#include "net/log.h"

namespace skytether {
namespace {

const char kPrefix[] = "/v1/admin/";

HttpResponse Json(int status, std::string body) {
  HttpResponse r;
  r.status = status;
  r.content_type = "application/json";
  r.body = std::move(body);
  r.body += '\n';
  return r;
}

HttpResponse Refusal(int status, const std::string &message) {
  return Json(status, "{\"ok\":false,\"error\":" + JsonString(message) + "}");
}

// The token of "Authorization: Bearer TOKEN"; empty when there is none.
std::string_view BearerToken(const HttpRequest &request) {
  std::string_view v = request.Header("authorization");
  constexpr std::string_view scheme = "Bearer ";
  if (v.size() <= scheme.size()) return std::string_view();
  for (std::size_t i = 0; i < scheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(v[i])) != std::tolower(static_cast<unsigned char>(scheme[i])))
      return std::string_view();
  }
  v.remove_prefix(scheme.size());
  while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
  return v;
}

// What every admin route shares: the tokens, the desk, the counters, and a log within limits.
struct Admin {
  const AdminTokens &tokens;
  AdminDesk &desk;
  AdminCounters &counters;
  EventLog refusals{5, 10};  // the HTTP thread's own: 5 lines at once, then one a second

  // The token's name, or nullptr after answering 401.
  const std::string *Check(const HttpRequest &request, const std::string &address, const HttpReply &reply) {
    const std::string_view token = BearerToken(request);
    const std::string *name = token.empty() ? nullptr : tokens.NameOf(token);
    if (name != nullptr) return name;
    ++counters.unauthorized;
    std::vector<std::string> lines;
    refusals.Note(
        Event::kAdminRefused, Now(),
        "admin request refused from " + address + ": " + (token.empty() ? "no token" : "wrong token"),
        &lines);
    refusals.Flush(Now(), &lines);
    for (const std::string &l : lines) LogLine(l);
    HttpResponse r = Refusal(401, "an admin token, please (Authorization: Bearer TOKEN)");
    r.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"skytether-admin\"");
    reply(std::move(r));
    return nullptr;
  }
};

AdminDesk::Done Answer(HttpReply reply) {
  return [reply = std::move(reply)](AdminOutcome o) { reply(Json(o.status, std::move(o.json))); };
}

}  // namespace

void UseAdminLimits(HttpOptions *options, const AdminTokens &tokens) {
  HttpLimits l;
  l.trusted_proxies = std::move(options->limits.trusted_proxies);
  l.max_body = 4096;
  l.methods = {"GET", "POST"};
  // Slow or many connections of one address close each other, not the operator's: past 8 of one
  // address or 32 in all, the oldest still reading makes room. A request is a few hundred bytes.
  l.max_connections = 32;
  l.max_connections_per_address = 8;
  l.make_room = true;
  l.head_seconds = 2;
  l.check_host = true;
  options->limits = std::move(l);
  options->authorized = [&tokens](const HttpRequest &request) {
    const std::string_view token = BearerToken(request);
    return !token.empty() && tokens.NameOf(token) != nullptr;
  };
}

void AddAdminRoutes(HttpServer &server, const AdminTokens &tokens, AdminDesk &desk, AdminCounters &counters) {
  auto admin = std::make_shared<Admin>(Admin{tokens, desk, counters});
  for (const char *name : {"kick", "ban", "unban", "mute", "unmute", "reload-accounts"}) {
    AdminAction::Kind kind;
    ActionOf(name, &kind);
    server.RouteLater(
        kPrefix + std::string(name),
        [admin, kind](const HttpRequest &request, const std::string &address, HttpReply reply) {
          const std::string *by = admin->Check(request, address, reply);
          if (by == nullptr) return;
          if (request.method != "POST") {
            HttpResponse r = Refusal(405, "actions are POSTed");
            r.headers.emplace_back("Allow", "POST");
            return reply(std::move(r));
          }
          const std::string_view type = request.Header("content-type");
          if (!type.empty() && type.substr(0, type.find(';')) != "application/x-www-form-urlencoded")
            return reply(Refusal(415, "a form, please (application/x-www-form-urlencoded)"));
          std::map<std::string, std::string> form;
          AdminAction action;
          std::string error;
          if (!ParseForm(request.body, &form)) return reply(Refusal(400, "the form does not read"));
          if (!ActionFromForm(kind, form, &action, &error)) return reply(Refusal(400, error));
          action.by = *by;
          admin->desk.Submit(action, Answer(std::move(reply)));
        });
  }
  for (const char *name : {"bans", "pilots"}) {
    server.RouteLater(kPrefix + std::string(name),
                      [admin, what = std::string(name)](const HttpRequest &request,
                                                        const std::string &address, HttpReply reply) {
                        if (admin->Check(request, address, reply) == nullptr) return;
                        if (request.method != "GET") {
                          HttpResponse r = Refusal(405, "lists are read with GET");
                          r.headers.emplace_back("Allow", "GET");
                          return reply(std::move(r));
                        }
                        admin->desk.List(what, request.query, Answer(std::move(reply)));
                      });
  }
}

std::string AdminMetricsText(const AdminCounters &c) {
  char buf[1024];
  std::snprintf(
      buf, sizeof buf,
      "# HELP skytether_admin_actions_total Operator actions carried out on this node.\n"
      "# TYPE skytether_admin_actions_total counter\n"
      "skytether_admin_actions_total %" PRIu64
      "\n"
      "# HELP skytether_admin_unauthorized_total Admin requests refused for want of a valid token.\n"
      "# TYPE skytether_admin_unauthorized_total counter\n"
      "skytether_admin_unauthorized_total %" PRIu64
      "\n"
      "# HELP skytether_logins_banned_total Logins refused because their user ID is banned.\n"
      "# TYPE skytether_logins_banned_total counter\n"
      "skytether_logins_banned_total %" PRIu64 "\n",
      c.actions.load(), c.unauthorized.load(), c.banned_logins.load());
  return buf;
}

}  // namespace skytether
