// load-check: many pilots speaking the real protocol to a running server on this machine, each
// checking what it receives. Every pilot logs in on its own stream, announces a model and the
// callsign "L<uniqueID>", and sends position lines at a fixed rate from its own datagram socket.
// Each line also carries who sent it and a sequence number, so a recipient can tell:
//   - lost reports: per held (recipient, sender) pair, sequence numbers missing in the window;
//   - misrouted reports: a report in a slot whose callsign notice named another pilot;
//   - slot tables: from the notices, no pilot in two slots, every slot freed with "BLANK";
//   - altered reports: the relayed values differ from the ones sent;
//   - relay latency: the send time travels in the x value, in units of 0.1 ms;
// and it samples the server's CPU time and memory from /proc while it runs.
//
// Against a cluster (--nodes N): pilot i belongs to node i % N, reached at the i % N-th of the
// ports given, or, with one port, through nodes on one address from a source address that the
// steering sends to that node. Latency is then also counted apart for reports that crossed from
// one node to another. Every table, on one server or many, must have settled on the nearest
// pilots (no outsider nearer than the farthest holder by the swap margin).
// With --chatters N, N more clients log in, each from its own address (127.1.x.y), and chat
// without flying: --chat-burst lines at once every --chat-burst x --chat-interval seconds (5 lines
// every 5 s by default: the allowance of one connection, all of it at once). The pilots' losses
// then show what a chat flood costs the relay.
//
//   load-check --port P --server-pid PID [--pilots 200] [--rate 30] [--seconds 60] [--warmup 5]
//              [--chatters 0] [--chat-interval 1] [--chat-burst 5] [--max-loss PERCENT]
//              [--nodes N --port P1[,P2...] --server-pid PID1[,PID2...] [--redis-pid PID]]
//
// Bounded: it stops after warm-up plus the measured seconds. Exit status 1 when a report was
// misrouted or altered or a slot table is inconsistent, or more than --max-loss percent of the
// reports were lost (when given); otherwise losses and timings are only reported.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "net/steering.h"

namespace {

// "1,2,3" -> {1, 2, 3}.
std::vector<int> IntList(const char *s) {
  std::vector<int> out;
  for (const char *p = s; *p != '\0';) {
    char *end = nullptr;
    out.push_back(int(std::strtol(p, &end, 10)));
    p = *end == ',' ? end + 1 : end;
    if (end == p && *p != '\0') break;
  }
  return out;
}

using Clock = std::chrono::steady_clock;
constexpr int kSlots = 20;

struct Pair {
  long long first = -1, last = -1, count = 0;
  bool interrupted = false;  // the slot changed hands during the window
};

struct Pilot {
  int index = 0, id = 0;
  int tcp = -1, udp = -1;
  double lat = 0, lon = 0;
  std::string tail;  // the values after x, y, z: fixed for the run
  long long seq = 0;
  std::string stream;                  // notice text not yet split into lines
  std::array<int, kSlots> holder;      // sender index per slot, from the callsign notices; -1 free
  std::array<int, kSlots> previous;    // the holder before the last change, and when it changed:
  std::array<double, kSlots> changed;  //   its reports relayed just before may still be on the way
  std::vector<Pair> from;              // per sender index
  long long gives = 0, frees = 0;      // notices during the window
  long long chats = 0;                 // chat lines received during the window
};

struct Chatter {
  int tcp = -1;
  std::string id;
  double due = 0;
  long long sent = 0;
};

double Since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

void Die(const char *what) {
  std::perror(what);
  std::exit(2);
}

std::string Fmt(double v) {
  char b[32];
  std::snprintf(b, sizeof b, "%.9g", static_cast<double>(static_cast<float>(v)));
  return b;
}

// utime + stime of a process, in seconds; resident and peak resident memory in KiB.
struct ProcSample {
  double cpu = 0, user = 0, system = 0;
  long rss = 0, hwm = 0;
};

ProcSample Sample(int pid) {
  ProcSample s;
  if (pid <= 0) return s;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  size_t close = line.rfind(')');
  if (close != std::string::npos) {
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    long ticks = sysconf(_SC_CLK_TCK);
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i == 14) s.user = std::stod(field) / ticks;
      if (i == 15) s.system = std::stod(field) / ticks;
    }
    s.cpu = s.user + s.system;
  }
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) s.rss = std::atol(line.c_str() + 6);
    if (line.rfind("VmHWM:", 0) == 0) s.hwm = std::atol(line.c_str() + 6);
  }
  return s;
}

}  // namespace

int main(int argc, char **argv) {
  int port = 0, pilots = 200, serverPid = 0, chatters = 0, chatBurst = 5, nodes = 1, redisPid = 0;
  std::vector<int> ports, serverPids;
  double rate = 30, seconds = 60, warmup = 5, chatInterval = 1.0, maxLoss = -1;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    const char *v = argv[i + 1];
    if (a == "--port")
      ports = IntList(v);
    else if (a == "--server-pid")
      serverPids = IntList(v);
    else if (a == "--nodes")
      nodes = std::atoi(v);
    else if (a == "--redis-pid")
      redisPid = std::atoi(v);
    else if (a == "--pilots")
      pilots = std::atoi(v);
    else if (a == "--rate")
      rate = std::atof(v);
    else if (a == "--seconds")
      seconds = std::atof(v);
    else if (a == "--warmup")
      warmup = std::atof(v);
    else if (a == "--chatters")
      chatters = std::atoi(v);
    else if (a == "--chat-interval")
      chatInterval = std::atof(v);
    else if (a == "--chat-burst")
      chatBurst = std::atoi(v);
    else if (a == "--max-loss")
      maxLoss = std::atof(v);
    else {
      std::fprintf(stderr, "unknown option %s\n", a.c_str());
      return 2;
    }
  }
  port = ports.empty() ? 0 : ports[0];
  serverPid = serverPids.empty() ? 0 : serverPids[0];
  const bool steered = nodes > 1 && ports.size() == 1;
  if (port <= 0 || pilots < 2 || rate <= 0 || seconds <= 0 || seconds > 3600 || chatters < 0 ||
      chatters > 60000 || chatInterval <= 0 || chatBurst < 1 || nodes < 1 || nodes > 64 ||
      (nodes > 1 && ports.size() != 1 && int(ports.size()) != nodes)) {
    std::fprintf(stderr,
                 "usage: load-check --port P[,P2...] --server-pid PID[,PID2...] [--pilots N] [--rate HZ]"
                 " [--seconds S] [--nodes N] [--redis-pid PID]\n");
    return 2;
  }
  rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }

  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);  // loopback only

  int ep = epoll_create1(0);
  std::vector<Pilot> fleet(pilots);
  const std::vector<unsigned> sources =
      steered ? skytether::SpreadLoopbackAddresses(pilots, nodes) : std::vector<unsigned>();
  auto nodeOf = [nodes](int pilot) { return pilot % nodes; };
  for (int i = 0; i < pilots; ++i) {
    Pilot &p = fleet[i];
    p.index = i;
    p.id = 100000 + i;
    p.holder.fill(-1);
    p.previous.fill(-1);
    p.changed.fill(-1e9);
    p.from.resize(pilots);
    // A 20 x N grid of points about 2 km apart: everyone has near and far neighbours.
    p.lat = 47.0 + (i % 20) * 0.02;
    p.lon = 8.0 + (i / 20) * 0.03;
    sockaddr_in to = server, source{};
    source.sin_family = AF_INET;
    if (ports.size() > 1) to.sin_port = htons(static_cast<uint16_t>(ports[size_t(nodeOf(i))]));
    if (steered) source.sin_addr.s_addr = sources[size_t(i)];
    p.tcp = socket(AF_INET, SOCK_STREAM, 0);
    if (steered && bind(p.tcp, reinterpret_cast<sockaddr *>(&source), sizeof source) != 0) Die("bind");
    if (connect(p.tcp, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) Die("connect");
    const std::string id = std::to_string(p.id);
    const std::string hello = id + "|Opening Connection|load" + id + "|00000000000000000000000000000000|\n" +
                              id + "|PLANE|/sim/Aircraft/Load/L" + std::to_string(i % 7) + "/load.acf\n" +
                              id + "|CALLSIGN|L" + id + "|\n";
    if (send(p.tcp, hello.data(), hello.size(), MSG_NOSIGNAL) != ssize_t(hello.size())) Die("send");
    p.udp = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    int big = 4 << 20;
    setsockopt(p.udp, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    if (steered && bind(p.udp, reinterpret_cast<sockaddr *>(&source), sizeof source) != 0) Die("bind");
    if (connect(p.udp, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) Die("udp connect");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(i);
    epoll_ctl(ep, EPOLL_CTL_ADD, p.udp, &ev);
    p.tail = "|" + Fmt(p.lat) + "|" + Fmt(p.lon) + "|1500|2|0|90|0|0|0|0|0|0|0|0";
    for (int g = 0; g < 10; ++g) p.tail += "|1";
    p.tail += "|1|0|1|1|0";
    for (int t = 0; t < 8; ++t) p.tail += "|0.8";
    p.tail += "|1733616000|500000";
  }
  // Chatters: each from its own loopback address, so only the server-wide budget binds them all.
  std::vector<Chatter> chat(chatters);
  for (int k = 0; k < chatters; ++k) {
    Chatter &c = chat[k];
    c.id = std::to_string(300000 + k);
    c.due = chatInterval * chatBurst * k / chatters;
    c.tcp = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr =
        htonl((127u << 24) | (1u << 16) | (unsigned(k / 250) << 8) | unsigned(k % 250 + 1));
    if (bind(c.tcp, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) Die("bind chatter");
    if (connect(c.tcp, reinterpret_cast<sockaddr *>(&server), sizeof server) != 0) Die("connect chatter");
    const std::string hello =
        c.id + "|Opening Connection|chat" + c.id + "|00000000000000000000000000000000|\n";
    if (send(c.tcp, hello.data(), hello.size(), MSG_NOSIGNAL) != ssize_t(hello.size())) Die("send");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(pilots + k);
    epoll_ctl(ep, EPOLL_CTL_ADD, c.tcp, &ev);
  }
  long long chatSentInWindow = 0;
  usleep(500000);  // logins first, so slots come with their notices

  long long sent = 0, sentInWindow = 0, received = 0, misrouted = 0, late = 0, altered = 0, stray = 0;
  std::vector<double> delays, early, last, sameNode, crossNode;
  delays.reserve(size_t(rate * seconds * pilots * 19 * 1.05));
  bool measuring = false;
  double windowStart = 0;
  const size_t servers = std::max<size_t>(1, serverPids.size());
  std::vector<ProcSample> atStart(servers);
  std::vector<std::vector<long>> rssBySecond(servers);
  ProcSample redisAtStart;
  double nextSample = 0;

  const auto t0 = Clock::now();
  // Reads the notices waiting for one pilot and applies them to its slot table.
  auto readStream = [&](Pilot &p) {
    char buf[65536];
    for (;;) {
      ssize_t n = recv(p.tcp, buf, sizeof buf, MSG_DONTWAIT);
      if (n <= 0) break;
      p.stream.append(buf, size_t(n));
    }
    size_t start = 0;
    for (size_t nl; (nl = p.stream.find('\n', start)) != std::string::npos; start = nl + 1) {
      const std::string line = p.stream.substr(start, nl - start);
      int slot = std::atoi(line.c_str());
      size_t bar = line.find('|');
      if (measuring && bar != std::string::npos && line.compare(bar, 3, "|m|") == 0) ++p.chats;
      if (bar == std::string::npos || line.compare(bar, 3, "|c|") != 0 || slot < 1 || slot >= kSlots)
        continue;
      const std::string name = line.substr(bar + 3);
      int before = p.holder[slot];
      p.holder[slot] = name == "BLANK" ? -1 : std::atoi(name.c_str() + 1) - 100000;
      if (before != p.holder[slot] && before >= 0) {
        p.previous[slot] = before;
        p.changed[slot] = Since(t0);
      }
      if (measuring && before != p.holder[slot]) {
        (p.holder[slot] == -1 ? p.frees : p.gives)++;
        if (before >= 0) p.from[before].interrupted = true;
        if (p.holder[slot] >= 0) p.from[p.holder[slot]].interrupted = true;
      }
    }
    p.stream.erase(0, start);
  };

  const double period = 1.0 / rate;
  // Pilot i sends at i/N of each period: spread like independent frame clocks.
  std::vector<double> due(pilots);
  for (int i = 0; i < pilots; ++i) due[i] = period * i / pilots;
  std::vector<mmsghdr> msgs(64);
  std::vector<iovec> iovs(64);
  std::vector<std::array<char, 2048>> bufs(64);
  epoll_event events[256];
  for (;;) {
    const double now = Since(t0);
    if (!measuring && now >= warmup) {
      measuring = true;
      windowStart = now;
      sentInWindow = sent;
      for (const Chatter &c : chat) chatSentInWindow -= c.sent;
      for (size_t k = 0; k < servers; ++k) atStart[k] = Sample(serverPids.empty() ? 0 : serverPids[k]);
      redisAtStart = Sample(redisPid);
    }
    if (now >= warmup + seconds) break;
    if (measuring && now >= nextSample) {
      for (size_t k = 0; k < servers; ++k)
        rssBySecond[k].push_back(Sample(serverPids.empty() ? 0 : serverPids[k]).rss);
      nextSample = now + 1.0;
    }
    double nextDue = 1e9;
    for (Pilot &p : fleet) {
      double &d = due[p.index];
      if (now >= d) {
        // x: send time in 0.1 ms, y: sender index, z: sequence number; all exact as floats.
        const std::string line = std::to_string(p.id) + "|LOC|" + Fmt(std::floor(now * 10000.0)) + "|" +
                                 std::to_string(p.index) + "|" + std::to_string(p.seq) + p.tail;
        if (send(p.udp, line.data(), line.size(), 0) > 0) {
          ++sent;
          ++p.seq;
        }
        d += period;
      }
      nextDue = std::min(nextDue, d);
    }
    for (Chatter &c : chat) {
      if (now >= c.due) {
        std::string lines;
        for (int b = 0; b < chatBurst; ++b)
          lines += c.id + "|MESSAGE|chat line " + std::to_string(c.sent + b) + " from " + c.id + "\n";
        if (send(c.tcp, lines.data(), lines.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0) c.sent += chatBurst;
        c.due += chatInterval * chatBurst;
      }
      nextDue = std::min(nextDue, c.due);
    }
    double wait = nextDue - Since(t0);
    int n = epoll_wait(ep, events, 256, wait > 0.001 ? int(wait * 1000) : 0);
    for (int e = 0; e < n; ++e) {
      if (events[e].data.u32 >= uint32_t(pilots)) {  // a chatter's stream: read and forget
        char sink[65536];
        while (recv(chat[events[e].data.u32 - pilots].tcp, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
        continue;
      }
      Pilot &r = fleet[events[e].data.u32];
      for (;;) {
        for (int i = 0; i < 64; ++i) {
          iovs[i] = iovec{bufs[i].data(), bufs[i].size() - 1};
          std::memset(&msgs[i], 0, sizeof msgs[i]);
          msgs[i].msg_hdr.msg_iov = &iovs[i];
          msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int got = recvmmsg(r.udp, msgs.data(), 64, MSG_DONTWAIT, nullptr);
        if (got <= 0) break;
        const double at = Since(t0);
        for (int i = 0; i < got; ++i) {
          char *b = bufs[i].data();
          b[msgs[i].msg_len] = '\0';
          int slot = 0, sender = -1;
          long long seq = -1;
          double x = 0;
          char *p = b;
          slot = int(std::strtol(p, &p, 10));
          if (std::strncmp(p, "|l|", 3) != 0) {
            ++stray;
            continue;
          }
          x = std::strtod(p + 3, &p);
          sender = int(std::strtol(p + 1, &p, 10));
          seq = std::strtoll(p + 1, &p, 10);
          if (sender < 0 || sender >= pilots || slot < 1 || slot >= kSlots) {
            ++stray;
            continue;
          }
          if (std::strcmp(p, fleet[sender].tail.c_str()) != 0) ++altered;
          // The callsign notice for a new slot goes out on the stream before the first report.
          if (r.holder[slot] != sender) readStream(r);
          if (r.holder[slot] != sender) {
            if (r.previous[slot] == sender && at - r.changed[slot] < 0.5)
              ++late;
            else
              ++misrouted;
          }
          if (!measuring) continue;
          ++received;
          delays.push_back(at * 1000.0 - x / 10.0);
          if (nodes > 1) (nodeOf(sender) == nodeOf(r.index) ? sameNode : crossNode).push_back(delays.back());
          // The first and the last ten seconds apart: does the delay grow during the run?
          if (at < windowStart + 10) early.push_back(delays.back());
          if (at > warmup + seconds - 10) last.push_back(delays.back());
          Pair &pair = r.from[sender];
          if (pair.first < 0) pair.first = seq;
          pair.last = std::max(pair.last, seq);
          ++pair.count;
        }
      }
    }
    // Drain the streams so the server never sees us as a slow reader.
    for (Pilot &p : fleet) readStream(p);
  }
  const double span = Since(t0) - windowStart;
  for (const Chatter &c : chat) chatSentInWindow += c.sent;
  std::vector<ProcSample> atEnd(servers);
  for (size_t k = 0; k < servers; ++k) atEnd[k] = Sample(serverPids.empty() ? 0 : serverPids[k]);
  const ProcSample redisAtEnd = Sample(redisPid);

  // Losses on pairs held for the whole window.
  long long expected = 0, got = 0, pairs = 0, interruptedPairs = 0;
  for (const Pilot &r : fleet) {
    for (int s = 0; s < pilots; ++s) {
      const Pair &pair = r.from[s];
      if (pair.count == 0) continue;
      if (pair.interrupted) {
        ++interruptedPairs;
        continue;
      }
      ++pairs;
      expected += pair.last - pair.first + 1;
      got += pair.count;
    }
  }
  // Slot tables from the notices: no pilot twice, never the recipient itself, full when it can be.
  int consistent = 0;
  long long gives = 0, frees = 0, chats = 0;
  for (Pilot &r : fleet) {
    readStream(r);
    gives += r.gives;
    frees += r.frees;
    chats += r.chats;
    std::vector<int> held;
    for (int s = 1; s < kSlots; ++s)
      if (r.holder[s] >= 0) held.push_back(r.holder[s]);
    std::sort(held.begin(), held.end());
    bool ok = std::adjacent_find(held.begin(), held.end()) == held.end() &&
              !std::binary_search(held.begin(), held.end(), r.index) &&
              int(held.size()) == std::min(pilots - 1, kSlots - 1);
    consistent += ok;
  }
  // Every table settled on the nearest: no outsider nearer than its farthest holder by the margin
  // the server swaps for (10 % or 1 km, whichever is larger), whichever node each is on.
  int settled = 0;
  for (const Pilot &r : fleet) {
    auto km = [&](const Pilot &p) {
      const double rad = 3.14159265358979323846 / 180.0;
      const double dlat = (p.lat - r.lat) * rad, dlon = (p.lon - r.lon) * rad;
      const double a = std::sin(dlat / 2) * std::sin(dlat / 2) + std::cos(r.lat * rad) *
                                                                     std::cos(p.lat * rad) *
                                                                     std::sin(dlon / 2) * std::sin(dlon / 2);
      return 2 * 6371.0088 * std::asin(std::sqrt(std::min(1.0, a)));
    };
    double farthest = 0, nearestOut = 1e9;
    std::vector<bool> held(size_t(pilots), false);
    for (int s = 1; s < kSlots; ++s)
      if (r.holder[s] >= 0) held[size_t(r.holder[s])] = true;
    for (const Pilot &p : fleet) {
      if (p.index == r.index) continue;
      if (held[size_t(p.index)])
        farthest = std::max(farthest, km(p));
      else
        nearestOut = std::min(nearestOut, km(p));
    }
    settled += !(nearestOut < farthest - std::max(0.1 * farthest, 1.0));
  }
  auto pct = [](std::vector<double> &v, double q) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[size_t(q * double(v.size() - 1))];
  };

  std::printf("pilots %d at %.0f Hz, %.1f s measured after %.0f s warm-up, server pid %d\n", pilots, rate,
              span, warmup, serverPid);
  std::printf("positions sent           %.0f/s\n", double(sent - sentInWindow) / span);
  std::printf("reports relayed          %.0f datagrams/s (%lld in the window)\n", double(received) / span,
              received);
  std::printf("reports lost             %lld of %lld (%.4f %%) on %lld pairs held throughout\n",
              expected - got, expected,
              expected > 0 ? 100.0 * double(expected - got) / double(expected) : 0.0, pairs);
  std::printf("slot changes in window   %lld given, %lld freed (%lld pairs interrupted)\n", gives, frees,
              interruptedPairs);
  if (chatters > 0) {
    std::printf("chat                     %d connections sent %.0f lines/s; each pilot got %.1f lines/s\n",
                chatters, double(chatSentInWindow) / span, double(chats) / pilots / span);
  }
  std::printf("misrouted reports        %lld (and %lld from a slot's holder just before a change)\n",
              misrouted, late);
  std::printf("altered reports          %lld (stray datagrams %lld)\n", altered, stray);
  std::printf("slot tables consistent   %d of %d (settled on the nearest: %d)\n", consistent, pilots,
              settled);
  std::printf("relay latency ms         p50 %.2f  p99 %.2f  max %.2f  (0.1 ms resolution)\n",
              pct(delays, 0.5), pct(delays, 0.99), pct(delays, 1.0));
  std::printf("  first 10 s / last 10 s p50 %.2f / %.2f  p99 %.2f / %.2f\n", pct(early, 0.5), pct(last, 0.5),
              pct(early, 0.99), pct(last, 0.99));
  if (nodes > 1) {
    std::printf("  same node / cross node p50 %.2f / %.2f  p99 %.2f / %.2f  (%zu / %zu reports)\n",
                pct(sameNode, 0.5), pct(crossNode, 0.5), pct(sameNode, 0.99), pct(crossNode, 0.99),
                sameNode.size(), crossNode.size());
  }
  for (size_t k = 0; k < servers && serverPid > 0; ++k) {
    const char *who = servers > 1 ? "node" : "server";
    const double user = atEnd[k].user - atStart[k].user, system = atEnd[k].system - atStart[k].system;
    const std::vector<long> &rss = rssBySecond[k];
    long low = rss.empty() ? 0 : *std::min_element(rss.begin(), rss.end());
    long high = rss.empty() ? 0 : *std::max_element(rss.begin(), rss.end());
    std::printf("%s %zu CPU             %.2f cores (user %.2f, system %.2f)\n", who, k,
                (user + system) / span, user / span, system / span);
    std::printf(
        "%s %zu memory          RSS %.1f MiB at start, %.1f MiB at end, %.1f-%.1f MiB sampled each second, "
        "peak %.1f MiB\n",
        who, k, atStart[k].rss / 1024.0, atEnd[k].rss / 1024.0, low / 1024.0, high / 1024.0,
        atEnd[k].hwm / 1024.0);
  }
  if (redisPid > 0) {
    std::printf("Redis CPU                %.2f cores; RSS %.1f MiB at end\n",
                (redisAtEnd.cpu - redisAtStart.cpu) / span, redisAtEnd.rss / 1024.0);
  }
  for (Chatter &c : chat) close(c.tcp);
  for (Pilot &p : fleet) {
    const std::string bye = std::to_string(p.id) + "|Closing Connection\n";
    send(p.tcp, bye.data(), bye.size(), MSG_NOSIGNAL);
    close(p.tcp);
    close(p.udp);
  }
  const double lossPercent = expected > 0 ? 100.0 * double(expected - got) / double(expected) : 0.0;
  const bool bad = misrouted > 0 || altered > 0 || consistent != pilots || settled != pilots ||
                   (maxLoss >= 0 && lossPercent > maxLoss);
  std::printf("load check: %s\n", bad ? "FAILED" : "consistent");
  return bad ? 1 : 0;
}
