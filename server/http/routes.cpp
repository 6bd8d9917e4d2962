#include "http/routes.h"

#include "core/feed_text.h"
#include "http/admin.h"
#include "net/process.h"

namespace skytether {
namespace {

HttpResponse NotYet() {
  HttpResponse r;
  r.status = 503;
  r.headers.emplace_back("Retry-After", "1");
  r.body = "starting\n";
  return r;
}

}  // namespace

void AddStatusRoutes(HttpServer &server, const StatusBoard &board, const AdminCounters *admin) {
  server.Route("/", [](const HttpRequest &) {
    HttpResponse r;
    r.content_type = "text/html; charset=utf-8";
    r.headers.emplace_back("Content-Security-Policy",
                           "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                           "connect-src 'self'; img-src data:");
    r.body = kStatusPage;
    return r;
  });
  server.Route("/v1/status.json", [&board](const HttpRequest &) {
    auto s = board.Latest();
    if (!s) return NotYet();
    HttpResponse r;
    r.content_type = "application/json";
    // Read-only and without secrets: maps on other sites may read it.
    r.headers.emplace_back("Access-Control-Allow-Origin", "*");
    r.body = StatusJson(*s);
    return r;
  });
  server.Route("/v1/whazzup.txt", [&board](const HttpRequest &) {
    auto s = board.Latest();
    if (!s) return NotYet();
    HttpResponse r;
    r.content_type = "text/plain; charset=utf-8";
    r.headers.emplace_back("Access-Control-Allow-Origin", "*");
    r.body = FeedText(*s);
    return r;
  });
  server.Route("/metrics", [&board, admin](const HttpRequest &) {
    auto s = board.Latest();
    if (!s) return NotYet();
    HttpResponse r;
    r.content_type = "text/plain; version=0.0.4; charset=utf-8";
    r.body = MetricsText(*s, ReadProcessFigures());
    if (admin != nullptr) r.body += AdminMetricsText(*admin);
    return r;
  });
}

}  // namespace skytether
