#pragma once
// What every system's name lookup shares: how long it is waited for, how many addresses are kept,
// how its errors read, and the bookkeeping of the lookups started and given up.
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

// The lookup the plugin waits for, and the ones it gave up while the system was still working on
// them: the system writes its answer into those, so they are freed only once it is done. System
// names its Lookup (with a deadlineMs) and gives, as static functions:
//   Finished(l)  whether the system is done with it     Free(l)    frees one it is done with
//   Cancel(l)    asks the system to stop (it may finish all the same)
//   Code(l)      a finished one's result: 0 or an error   Answer(l)  its addresses
//   Abandon(l)   at release, one the system may still be working on: what is to become of it
template <typename System>
class LookupBook {
 public:
  using Lookup = typename System::Lookup;

  // Gives up the lookup waited for, if any (before another starts, or for good).
  void Cancel() {
    FreeFinishedDropped();
    if (current_ != nullptr) Drop(current_);
    current_ = nullptr;
  }
  // The one waited for from now on (after Cancel).
  void Begin(Lookup *lookup) { current_ = lookup; }

  LookupResult Poll(uint16_t port, std::vector<ServerCandidate> &candidates, std::string &failure) {
    FreeFinishedDropped();
    if (current_ == nullptr) {
      failure = "no name lookup";
      return LookupResult::Failed;
    }
    if (!System::Finished(current_)) {
      if (SteadyMs() < current_->deadlineMs) return LookupResult::Waiting;
      Cancel();
      failure = "the name server did not answer";
      return LookupResult::Failed;
    }
    const int code = System::Code(current_);
    candidates.clear();
    if (code == 0) AppendCandidates(System::Answer(current_), port, candidates);
    System::Free(current_);
    current_ = nullptr;
    if (!candidates.empty()) return LookupResult::Done;
    failure = code == 0 ? "no address for this name" : LookupFailure(code);
    return LookupResult::Failed;
  }

  // The plugin stops: every lookup is let go of.
  void Release() {
    Cancel();
    for (Lookup *lookup : dropped_) System::Abandon(lookup);
    dropped_.clear();
  }

 private:
  void FreeFinishedDropped() {
    for (size_t i = 0; i < dropped_.size();) {
      if (System::Finished(dropped_[i])) {
        System::Free(dropped_[i]);
        dropped_[i] = dropped_.back();
        dropped_.pop_back();
      } else {
        ++i;
      }
    }
  }
  void Drop(Lookup *lookup) {
    System::Cancel(lookup);
    if (System::Finished(lookup))
      System::Free(lookup);
    else
      dropped_.push_back(lookup);
  }

  Lookup *current_ = nullptr;
  std::vector<Lookup *> dropped_;
};

}  // namespace platform
