#include "net/sockaddr.h"

#include <netinet/in.h>

#include <cstring>

namespace skytether {

IpAddr FromSockaddr(const sockaddr *sa, std::uint16_t *port) {
  IpAddr ip;
  if (sa->sa_family == AF_INET) {
    auto *in = reinterpret_cast<const sockaddr_in *>(sa);
    std::memcpy(ip.bytes.data(), &in->sin_addr, 4);
    *port = ntohs(in->sin_port);
  } else if (sa->sa_family == AF_INET6) {
    auto *in6 = reinterpret_cast<const sockaddr_in6 *>(sa);
    *port = ntohs(in6->sin6_port);
    if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
      // A dual-stack socket shows IPv4 peers as ::ffff:a.b.c.d; keep them IPv4 so
      // the stream peer and its datagrams compare equal whichever socket saw them.
      std::memcpy(ip.bytes.data(), reinterpret_cast<const std::uint8_t *>(&in6->sin6_addr) + 12, 4);
    } else {
      ip.v6 = true;
      std::memcpy(ip.bytes.data(), &in6->sin6_addr, 16);
    }
  }
  return ip;
}

IpAddr FromAsio(const asio::ip::address &a) {
  std::uint16_t port = 0;
  if (a.is_v4()) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    auto b = a.to_v4().to_bytes();
    std::memcpy(&in.sin_addr, b.data(), 4);
    return FromSockaddr(reinterpret_cast<sockaddr *>(&in), &port);
  }
  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  auto b = a.to_v6().to_bytes();
  std::memcpy(&in6.sin6_addr, b.data(), 16);
  return FromSockaddr(reinterpret_cast<sockaddr *>(&in6), &port);
}

socklen_t ToSockaddr(const Endpoint &e, bool v6_socket, sockaddr_storage *out) {
  if (!v6_socket) {
    auto *in = reinterpret_cast<sockaddr_in *>(out);
    std::memset(in, 0, sizeof *in);
    in->sin_family = AF_INET;
    in->sin_port = htons(e.port);
    std::memcpy(&in->sin_addr, e.ip.bytes.data(), 4);
    return sizeof *in;
  }
  auto *in6 = reinterpret_cast<sockaddr_in6 *>(out);
  std::memset(in6, 0, sizeof *in6);
  in6->sin6_family = AF_INET6;
  in6->sin6_port = htons(e.port);
  auto *dst = reinterpret_cast<std::uint8_t *>(&in6->sin6_addr);
  if (e.ip.v6) {
    std::memcpy(dst, e.ip.bytes.data(), 16);
  } else {
    dst[10] = 0xff;
    dst[11] = 0xff;
    std::memcpy(dst + 12, e.ip.bytes.data(), 4);
  }
  return sizeof *in6;
}

}  // namespace skytether
