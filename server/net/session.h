#pragma once
// One stream connection: reads lines (the codec's limit, the flood gate), hands them to the
// registry, and writes the notices the registry sends it, within a bounded backlog.
#include <array>
#include <cstddef>
#include <memory>
#include <string>

#include "core/codec.h"
#include "core/pilot.h"
#include "core/rate.h"
#include "net/asio.h"

namespace skytether {

class Server;

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Server &server, asio::ip::tcp::socket socket, ConnId id);

  // Sets the stream's options and reads what came with the connect.
  void Start();
  // Queues a notice; writes at once when the socket takes it, so notices reach the
  // kernel ahead of the datagrams that follow them.
  void Send(const std::string &text);
  // Closed on the registry's word (logout, refused login): it already knows.
  void Close();

 private:
  void Read();
  void OnReadable();
  void Split();
  void Write();
  // The connection ends on our side or the peer's: the registry is told.
  void Lost(const std::string &why);
  void Cut(const std::string &why);

  Server &server_;
  asio::ip::tcp::socket socket_;
  ConnId id_;
  FloodGate gate_;
  // Room for one whole line at the limit plus one read.
  std::array<char, kMaxLine + 4096> buf_;
  std::size_t len_ = 0;
  std::string out_;
  std::size_t out_off_ = 0;
  bool waiting_write_ = false;
  bool closed_ = false;
};

}  // namespace skytether
