#include "core/address.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <string>

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
    return buf;
  }
  // The usual short form: the longest run of two or more zero groups (the first of equal runs)
  // becomes "::", hex digits in lowercase without leading zeros.
  int groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = (bytes[2 * i] << 8) | bytes[2 * i + 1];
  int best = -1, best_len = 1;
  for (int i = 0; i < 8;) {
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > best_len) best = i, best_len = j - i;
    i = j > i ? j : i + 1;
  }
  std::string out;
  for (int i = 0; i < 8; ++i) {
    if (i == best) {
      out += "::";
      i += best_len - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    std::snprintf(buf, sizeof buf, "%x", groups[i]);
    out += buf;
  }
  return out;
}

bool IpAddr::Parse(std::string_view text, IpAddr *out) {
  if (text.empty() || text.size() > 45) return false;
  const std::string s(text);
  IpAddr a;
  if (inet_pton(AF_INET, s.c_str(), a.bytes.data()) == 1) {
    *out = a;
    return true;
  }
  if (inet_pton(AF_INET6, s.c_str(), a.bytes.data()) != 1) return false;
  a.v6 = true;
  // An IPv4 client of an IPv6 socket is kept as the IPv4 address it is.
  static const std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (std::equal(kMapped, kMapped + 12, a.bytes.begin())) {
    *out = V4(a.bytes[12], a.bytes[13], a.bytes[14], a.bytes[15]);
    return true;
  }
  *out = a;
  return true;
}

std::string Endpoint::ToString() const {
  return HostPort(ip.ToString(), port);
}

std::string HostPort(const std::string &address, int port) {
  const bool v6 = address.find(':') != std::string::npos;
  return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

}  // namespace skytether
