#pragma once
// Addresses as the registry keeps them: plain bytes, no socket types.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace skytether {

// An IP address: IPv4 in the first four bytes (v6 false), or IPv6.
struct IpAddr {
  std::array<std::uint8_t, 16> bytes{};
  bool v6 = false;
  bool operator==(const IpAddr &o) const { return v6 == o.v6 && bytes == o.bytes; }
  bool operator!=(const IpAddr &o) const { return !(*this == o); }
  struct Hash {
    std::size_t operator()(const IpAddr &a) const;
  };
  static IpAddr V4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);
  // "192.0.2.7", or IPv6 in its short form ("2001:db8::1", "::1").
  std::string ToString() const;
  // Any form of either back; false for anything else.
  static bool Parse(std::string_view text, IpAddr *out);
};

struct Endpoint {
  IpAddr ip;
  std::uint16_t port = 0;
  bool operator==(const Endpoint &o) const { return ip == o.ip && port == o.port; }
  bool operator!=(const Endpoint &o) const { return !(*this == o); }
  // "192.0.2.7:49556", "[2001:db8::1]:49556".
  std::string ToString() const;
};

// An address and a port as one text: "192.0.2.7:80", "[::1]:80" (an address holding ':' is IPv6).
std::string HostPort(const std::string &address, int port);

}  // namespace skytether
