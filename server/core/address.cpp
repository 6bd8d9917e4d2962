#include "core/address.h"

#include <cstdio>

namespace skytether {

IpAddr IpAddr::V4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  IpAddr ip;
  ip.bytes[0] = a;
  ip.bytes[1] = b;
  ip.bytes[2] = c;
  ip.bytes[3] = d;
  return ip;
}

std::size_t IpAddr::Hash::operator()(const IpAddr &a) const {
  std::size_t h = a.v6 ? 1469598103934665603ull : 0;
  for (std::uint8_t b : a.bytes) h = (h ^ b) * 1099511628211ull;
  return h;
}

std::string IpAddr::ToString() const {
  char buf[64];
  if (!v6) {
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
  } else {
    int n = 0;
    for (int i = 0; i < 16; i += 2) {
      n += std::snprintf(buf + n, sizeof buf - n, i ? ":%x" : "%x", (bytes[i] << 8) | bytes[i + 1]);
    }
  }
  return buf;
}

}  // namespace skytether
