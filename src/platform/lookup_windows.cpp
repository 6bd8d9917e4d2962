// Server names are looked up by the system's resolver (GetAddrInfoExW, so the hosts file, the name
// servers and the system's address order are the ones every other program sees). The lookup runs
// on the system's own worker and signals an event when it ends; the host's main thread starts it
// and asks, from the receive cycle, whether the event is set. No code of the plugin runs off the
// main thread, and no completion routine is given, so the host may unload the plugin while a
// lookup is still running.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/lookup_common.h"
#include "platform/platform.h"
#include "platform/windows_text.h"

// In ws2_32 since Windows 8; the toolchain's headers lack their declarations.
extern "C" {
WINSOCK_API_LINKAGE INT WSAAPI GetAddrInfoExCancel(LPHANDLE lpHandle);
WINSOCK_API_LINKAGE INT WSAAPI GetAddrInfoExOverlappedResult(LPOVERLAPPED lpOverlapped);
}

namespace platform {
namespace {

struct Lookup {
  std::wstring name;
  OVERLAPPED overlapped;
  ADDRINFOEXW *result = nullptr;
  HANDLE cancel = nullptr;
  long deadlineMs = 0;
};

Lookup *current = nullptr;
// Lookups given up while the system was still working on them: it writes its answer into them,
// so they are freed only once it has.
std::vector<Lookup *> dropped;

bool Finished(Lookup *lookup) {
  return WaitForSingleObject(lookup->overlapped.hEvent, 0) == WAIT_OBJECT_0;
}

void Free(Lookup *lookup) {
  if (lookup->result != nullptr) FreeAddrInfoExW(lookup->result);
  CloseHandle(lookup->overlapped.hEvent);
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
  if (!Finished(lookup)) GetAddrInfoExCancel(&lookup->cancel);
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
  lookup->name = Wide(name);
  std::memset(&lookup->overlapped, 0, sizeof lookup->overlapped);
  lookup->overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (lookup->name.empty() || lookup->overlapped.hEvent == nullptr) {
    failure = lookup->name.empty() ? "not a host name" : "name lookup failed (no event)";
    if (lookup->overlapped.hEvent != nullptr) CloseHandle(lookup->overlapped.hEvent);
    delete lookup;
    return false;
  }
  // Stream addresses of either family, in the order the system prefers them.
  ADDRINFOEXW hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  lookup->deadlineMs = SteadyMs() + kLookupWaitMs;
  const int started = GetAddrInfoExW(lookup->name.c_str(), nullptr, NS_ALL, nullptr, &hints, &lookup->result,
                                     nullptr, &lookup->overlapped, nullptr, &lookup->cancel);
  if (started != WSA_IO_PENDING) {
    // Answered at once: the event is set all the same.
    if (started != 0 && !Finished(lookup)) {
      failure = LookupFailure(started);
      Free(lookup);
      return false;
    }
    SetEvent(lookup->overlapped.hEvent);
    lookup->overlapped.Internal = ULONG_PTR(started);
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
  if (!Finished(current)) {
    if (SteadyMs() < current->deadlineMs) return LookupResult::Waiting;
    Drop(current);
    current = nullptr;
    failure = "the name server did not answer";
    return LookupResult::Failed;
  }
  const int code = GetAddrInfoExOverlappedResult(&current->overlapped);
  candidates.clear();
  if (code == 0) AppendCandidates(current->result, port, candidates);
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
  // What is still running keeps its memory: the system writes its answer there after the plugin
  // is gone. One small block per lookup a pilot left hanging when the plugin stopped.
  FreeFinishedDropped();
  dropped.clear();
}

}  // namespace platform
