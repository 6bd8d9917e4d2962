#include "net/server_text.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr size_t kMaxLabelLength = 63;

bool IsNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// Labels of 1 to 63 name characters between dots; one dot may end the name.
bool IsHostName(const std::string &name) {
  const size_t end = name.size() > 1 && name.back() == '.' ? name.size() - 1 : name.size();
  size_t label = 0;
  for (size_t i = 0; i <= end; ++i) {
    if (i == end || name[i] == '.') {
      if (label == 0 || label > kMaxLabelLength) return false;
      label = 0;
    } else if (IsNameCharacter(name[i])) {
      ++label;
    } else {
      return false;
    }
  }
  return true;
}

bool IsIPv6(const std::string &text) {
  in6_addr a;
  return inet_pton(AF_INET6, text.c_str(), &a) == 1;
}

}  // namespace

std::string ParseServerText(const std::string &text, ServerChoice &choice) {
  choice = ServerChoice();
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  const std::string t = text.substr(first, text.find_last_not_of(" \t") + 1 - first);

  if (t.find("://") != std::string::npos) return "no scheme: HOST or HOST:PORT";
  if (t.find_first_of("/?#") != std::string::npos) return "no path: HOST or HOST:PORT";

  std::string host, port;
  bool hasPort = false;
  if (t[0] == '[') {
    const size_t close = t.find(']');
    if (close == std::string::npos || !IsIPv6(t.substr(1, close - 1))) return "IPv6 must read [ADDRESS]:PORT";
    host = t.substr(1, close - 1);
    if (close + 1 < t.size()) {
      if (t[close + 1] != ':') return "IPv6 must read [ADDRESS]:PORT";
      hasPort = true;
      port = t.substr(close + 2);
    }
  } else if (std::count(t.begin(), t.end(), ':') > 1) {
    // Several colons: an IPv6 address on its own, which takes the protocol's port.
    if (!IsIPv6(t)) return "IPv6 must read [ADDRESS]:PORT";
    host = t;
  } else {
    const size_t colon = t.find(':');
    host = t.substr(0, colon);
    if (colon != std::string::npos) {
      hasPort = true;
      port = t.substr(colon + 1);
    }
    if (host.empty()) return "no host name";
    if (host.size() > kMaxServerNameLength + (host.back() == '.' ? 1 : 0)) return "name over 253 characters";
    if (!IsHostName(host)) return "not a host name";
  }

  if (hasPort) {
    unsigned long value = 0;
    const bool digits = !port.empty() && port.size() <= 5 &&
                        std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (digits) value = std::stoul(port);
    if (!digits || value < 1 || value > 65535) return "port must be 1 to 65535";
    choice.port = static_cast<uint16_t>(value);
  }
  choice.host = host;
  return "";
}

bool NumericServerAddress(const std::string &host, uint16_t port, sockaddr_storage &address,
                          socklen_t &length) {
  std::memset(&address, 0, sizeof address);
  auto *in4 = reinterpret_cast<sockaddr_in *>(&address);
  auto *in6 = reinterpret_cast<sockaddr_in6 *>(&address);
  if (inet_pton(AF_INET, host.c_str(), &in4->sin_addr) == 1) {
    in4->sin_family = AF_INET;
    in4->sin_port = htons(port);
    length = sizeof(sockaddr_in);
    return true;
  }
  if (inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr) == 1) {
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    length = sizeof(sockaddr_in6);
    return true;
  }
  std::memset(&address, 0, sizeof address);
  return false;
}

std::string AddressText(const sockaddr_storage &address) {
  char text[INET6_ADDRSTRLEN] = "";
  uint16_t port = 0;
  if (address.ss_family == AF_INET) {
    const auto *in4 = reinterpret_cast<const sockaddr_in *>(&address);
    inet_ntop(AF_INET, &in4->sin_addr, text, sizeof text);
    port = ntohs(in4->sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&address);
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    port = ntohs(in6->sin6_port);
  } else {
    return "";
  }
  if (port == kProtocolPort) return text;
  const std::string shown = address.ss_family == AF_INET6 ? "[" + std::string(text) + "]" : text;
  return shown + ":" + std::to_string(port);
}
