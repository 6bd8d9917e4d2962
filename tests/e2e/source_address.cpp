// Preloaded into a simulated host: its IPv4 sockets speak from the address in
// SKYTETHER_TEST_SOURCE, as the plugin's would on a pilot's own machine. The sockets stay real;
// only the source address the kernel would pick (127.0.0.1) is replaced, so that nodes steered by
// source address see pilots from several machines.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>

namespace {

// Binds an IPv4 socket that has no local port yet to the test's source address.
void BindSource(int fd) {
  const char *source = std::getenv("SKYTETHER_TEST_SOURCE");
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (source == nullptr || getsockname(fd, reinterpret_cast<sockaddr *>(&local), &len) != 0 ||
      local.sin_family != AF_INET || local.sin_port != 0) {
    return;
  }
  local.sin_addr.s_addr = 0;
  if (inet_pton(AF_INET, source, &local.sin_addr) == 1)
    bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local);
}

}  // namespace

extern "C" int connect(int fd, const sockaddr *addr, socklen_t len) {
  using Fn = int (*)(int, const sockaddr *, socklen_t);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "connect"));
  BindSource(fd);
  return real(fd, addr, len);
}

extern "C" ssize_t sendto(int fd, const void *buf, size_t n, int flags, const sockaddr *addr, socklen_t len) {
  using Fn = ssize_t (*)(int, const void *, size_t, int, const sockaddr *, socklen_t);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "sendto"));
  BindSource(fd);
  return real(fd, buf, n, flags, addr, len);
}
