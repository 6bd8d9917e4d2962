// skytether-loadgen: many fake pilots against a running server, on this machine only.
// Each pilot logs in on its own stream, announces itself, and sends position lines at a
// fixed rate from its own datagram socket; every report that comes back is counted and
// its delay measured (the send time travels in the x value, which the server relays as is).
//
//   skytether-loadgen [--host 127.0.0.1] [--port 49556] [--pilots 200] [--rate 30]
//                     [--seconds 10] [--warmup 3]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Pilot {
  int id;
  int tcp = -1;
  int udp = -1;
  double lat, lon;
  std::string tail;  // the values after x, fixed for the run
};

double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

void Die(const char *what) {
  std::perror(what);
  std::exit(1);
}

std::string Fmt(double v) {
  char b[32];
  std::snprintf(b, sizeof b, "%.9g", static_cast<double>(static_cast<float>(v)));
  return b;
}

}  // namespace

int main(int argc, char **argv) {
  std::string host = "127.0.0.1";
  int port = 49556, pilots = 200;
  double rate = 30, seconds = 10, warmup = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    const char *v = argv[i + 1];
    if (a == "--host") host = v;
    else if (a == "--port") port = std::atoi(v);
    else if (a == "--pilots") pilots = std::atoi(v);
    else if (a == "--rate") rate = std::atof(v);
    else if (a == "--seconds") seconds = std::atof(v);
    else if (a == "--warmup") warmup = std::atof(v);
    else {
      std::fprintf(stderr, "unknown option %s\n", a.c_str());
      return 2;
    }
  }
  rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }

  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &server.sin_addr) != 1) Die("address");

  int ep = epoll_create1(0);
  std::vector<Pilot> fleet(pilots);
  for (int i = 0; i < pilots; ++i) {
    Pilot &p = fleet[i];
    p.id = 100000 + i;
    // A 20 x N grid of points about 2 km apart: everyone has near and far neighbours.
    p.lat = 47.0 + (i % 20) * 0.02;
    p.lon = 8.0 + (i / 20) * 0.03;
    p.tcp = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(p.tcp, reinterpret_cast<sockaddr *>(&server), sizeof server) != 0) Die("connect");
    std::string id = std::to_string(p.id);
    std::string hello = id + "|Opening Connection|load" + id + "|00000000000000000000000000000000|\n" + id +
                        "|PLANE|/sim/Aircraft/Load/L" + std::to_string(i % 7) + "/load.acf\n" + id +
                        "|CALLSIGN|L" + id + "|\n";
    if (send(p.tcp, hello.data(), hello.size(), MSG_NOSIGNAL) < 0) Die("send");
    p.udp = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    int big = 4 << 20;
    setsockopt(p.udp, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    if (connect(p.udp, reinterpret_cast<sockaddr *>(&server), sizeof server) != 0) Die("udp connect");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(i);
    epoll_ctl(ep, EPOLL_CTL_ADD, p.udp, &ev);
    p.tail = "|-2.5|300|" + Fmt(p.lat) + "|" + Fmt(p.lon) + "|1500|2|0|90|0|0|0|0|0|0|0|0";
    for (int g = 0; g < 10; ++g) p.tail += "|1";
    p.tail += "|1|0|1|1|0";
    for (int t = 0; t < 8; ++t) p.tail += "|0.8";
    p.tail += "|1733616000|500000";
  }
  // Let the logins land before the first position, so slots come with their notices.
  usleep(500000);

  const auto t0 = Clock::now();
  const double period = 1.0 / rate;
  double next_round = 0;
  long long sent = 0, received = 0, bad = 0;
  std::vector<double> delays;
  delays.reserve(1 << 22);
  bool measuring = false;
  double measure_start = 0;
  long long sent_at_start = 0;
  char buf[2048];
  epoll_event events[256];
  for (;;) {
    double now = Since(t0);
    if (!measuring && now >= warmup) {
      measuring = true;
      measure_start = now;
      sent_at_start = sent;
      received = 0;
      delays.clear();
    }
    if (now >= warmup + seconds) break;
    if (now >= next_round) {
      // One position from every pilot, spread over the round would be kinder; the
      // plugin sends on every drawn frame, so bursts are what a server sees anyway.
      std::string ms = Fmt(std::floor(now * 1000.0));
      for (Pilot &p : fleet) {
        std::string line = std::to_string(p.id) + "|LOC|" + ms + p.tail;
        if (send(p.udp, line.data(), line.size(), 0) > 0) ++sent;
      }
      next_round += period;
    }
    double wait = next_round - Since(t0);
    int timeout = wait > 0 ? static_cast<int>(wait * 1000) : 0;
    int n = epoll_wait(ep, events, 256, timeout);
    for (int e = 0; e < n; ++e) {
      Pilot &p = fleet[events[e].data.u32];
      for (;;) {
        ssize_t len = recv(p.udp, buf, sizeof buf - 1, 0);
        if (len <= 0) break;
        buf[len] = '\0';
        char *l = std::strstr(buf, "|l|");
        if (l == nullptr) {
          ++bad;
          continue;
        }
        if (!measuring) continue;
        ++received;
        double sent_ms = std::strtod(l + 3, nullptr);
        delays.push_back(Since(t0) * 1000.0 - sent_ms);
      }
    }
    // Drain the streams so the server never sees us as a slow reader.
    for (Pilot &p : fleet) {
      while (recv(p.tcp, buf, sizeof buf, MSG_DONTWAIT) > 0) {
      }
    }
  }
  double span = Since(t0) - measure_start;
  long long sent_measured = sent - sent_at_start;
  int fan = std::min(pilots - 1, 19);
  double expected = static_cast<double>(sent_measured) * fan;
  std::sort(delays.begin(), delays.end());
  auto pct = [&](double q) { return delays.empty() ? 0.0 : delays[static_cast<size_t>(q * (delays.size() - 1))]; };
  std::printf("pilots %d, rate %.0f Hz, measured %.1f s\n", pilots, rate, span);
  std::printf("positions sent     %.0f/s\n", sent_measured / span);
  std::printf("reports received   %.0f/s (expected %.0f/s, %.2f %%)\n", received / span, expected / span,
              expected > 0 ? 100.0 * received / expected : 0.0);
  std::printf("report delay (ms, 1 ms resolution)  p50 %.0f  p99 %.0f  max %.0f\n", pct(0.5), pct(0.99),
              pct(1.0));
  if (bad) std::printf("unexpected datagrams %lld\n", bad);
  for (Pilot &p : fleet) {
    std::string bye = std::to_string(p.id) + "|Closing Connection\n";
    send(p.tcp, bye.data(), bye.size(), MSG_NOSIGNAL);
    close(p.tcp);
    close(p.udp);
  }
  return 0;
}
