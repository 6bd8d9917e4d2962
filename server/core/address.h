#pragma once
// Addresses as the registry keeps them: plain bytes, no socket types.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

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
  std::string ToString() const;
};

struct Endpoint {
  IpAddr ip;
  std::uint16_t port = 0;
  bool operator==(const Endpoint &o) const { return ip == o.ip && port == o.port; }
  bool operator!=(const Endpoint &o) const { return !(*this == o); }
};

}  // namespace skytether
