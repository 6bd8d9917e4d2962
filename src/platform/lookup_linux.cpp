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
  lookup->deadlineMs = SteadyMs() + kLookupWaitMs;
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
    if (SteadyMs() < current->deadlineMs) return LookupResult::Waiting;
    Drop(current);
    current = nullptr;
    failure = "the name server did not answer";
    return LookupResult::Failed;
  }
  candidates.clear();
  if (code == 0) AppendCandidates(current->request.ar_result, port, candidates);
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

}  // namespace platform
