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
  // The feed is written once per snapshot and shared by every answer that carries it: however
  // many ask, the HTTP side holds one text of it (and the one before, while answers still go out).
  struct Feed {
    std::shared_ptr<const StatusSnapshot> of;
    std::shared_ptr<const std::string> text;
  };
  auto feed = std::make_shared<Feed>();
  server.Route("/v1/status.json", [&board, feed](const HttpRequest &) {
    auto s = board.Latest();
    if (!s) return NotYet();
    if (s != feed->of) {
      feed->text = std::make_shared<const std::string>(StatusJson(*s));
      feed->of = std::move(s);
    }
    HttpResponse r;
    r.content_type = "application/json";
    // Read-only and without secrets: maps on other sites may read it.
    r.headers.emplace_back("Access-Control-Allow-Origin", "*");
    r.shared_body = feed->text;
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
