#pragma once
// Between the kernel's socket addresses and the registry's.
#include <sys/socket.h>

#include <cstdint>

#include "core/address.h"
#include "net/asio.h"

namespace skytether {

// An IPv4 peer seen through a dual-stack socket (::ffff:a.b.c.d) stays IPv4, so a pilot's stream
// and its datagrams compare equal whichever socket saw them.
IpAddr FromSockaddr(const sockaddr *sa, std::uint16_t *port);
IpAddr FromAsio(const asio::ip::address &a);
// The address to send to from a socket of the given family; its length.
socklen_t ToSockaddr(const Endpoint &e, bool v6_socket, sockaddr_storage *out);

}  // namespace skytether
