#pragma once
// What every system's name lookup shares: how long it is waited for, how many addresses are kept,
// and how its errors read.
#include <cstring>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <netdb.h>
#endif

#include "platform/platform.h"

namespace platform {

// A name server that does not answer is given up after this long.
constexpr long kLookupWaitMs = 10000;
// At most this many of a name's addresses are tried.
constexpr size_t kMaxCandidates = 8;

inline std::string LookupFailure(int code) {
  switch (code) {
    case EAI_NONAME:
#if defined(EAI_NODATA) && EAI_NODATA != EAI_NONAME
    case EAI_NODATA:
#endif
      return "no such name";
#if defined(EAI_ADDRFAMILY)
    case EAI_ADDRFAMILY:
      return "no address for this name";
#endif
    case EAI_AGAIN:
      return "the name server did not answer";
    case EAI_MEMORY:
      return "out of memory looking up the name";
    default:
      return std::string("name lookup failed (") + gai_strerror(code) + ")";
  }
}

// The stream addresses of a resolver's answer (addrinfo, or its Windows twin), each with port, in
// the resolver's order.
template <typename Info>
void AppendCandidates(const Info *answer, uint16_t port, std::vector<ServerCandidate> &candidates) {
  // (Windows' headers name the struct one way and its link another: the cast bridges them.)
  for (const Info *a = answer; a != nullptr && candidates.size() < kMaxCandidates;
       a = reinterpret_cast<const Info *>(a->ai_next)) {
    if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || size_t(a->ai_addrlen) > sizeof(sockaddr_storage))
      continue;
    ServerCandidate c;
    std::memset(&c.address, 0, sizeof c.address);
    std::memcpy(&c.address, a->ai_addr, size_t(a->ai_addrlen));
    c.length = socklen_t(a->ai_addrlen);
    if (a->ai_family == AF_INET)
      reinterpret_cast<sockaddr_in *>(&c.address)->sin_port = htons(port);
    else
      reinterpret_cast<sockaddr_in6 *>(&c.address)->sin6_port = htons(port);
    candidates.push_back(c);
  }
}

}  // namespace platform
