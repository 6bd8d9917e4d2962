// Server names are looked up by the system's resolver (getaddrinfo) on a thread of the lookup's
// own, where the system offers no asynchronous lookup that the main thread can poll. The thread
// runs nothing but the C library's getaddrinfo and then says it is done; the host's main thread
// starts a lookup and asks, from the receive cycle, whether it has ended, and joins the thread
// once it has (the thread is then past its last step).
// The thread's code is in the plugin file: while one runs, it keeps the file loaded, so that a
// plugin unloaded meanwhile stays in memory until the lookup ends (with a lookup still hanging at
// stop, for good: a reload then finds the file still loaded). A lookup let go of at stop while its
// thread runs is freed by that thread when it ends.
#include <dlfcn.h>
#include <netdb.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/lookup_common.h"
#include "platform/platform.h"

namespace platform {
namespace {

constexpr int kFinished = 1;  // the thread has its answer
constexpr int kReleased = 2;  // the plugin stopped waiting for it: the thread frees the lookup

void *PinThisFile() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void *>(&PinThisFile), &info) == 0 || info.dli_fname == nullptr) return nullptr;
  return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
}

struct Threaded {
  struct Lookup {
    std::string name;
    std::thread thread;
    std::atomic<int> state{0};
    int code = 0;
    addrinfo *result = nullptr;
    long deadlineMs = 0;
    void *pin = nullptr;  // this plugin file, held loaded while the thread runs
  };

  static void Run(Lookup *lookup) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    // Stream addresses of either family, in the order the system prefers them.
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    lookup->code = getaddrinfo(lookup->name.c_str(), nullptr, &hints, &lookup->result);
    if (lookup->state.fetch_or(kFinished, std::memory_order_acq_rel) & kReleased) {
      // Nobody waits for it any more. Its hold on the file stays: this code runs in it.
      if (lookup->result != nullptr) freeaddrinfo(lookup->result);
      delete lookup;
    }
  }

  static bool Finished(Lookup *lookup) { return lookup->state.load(std::memory_order_acquire) & kFinished; }
  static void Free(Lookup *lookup) {
    if (lookup->thread.joinable()) lookup->thread.join();  // past its last step already
    if (lookup->result != nullptr) freeaddrinfo(lookup->result);
    if (lookup->pin != nullptr) dlclose(lookup->pin);
    delete lookup;
  }
  static void Cancel(Lookup *) {}  // getaddrinfo cannot be stopped: the thread runs to its end
  static int Code(Lookup *lookup) { return lookup->code; }
  static const addrinfo *Answer(Lookup *lookup) { return lookup->result; }
  // A thread still running keeps the file it runs in, ends on its own and frees its lookup then.
  static void Abandon(Lookup *lookup) {
    if (Finished(lookup)) {
      Free(lookup);
      return;
    }
    lookup->thread.detach();
    if (lookup->state.fetch_or(kReleased, std::memory_order_acq_rel) & kFinished) {
      // It ended meanwhile and may still be on its way out of the file's code: the hold stays.
      if (lookup->result != nullptr) freeaddrinfo(lookup->result);
      delete lookup;
    }
  }
};

LookupBook<Threaded> book;

}  // namespace

bool StartLookup(const std::string &name, std::string &failure) {
  book.Cancel();
  auto *lookup = new Threaded::Lookup();
  lookup->name = name;
  lookup->deadlineMs = SteadyMs() + kLookupWaitMs;
  lookup->pin = PinThisFile();
  try {
    lookup->thread = std::thread(Threaded::Run, lookup);
  } catch (const std::exception &) {
    failure = "name lookup failed (no thread for it)";
    Threaded::Free(lookup);
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
