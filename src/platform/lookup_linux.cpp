// Server names are looked up by the system's resolver (getaddrinfo, so the hosts file, the name
// servers and the system's address order are the ones every other program on the machine sees),
// on the C library's own worker thread (getaddrinfo_a). The host's main thread only starts a
// lookup and asks, from the receive cycle, whether it has ended. No code of the plugin runs off
// the main thread, so the host may unload the plugin while a lookup is still running.
#include <netdb.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/lookup_common.h"
#include "platform/platform.h"

namespace platform {
namespace {

struct Linux {
  struct Lookup {
    std::string name;
    addrinfo hints;
    gaicb request;
    long deadlineMs;
  };
  static bool Finished(Lookup *lookup) { return gai_error(&lookup->request) != EAI_INPROGRESS; }
  static void Free(Lookup *lookup) {
    if (lookup->request.ar_result != nullptr) freeaddrinfo(lookup->request.ar_result);
    delete lookup;
  }
  static void Cancel(Lookup *lookup) { gai_cancel(&lookup->request); }
  static int Code(Lookup *lookup) { return gai_error(&lookup->request); }
  static const addrinfo *Answer(Lookup *lookup) { return lookup->request.ar_result; }
  // What is still running keeps its memory: the C library writes its answer there after the
  // plugin is gone. One small block per lookup a pilot left hanging when the plugin stopped.
  static void Abandon(Lookup *lookup) {
    gai_cancel(&lookup->request);
    if (Finished(lookup)) Free(lookup);
  }
};

LookupBook<Linux> book;

}  // namespace

bool StartLookup(const std::string &name, std::string &failure) {
  book.Cancel();
  auto *lookup = new Linux::Lookup();
  lookup->name = name;
  // Stream addresses of either family, in the order the system prefers them.
  std::memset(&lookup->hints, 0, sizeof lookup->hints);
  lookup->hints.ai_family = AF_UNSPEC;
  lookup->hints.ai_socktype = SOCK_STREAM;
  lookup->hints.ai_protocol = IPPROTO_TCP;
  std::memset(&lookup->request, 0, sizeof lookup->request);
  lookup->request.ar_name = lookup->name.c_str();
  lookup->request.ar_request = &lookup->hints;
  lookup->deadlineMs = SteadyMs() + kLookupWaitMs;
  gaicb *list[] = {&lookup->request};
  const int started = getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr);
  if (started != 0) {
    failure = LookupFailure(started);
    delete lookup;
    return false;
  }
  book.Begin(lookup);
  return true;
}

LookupResult PollLookup(uint16_t port, std::vector<ServerCandidate> &candidates, std::string &failure) {
  return book.Poll(port, candidates, failure);
}

void CancelLookup() { book.Cancel(); }

void ReleaseLookups() { book.Release(); }

}  // namespace platform
