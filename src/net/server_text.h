#pragma once
// The server a pilot chooses, as typed: "HOST", "HOST:PORT" or "[IPv6]:PORT". HOST is a name or an
// address; an empty text means the address the plugin was built with.
#include <cstdint>
#include <string>

#include "platform/socket_types.h"

// The protocol's port, for the stream and the datagrams alike.
constexpr uint16_t kProtocolPort = 49556;
// The longest host name the name system carries.
constexpr size_t kMaxServerNameLength = 253;

struct ServerChoice {
  std::string host;  // a name, or an address without brackets; empty: the built-in address
  uint16_t port = kProtocolPort;
};

// Reads text, blanks at either end ignored, into choice. Returns "" when it reads, otherwise why
// not, short enough to follow "Server: " inside the settings pane ("no path: HOST or HOST:PORT").
std::string ParseServerText(const std::string &text, ServerChoice &choice);

// A host that is an IPv4 or IPv6 address, with the port, as a socket address; false for a name.
bool NumericServerAddress(const std::string &host, uint16_t port, sockaddr_storage &address,
                          socklen_t &length);

// "203.0.113.10" or "2001:db8::10"; with ":PORT" after it (the IPv6 address in brackets) when the
// port is not the protocol's.
std::string AddressText(const sockaddr_storage &address);
