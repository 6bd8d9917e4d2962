#include "http/server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>

#include "core/address.h"
#include "net/clock.h"

namespace skytether {
namespace {

const char *Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 405:
      return "Method Not Allowed";
    case 409:
      return "Conflict";
    case 411:
      return "Length Required";
    case 413:
      return "Content Too Large";
    case 415:
      return "Unsupported Media Type";
    case 422:
      return "Unprocessable Content";
    case 500:
      return "Internal Server Error";
    case 414:
      return "URI Too Long";
    case 429:
      return "Too Many Requests";
    case 503:
      return "Service Unavailable";
  }
  return "Unknown";
}

bool LessNoCase(const std::string &a, const std::string &b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
  });
}

HttpResponse Plain(int status, std::string body) {
  HttpResponse r;
  r.status = status;
  r.body = std::move(body);
  return r;
}

// An IPv4 client of an IPv6 listener as the IPv4 address it is.
asio::ip::address Unmapped(const asio::ip::address &a) {
  if (a.is_v6() && a.to_v6().is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
  return a;
}

// Refused before a request was read: nothing but what the client needs to know.
const char kBusy[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 5\r\nConnection: close\r\nRetry-After: "
    "1\r\n\r\nbusy\n";

bool SameNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool AllDigits(std::string_view s) {
  return !s.empty() && s.size() <= 5 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The name or address a Host value names, without its port; false when it does not read.
bool HostName(std::string_view host, std::string *name) {
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    const std::string_view rest = host.substr(close + 1);
    if (!rest.empty() && (rest.front() != ':' || !AllDigits(rest.substr(1)))) return false;
    *name = std::string(host.substr(1, close - 1));
    return true;
  }
  const std::size_t colon = host.find(':');
  if (colon != std::string_view::npos) {
    if (!AllDigits(host.substr(colon + 1))) return false;
    host = host.substr(0, colon);
  }
  *name = std::string(host);
  return !name->empty();
}

// Two sets of allowances remember at most cap keys: past it, those holding their whole allowance
// (as good as new) are forgotten, and when all are busy the count starts again.
FloodGate &GateIn(std::unordered_map<std::string, FloodGate> &table, const std::string &key, double burst,
                  double rate, std::size_t cap, double now) {
  auto it = table.find(key);
  if (it != table.end()) return it->second;
  if (table.size() >= cap) {
    for (auto i = table.begin(); i != table.end();) i = i->second.Full(now) ? table.erase(i) : std::next(i);
    if (table.size() >= cap) table.clear();
  }
  return table.try_emplace(key, burst, rate).first->second;
}

}  // namespace

bool SameHost(const HttpRequest &request, const std::vector<std::string> &names, bool any_address) {
  const std::string_view host = request.Header("host"), origin = request.Header("origin");
  // A browser names the page's site in Origin: only a page of this very listener may ask.
  if (!origin.empty() && (host.empty() || origin.size() != 7 + host.size() ||
                          !SameNoCase(origin.substr(0, 7), "http://") || !SameNoCase(origin.substr(7), host)))
    return false;
  if (host.empty()) return true;
  std::string name;
  if (!HostName(host, &name)) return false;
  asio::error_code ec;
  const asio::ip::address literal = asio::ip::make_address(name, ec);
  if (!ec) {
    if (any_address) return true;
    const std::string text = Unmapped(literal).to_string();
    return std::find(names.begin(), names.end(), text) != names.end();
  }
  if (!name.empty() && name.back() == '.') name.pop_back();  // the root's dot
  return std::any_of(names.begin(), names.end(), [&](const std::string &n) { return SameNoCase(n, name); });
}

std::string NetworkOf(const std::string &address) {
  asio::error_code ec;
  const asio::ip::address a = asio::ip::make_address(address, ec);
  if (ec) return address;
  if (a.is_v4()) {
    auto b = a.to_v4().to_bytes();
    b[3] = 0;
    return asio::ip::address_v4(b).to_string() + "/24";
  }
  auto b = a.to_v6().to_bytes();
  std::fill(b.begin() + 8, b.end(), 0);
  return asio::ip::address_v6(b).to_string() + "/64";
}

std::string ResponseHead(const HttpResponse &response) {
  std::vector<std::pair<std::string, std::string>> headers = response.headers;
  headers.emplace_back("Connection", "close");
  headers.emplace_back("Content-Length", std::to_string(response.Body().size()));
  headers.emplace_back("Content-Type", response.content_type);
  std::stable_sort(headers.begin(), headers.end(),
                   [](const auto &a, const auto &b) { return LessNoCase(a.first, b.first); });
  std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " + Reason(response.status) + "\r\n";
  for (const auto &h : headers) out += h.first + ": " + h.second + "\r\n";
  out += "\r\n";
  return out;
}

std::string ResponseText(const HttpResponse &response, bool head_only) {
  std::string out = ResponseHead(response);
  if (!head_only) out += response.Body();
  return out;
}

std::string ClientAddress(const HttpRequest &request, const std::string &peer,
                          const std::vector<std::string> &trusted_proxies) {
  if (std::find(trusted_proxies.begin(), trusted_proxies.end(), peer) == trusted_proxies.end()) return peer;
  // Whatever the client wrote in the header comes before the entry its proxy appended.
  std::string_view forwarded;
  for (const auto &h : request.headers) {
    if (h.first.size() == 15 &&
        std::equal(h.first.begin(), h.first.end(), "x-forwarded-for",
                   [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; }))
      forwarded = h.second;
  }
  const std::size_t comma = forwarded.rfind(',');
  std::string_view last = comma == std::string_view::npos ? forwarded : forwarded.substr(comma + 1);
  while (!last.empty() && (last.front() == ' ' || last.front() == '\t')) last.remove_prefix(1);
  while (!last.empty() && (last.back() == ' ' || last.back() == '\t')) last.remove_suffix(1);
  asio::error_code ec;
  const asio::ip::address client = asio::ip::make_address(std::string(last), ec);
  return ec ? peer : Unmapped(client).to_string();
}

// One connection: one request read within the deadline and the byte cap, one answer, closed.
class HttpServer::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(HttpServer &server, asio::ip::tcp::socket socket, std::string address, std::uint64_t serial)
      : server_(server),
        socket_(std::move(socket)),
        deadline_(server.io_),
        address_(std::move(address)),
        serial_(serial) {
    if (!server_.spare_buffers_.empty()) {
      in_ = std::move(server_.spare_buffers_.back());
      server_.spare_buffers_.pop_back();
      in_.clear();
    }
  }
  ~Connection() {
    // No read is pending any more: the buffer can serve another connection.
    if (server_.spare_buffers_.size() < static_cast<std::size_t>(server_.options_.limits.max_connections))
      server_.spare_buffers_.push_back(std::move(in_));
  }

  void Start() {
    const HttpLimits &l = server_.options_.limits;
    started_ = std::chrono::steady_clock::now();
    Expire(std::min(l.head_seconds, l.request_seconds));
    Read();
  }

  const std::string &address() const { return address_; }
  std::uint64_t serial() const { return serial_; }
  // Still reading its request: nothing has been asked of a route yet.
  bool reading() const { return !closed_ && !asked_; }

  void Close() {
    if (closed_) return;
    closed_ = true;
    asio::error_code ec;
    deadline_.cancel();
    socket_.close(ec);
    server_.Finished(shared_from_this());
  }

 private:
  // A client that trickles its request (or reads its answer slowly) is closed unanswered.
  void Expire(double seconds_from_start) {
    deadline_.expires_at(started_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                        std::chrono::duration<double>(seconds_from_start)));
    auto self = shared_from_this();
    deadline_.async_wait([this, self](const asio::error_code &wec) {
      if (!wec) Close();
    });
  }

  void Read() {
    const std::size_t room = (want_ > 0 ? want_ : server_.options_.limits.max_request) - in_.size();
    in_.resize(in_.size() + room);
    auto self = shared_from_this();
    socket_.async_read_some(asio::buffer(&in_[in_.size() - room], room),
                            [this, self, room](const asio::error_code &ec, std::size_t n) {
                              in_.resize(in_.size() - room + n);
                              if (closed_) return;
                              if (ec) return Close();
                              OnBytes();
                            });
  }

  void OnBytes() {
    const HttpLimits &l = server_.options_.limits;
    HttpRequest request;
    std::size_t head = 0, body = 0;
    switch (ReadRequest(in_, RequestLimits{l.max_request, l.max_line}, &request, &head)) {
      case ReadStatus::kNeedMore:
        if (in_.size() < l.max_request) return Read();
        return Reply(Plain(400, "400\n"), false);
      case ReadStatus::kBad:
        return Reply(Plain(400, "400\n"), false);
      case ReadStatus::kUriTooLong:
        return Reply(Plain(414, "414\n"), false);
      case ReadStatus::kDone:
        break;
    }
    if (!head_read_) {
      head_read_ = true;
      if (l.head_seconds < l.request_seconds) Expire(l.request_seconds);  // the body's time
    }
    // A body comes whole, within the same deadline, and only as long as its Content-Length says.
    if (!BodyLength(request, &body)) return Reply(Plain(411, "a Content-Length, please\n"), false);
    if (body > l.max_body) return Reply(Plain(413, "413\n"), false);
    if (in_.size() < head + body) {
      want_ = head + body;
      return Read();
    }
    request.body.assign(in_, head, body);
    const bool head_only = request.method == "HEAD";
    auto self = shared_from_this();
    asked_ = true;
    server_.Answer(request, address_, [self, head_only](HttpResponse r) {
      // Perhaps from another thread: the answer is written on the HTTP thread.
      auto answer = std::make_shared<HttpResponse>(std::move(r));
      asio::post(self->server_.io_, [self, answer, head_only] {
        if (!self->closed_ && !self->answered_) self->Reply(std::move(*answer), head_only);
      });
    });
  }

  // The head, then the body as it is: a shared one is written from where it lies, not copied.
  void Reply(HttpResponse response, bool head_only) {
    answered_ = true;
    head_ = ResponseHead(response);
    body_ = std::move(response.body);
    shared_body_ = std::move(response.shared_body);
    const std::string &body = shared_body_ ? *shared_body_ : body_;
    const std::array<asio::const_buffer, 2> out{asio::buffer(head_),
                                                head_only ? asio::const_buffer() : asio::buffer(body)};
    auto self = shared_from_this();
    asio::async_write(socket_, out, [this, self](const asio::error_code &, std::size_t) {
      if (closed_) return;
      asio::error_code ec;
      socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
      Close();
    });
  }

  HttpServer &server_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer deadline_;
  std::string address_;
  std::uint64_t serial_;
  std::chrono::steady_clock::time_point started_;
  std::string in_, head_, body_;
  std::shared_ptr<const std::string> shared_body_;
  std::size_t want_ = 0;  // bytes of head and body, once the head said; 0 before
  bool closed_ = false;
  bool head_read_ = false;
  bool asked_ = false;  // handed to a route
  bool answered_ = false;
};

HttpServer::HttpServer(HttpOptions options)
    : options_(std::move(options)),
      acceptor_(io_),
      refused_all_(options_.limits.refused_all_burst, options_.limits.refused_all_per_second) {}

HttpServer::~HttpServer() {
  Stop();
}

void HttpServer::Route(std::string path, HttpHandler handler) {
  routes_[std::move(path)] = std::move(handler);
}

void HttpServer::RouteLater(std::string path, HttpLaterHandler handler) {
  later_routes_[std::move(path)] = std::move(handler);
}

bool HttpServer::Start(std::string *error) {
  asio::error_code ec;
  const asio::ip::address address = asio::ip::make_address(options_.address, ec);
  const asio::ip::tcp::endpoint endpoint(address, static_cast<unsigned short>(options_.port));
  if (!ec) acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "cannot listen on " + HostPort(options_.address, options_.port) + " (HTTP)";
    asio::error_code ignore;
    acceptor_.close(ignore);
    return false;
  }
  port_ = acceptor_.local_endpoint().port();
  // The names a request may give in its Host: the address listened on, and this machine's names
  // when that is loopback or every address.
  any_address_ = address.is_unspecified();
  host_names_ = {Unmapped(address).to_string()};
  if (address.is_loopback() || any_address_) host_names_.push_back("localhost");
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') host_names_.push_back(host);
  Accept();
  thread_ = std::thread([this] { io_.run(); });
  return true;
}

void HttpServer::Stop() {
  if (!thread_.joinable()) return;
  // Everything closes on the HTTP thread; with nothing left to wait for, its run() returns.
  asio::post(io_, [this] {
    stopping_ = true;
    asio::error_code ec;
    acceptor_.close(ec);
    const auto open = open_;
    for (const auto &c : open) c->Close();
  });
  thread_.join();
}

void HttpServer::Accept() {
  acceptor_.async_accept([this](const asio::error_code &ec, asio::ip::tcp::socket socket) {
    if (stopping_) return;
    if (!ec) Admit(std::move(socket));
    Accept();
  });
}

void HttpServer::Admit(asio::ip::tcp::socket socket) {
  const HttpLimits &l = options_.limits;
  asio::error_code ec;
  const auto peer = socket.remote_endpoint(ec);
  const std::string address = ec ? std::string() : Unmapped(peer.address()).to_string();
  int same = 0;
  for (const auto &c : open_) same += c->address() == address;
  const bool over_address = l.max_connections_per_address > 0 && same >= l.max_connections_per_address;
  if (over_address || static_cast<int>(open_.size()) >= l.max_connections) {
    std::shared_ptr<Connection> oldest;
    if (l.make_room) {
      for (const auto &c : open_) {
        if (c->reading() && (!over_address || c->address() == address) &&
            (!oldest || c->serial() < oldest->serial()))
          oldest = c;
      }
    }
    if (!oldest) return TurnAway(socket);
    oldest->Close();
  }
  auto c = std::make_shared<Connection>(*this, std::move(socket), address, ++serial_);
  open_.insert(c);
  c->Start();
}

void HttpServer::TurnAway(asio::ip::tcp::socket &socket) {
  (void)!::send(socket.native_handle(), kBusy, sizeof kBusy - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
  asio::error_code ec;
  socket.close(ec);
}

void HttpServer::Finished(const std::shared_ptr<Connection> &c) {
  open_.erase(c);
}

void HttpServer::Answer(const HttpRequest &request, const std::string &address, HttpReply reply) {
  const HttpLimits &l = options_.limits;
  // Every answer says the same of itself, now or later.
  auto finish = [reply = std::move(reply)](HttpResponse r) {
    // Whole, always: a request for byte ranges gets the body once, never a part of it or (what
    // many ranges would ask) more than it.
    r.headers.emplace_back("Accept-Ranges", "none");
    r.headers.emplace_back("Cache-Control", "no-store");
    r.headers.emplace_back("X-Content-Type-Options", "nosniff");
    reply(std::move(r));
  };
  HttpResponse r;
  if (std::find(l.methods.begin(), l.methods.end(), request.method) == l.methods.end()) {
    r = Plain(405, "read-only\n");
    std::string allow;
    for (const std::string &m : l.methods) allow += (allow.empty() ? "" : ", ") + m;
    r.headers.emplace_back("Allow", allow);
    return finish(std::move(r));
  }
  const double now = Now();
  const std::string client = ClientAddress(request, address, l.trusted_proxies);
  const bool foreign = l.check_host && !SameHost(request, host_names_, any_address_);
  // Credentials are looked at before any allowance: a request without valid ones spends only the
  // allowances of such requests.
  const bool checked = static_cast<bool>(options_.authorized);
  const bool allowed =
      !foreign && (!checked || options_.authorized(request))
          ? GateIn(rates_, client, l.rate_burst, l.rate_per_second, l.rate_addresses, now).Take(now)
          : TakeRefused(client, now);
  if (!allowed) {
    r = Plain(429, "too many requests\n");
    r.headers.emplace_back("Retry-After", "1");
    return finish(std::move(r));
  }
  if (foreign) return finish(Plain(403, "this listener answers to its own address only\n"));
  auto later = later_routes_.find(request.path);
  if (later != later_routes_.end()) return later->second(request, client, std::move(finish));
  auto route = routes_.find(request.path);
  finish(route == routes_.end() ? Plain(404, "404\n") : route->second(request));
}

bool HttpServer::TakeRefused(const std::string &client, double now) {
  const HttpLimits &l = options_.limits;
  return GateIn(refused_, client, l.refused_burst, l.refused_per_second, l.rate_addresses, now).Take(now) &&
         GateIn(refused_networks_, NetworkOf(client), l.refused_network_burst, l.refused_network_per_second,
                l.rate_addresses, now)
             .Take(now) &&
         refused_all_.Take(now);
}

}  // namespace skytether
