#pragma once
// The HTTP side of the server: its own io_context on its own thread, a small request reader, and
// routes that read only what the relay published. Nothing here touches the relay's state, and
// nothing an HTTP client does reaches the relay thread.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/rate.h"
#include "http/request.h"
#include "net/asio.h"

namespace skytether {

// Every bound of the HTTP side, in one table.
struct HttpLimits {
  int max_connections = 8;              // open at once; one more is answered 503 at once, unread
  int max_connections_per_address = 0;  // open at once from one address (0: no cap of its own)
  // Past either cap the oldest connection still reading its request is closed to make room for the
  // new one (which gets 503 only when every open one is past its reading); false: the new one gets
  // 503. A client that trickles its requests then holds no connection against anyone else.
  bool make_room = false;
  double head_seconds = 5;              // the request's head must arrive within this
  double request_seconds = 5;           // a whole request must arrive, and its answer leave, within this
  std::size_t max_request = 16 * 1024;  // bytes read from one connection: the request head
  std::size_t max_line = 8192;          // bytes of the request line (414 past it) and of a header line
  std::size_t max_body = 0;             // bytes of a request body (413 past it; 411 for a chunked one)
  double rate_burst = 20;               // requests per address at once ...
  double rate_per_second = 5;           // ... and per second after that; past it 429
  std::size_t rate_addresses = 4096;    // addresses remembered at once (those with a full allowance first)
  // With HttpOptions::authorized, a request without valid credentials never touches the allowance
  // above: it has its own, per address, per network (/24, /64) and in all, so guesses are bounded
  // however many addresses they come from, and cost a valid request nothing.
  double refused_burst = 10, refused_per_second = 1;
  double refused_network_burst = 20, refused_network_per_second = 2;
  double refused_all_burst = 40, refused_all_per_second = 10;
  // A request whose Host names neither the listener's address nor this machine (a page whose DNS
  // name was rebound to this address), or whose Origin is another site, is refused (403).
  bool check_host = false;
  // Reverse proxies in front: for a request from one of them the allowance above goes to the
  // client its X-Forwarded-For names (only the proxy's own entry, the last, is believed).
  std::vector<std::string> trusted_proxies;
  // Methods answered; any other known method gets 405.
  std::vector<std::string> methods = {"GET", "HEAD"};
};

struct HttpOptions {
  std::string address = "127.0.0.1";
  int port = 0;  // 0: any free port
  HttpLimits limits;
  // When set, whether a request carries valid credentials: asked before any allowance is taken.
  std::function<bool(const HttpRequest &)> authorized;
};

struct HttpResponse {
  int status = 200;
  std::string content_type = "text/plain";
  std::vector<std::pair<std::string, std::string>> headers;  // besides the content's and Connection
  std::string body;
  // Instead of body: a text many answers share (the feed, built once per snapshot).
  std::shared_ptr<const std::string> shared_body;
  const std::string &Body() const { return shared_body ? *shared_body : body; }
};

using HttpHandler = std::function<HttpResponse(const HttpRequest &)>;
// A route that answers later, from any thread, by calling reply once; address is the client's
// (as a trusted proxy names it).
using HttpReply = std::function<void(HttpResponse)>;
using HttpLaterHandler =
    std::function<void(const HttpRequest &, const std::string &address, HttpReply reply)>;

class HttpServer {
 public:
  explicit HttpServer(HttpOptions options);
  ~HttpServer();
  HttpServer(const HttpServer &) = delete;
  HttpServer &operator=(const HttpServer &) = delete;

  // Answers requests for exactly this path (the query apart). Before Start().
  void Route(std::string path, HttpHandler handler);
  void RouteLater(std::string path, HttpLaterHandler handler);
  // Binds and starts the HTTP thread; false with a message if it cannot bind.
  bool Start(std::string *error);
  // Closes the listener and every connection, and joins the thread.
  void Stop();
  int port() const { return port_; }

 private:
  class Connection;

  void Accept();
  // Opens a connection for the socket, closing the oldest one still reading to make room when
  // the caps allow it; else turns it away.
  void Admit(asio::ip::tcp::socket socket);
  void TurnAway(asio::ip::tcp::socket &socket);
  // Takes one request from the allowances of a request without valid credentials.
  bool TakeRefused(const std::string &client, double now);
  // Answers a request read whole from the given address, now or later, through reply.
  void Answer(const HttpRequest &request, const std::string &address, HttpReply reply);
  void Finished(const std::shared_ptr<Connection> &c);

  HttpOptions options_;
  // Read buffers of connections gone, for the next ones: a client that opens connection after
  // connection costs no allocation per connection.
  std::vector<std::string> spare_buffers_;
  asio::io_context io_;  // before the sockets: it outlives them
  asio::ip::tcp::acceptor acceptor_;
  std::map<std::string, HttpHandler> routes_;
  std::map<std::string, HttpLaterHandler> later_routes_;
  std::set<std::shared_ptr<Connection>> open_;
  std::unordered_map<std::string, FloodGate> rates_;
  std::unordered_map<std::string, FloodGate> refused_, refused_networks_;
  FloodGate refused_all_{0, 0};
  std::vector<std::string> host_names_;  // what a Host may name (check_host)
  bool any_address_ = false;             // listening on every address: any address may be named
  std::uint64_t serial_ = 0;             // connections opened, the oldest first
  std::thread thread_;
  bool stopping_ = false;  // on the HTTP thread
  int port_ = 0;
};

// The head of a response: the status line and the headers in the order of their names (as every
// answer of this server has them), up to the blank line.
std::string ResponseHead(const HttpResponse &response);
// The head, then the body unless head_only.
std::string ResponseText(const HttpResponse &response, bool head_only);

// Whether a request's Host (and Origin, when it has one) names this listener: one of names (an
// address or a host name, any case; a port may follow), or any address when any_address. A
// request without a Host (HTTP/1.0) passes; a browser always sends one.
bool SameHost(const HttpRequest &request, const std::vector<std::string> &names, bool any_address);
// The network an address is in, as the allowances count it: "a.b.c.0/24", or the /64 of IPv6.
std::string NetworkOf(const std::string &address);

// The address whose allowance a request uses: the peer's own, or, from a trusted proxy, the
// client named by the last entry of its last X-Forwarded-For (the proxy's when that is no address).
std::string ClientAddress(const HttpRequest &request, const std::string &peer,
                          const std::vector<std::string> &trusted_proxies);

}  // namespace skytether
