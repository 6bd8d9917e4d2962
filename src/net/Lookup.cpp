// Server names are looked up by the system's resolver (getaddrinfo, so the hosts file, the name
// servers and the system's address order are the ones every other program on the machine sees),
// on the C library's own worker thread (getaddrinfo_a). The host's main thread only starts a
// lookup and asks, from the receive cycle, whether it has ended. No code of the plugin runs off
// the main thread, so the host may unload the plugin while a lookup is still running.
#include <netdb.h>
#include <time.h>

#include <cstring>
#include <string>
#include <vector>

#include "net/net.h"

namespace {

// A name server that does not answer is given up after this long.
constexpr long kLookupWaitMs = 10000;
// At most this many of a name's addresses are tried.
constexpr size_t kMaxCandidates = 8;

struct Lookup {
  std::string name;
  addrinfo hints;
  gaicb request;
  long deadlineMs;
};

Lookup *current = nullptr;
// Lookups given up while the C library was still working on them: it writes its answer into
// them, so they are freed only once it has.
std::vector<Lookup *> dropped;

long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return long(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool Finished(Lookup *lookup) {
  return gai_error(&lookup->request) != EAI_INPROGRESS;
}

void Free(Lookup *lookup) {
  if (lookup->request.ar_result != nullptr) freeaddrinfo(lookup->request.ar_result);
  delete lookup;
}

void FreeFinishedDropped() {
  for (size_t i = 0; i < dropped.size();) {
    if (Finished(dropped[i])) {
      Free(dropped[i]);
      dropped[i] = dropped.back();
      dropped.pop_back();
    } else {
      ++i;
    }
  }
}

void Drop(Lookup *lookup) {
  gai_cancel(&lookup->request);
  if (Finished(lookup))
    Free(lookup);
  else
    dropped.push_back(lookup);
}

std::string LookupFailure(int code) {
  switch (code) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
      return "no such name";
    case EAI_ADDRFAMILY:
      return "no address for this name";
    case EAI_AGAIN:
      return "the name server did not answer";
    case EAI_MEMORY:
      return "out of memory looking up the name";
    default:
      return std::string("name lookup failed (") + gai_strerror(code) + ")";
  }
}

}  // namespace

bool StartLookup(const std::string &name, std::string &failure) {
  FreeFinishedDropped();
  if (current != nullptr) {
    Drop(current);
    current = nullptr;
  }
  Lookup *lookup = new Lookup();
  lookup->name = name;
  // Stream addresses of either family, in the order the system prefers them.
  std::memset(&lookup->hints, 0, sizeof lookup->hints);
  lookup->hints.ai_family = AF_UNSPEC;
  lookup->hints.ai_socktype = SOCK_STREAM;
  lookup->hints.ai_protocol = IPPROTO_TCP;
  std::memset(&lookup->request, 0, sizeof lookup->request);
  lookup->request.ar_name = lookup->name.c_str();
  lookup->request.ar_request = &lookup->hints;
  lookup->deadlineMs = NowMs() + kLookupWaitMs;
  gaicb *list[] = {&lookup->request};
  const int started = getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr);
  if (started != 0) {
    failure = LookupFailure(started);
    delete lookup;
    return false;
  }
  current = lookup;
  return true;
}

LookupResult PollLookup(uint16_t port, std::vector<ServerCandidate> &candidates, std::string &failure) {
  FreeFinishedDropped();
  if (current == nullptr) {
    failure = "no name lookup";
    return LookupResult::Failed;
  }
  const int code = gai_error(&current->request);
  if (code == EAI_INPROGRESS) {
    if (NowMs() < current->deadlineMs) return LookupResult::Waiting;
    Drop(current);
    current = nullptr;
    failure = "the name server did not answer";
    return LookupResult::Failed;
  }
  candidates.clear();
  if (code == 0) {
    for (const addrinfo *a = current->request.ar_result; a != nullptr && candidates.size() < kMaxCandidates;
         a = a->ai_next) {
      if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || a->ai_addrlen > sizeof(sockaddr_storage))
        continue;
      ServerCandidate c;
      std::memset(&c.address, 0, sizeof c.address);
      std::memcpy(&c.address, a->ai_addr, a->ai_addrlen);
      c.length = a->ai_addrlen;
      if (a->ai_family == AF_INET)
        reinterpret_cast<sockaddr_in *>(&c.address)->sin_port = htons(port);
      else
        reinterpret_cast<sockaddr_in6 *>(&c.address)->sin6_port = htons(port);
      candidates.push_back(c);
    }
  }
  Free(current);
  current = nullptr;
  if (!candidates.empty()) return LookupResult::Done;
  failure = code == 0 ? "no address for this name" : LookupFailure(code);
  return LookupResult::Failed;
}

void CancelLookup() {
  FreeFinishedDropped();
  if (current != nullptr) Drop(current);
  current = nullptr;
}

void ReleaseLookups() {
  CancelLookup();
  // What is still running keeps its memory: the C library writes its answer there after the
  // plugin is gone. One small block per lookup a pilot left hanging when the plugin stopped.
  for (Lookup *lookup : dropped) gai_cancel(&lookup->request);
  FreeFinishedDropped();
  dropped.clear();
}
