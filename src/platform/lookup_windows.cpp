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

struct Win32 {
  struct Lookup {
    std::wstring name;
    OVERLAPPED overlapped;
    ADDRINFOEXW *result = nullptr;
    HANDLE cancel = nullptr;
    long deadlineMs = 0;
  };
  static bool Finished(Lookup *lookup) { return WaitForSingleObject(lookup->overlapped.hEvent, 0) == WAIT_OBJECT_0; }
  static void Free(Lookup *lookup) {
    if (lookup->result != nullptr) FreeAddrInfoExW(lookup->result);
    CloseHandle(lookup->overlapped.hEvent);
    delete lookup;
  }
  static void Cancel(Lookup *lookup) {
    if (!Finished(lookup)) GetAddrInfoExCancel(&lookup->cancel);
  }
  static int Code(Lookup *lookup) { return GetAddrInfoExOverlappedResult(&lookup->overlapped); }
  static const ADDRINFOEXW *Answer(Lookup *lookup) { return lookup->result; }
  // What is still running keeps its memory: the system writes its answer there after the plugin
  // is gone. One small block per lookup a pilot left hanging when the plugin stopped.
  static void Abandon(Lookup *lookup) {
    if (Finished(lookup)) Free(lookup);
  }
};

LookupBook<Win32> book;

}  // namespace

bool StartLookup(const std::string &name, std::string &failure) {
  book.Cancel();
  auto *lookup = new Win32::Lookup();
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
    if (started != 0 && !Win32::Finished(lookup)) {
      failure = LookupFailure(started);
      Win32::Free(lookup);
      return false;
    }
    SetEvent(lookup->overlapped.hEvent);
    lookup->overlapped.Internal = ULONG_PTR(started);
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
