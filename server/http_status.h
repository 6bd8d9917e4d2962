#pragma once
// The operator's window over HTTP: the status page, the JSON feed and the Prometheus metrics,
// served on threads of their own from the latest snapshot the relay thread published. Nothing
// here touches the relay's state, and nothing the relay does waits on it but a pointer swap.
#include <memory>
#include <mutex>
#include <string>

#include "status.h"

namespace skytether {

// The handoff between the relay thread (Publish) and the HTTP threads (Latest).
class StatusBoard {
 public:
  void Publish(std::shared_ptr<const StatusSnapshot> snapshot);
  std::shared_ptr<const StatusSnapshot> Latest() const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const StatusSnapshot> latest_;
};

struct HttpOptions {
  std::string address = "127.0.0.1";
  int port = 0;  // 0: any free port
  int workers = 2;
  int max_connections = 8;              // being served or waiting; past it a connection gets 503 at once
  double request_seconds = 5;           // a whole request must arrive, and its answer leave, within this
  std::size_t max_request = 16 * 1024;  // bytes read from one connection, headers included
  double rate_burst = 20;               // requests per address at once ...
  double rate_per_second = 5;           // ... and per second after that; past it 429
};

// "ADDR:PORT", "[V6ADDR]:PORT" or "PORT" (loopback) into *out; false with a message.
bool ParseHttpAddress(const std::string &text, HttpOptions *out, std::string *error);

// The status page: one self-contained document, no external resources.
extern const char kStatusPage[];

class HttpStatus {
 public:
  HttpStatus(HttpOptions options, const StatusBoard &board);
  ~HttpStatus();
  HttpStatus(const HttpStatus &) = delete;
  HttpStatus &operator=(const HttpStatus &) = delete;

  // Binds and starts serving; false with a message if it cannot bind.
  bool Start(std::string *error);
  // Stops accepting, ends the requests in progress, joins the threads.
  void Stop();
  int port() const { return port_; }

 private:
  class Impl;
  HttpOptions options_;
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
};

}  // namespace skytether
