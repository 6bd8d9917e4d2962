// relay_bench: the server under a load client that speaks the real protocol on 127.0.0.1.
// It starts the server (port 0, its own free port), logs N pilots in over TCP, and has each send
// position lines at a fixed rate from its own datagram socket, the sends spread evenly over the
// period. Every line carries the sender's index and round in x and y and its send time in the
// time fields (seconds, microseconds); each pilot's socket counts what comes back, so the client
// knows loss per recipient and sender and the relay latency of every report.
//
//   relay_bench --server PATH --pilots N [--rate 30] [--seconds 10] [--warmup 4] --out FILE.json
//               [--world grid|spread] [--relay-rates off|on|STEPS]
//               [--nodes N [--redis-server PATH]]
//
// Worlds (pilots stay where they are put):
//   grid    20 wide, about 2 km apart: from 100 pilots on, everyone's 19 nearest are within 5 km.
//   spread  a quarter of the pilots in crowds at twelve airports across a region the size of a
//           continent (about 3,000 by 1,800 km; the busiest airport takes 16 % of the crowds, the
//           quietest 3 %), each uniformly within 5 km of its airport; the other three quarters
//           between two airports picked at random, anywhere from 5 to 95 % of the way along the
//           straight line, offset sideways by a normal spread of 10 km. The draws start from
//           a fixed value: the same world for the same pilot count.
// --relay-rates is handed to the server. The client reads the rates back from the server's log,
// counts per pair what the rates let through, and fetches the server's metrics (--http) at the end.
//
// With --nodes every pilot speaks from an address of its own (127.0.x.y), chosen so that the
// steering hash puts pilot i on node i % 2; --nodes 1 runs one standalone server, --nodes 2 and
// more run that many cluster nodes on one address and port with a redis-server of their own (root
// is needed for the steering program and for a private BPF file system). Reports then also count
// apart by whether sender and recipient share a node.
//
// Figures: reports relayed per second, latency p50/p99/max, loss, server CPU (utime + stime from
// /proc/PID/stat over the measured window), peak RSS (VmHWM), the client's own CPU, and a raw
// sendto of a datagram of the report's length measured by this client before the load starts.
// Loss is counted two ways. Per pair: every report of a pair whose rate lets each one through
// (every pair with the rates off) must arrive. From the counters: positions the server dropped as
// stale or the kernel dropped at its socket, and reports refused by its socket or dropped at the
// recipients' sockets, over the whole run (warm-up included). Pairs whose longest gap between two
// reports passed what the rates allow (a period of their step plus one send) are counted too.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <array>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "net/steering.h"
#include "redis_server.h"

namespace {

double Mono() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Microseconds on the wall clock, the clock the time fields carry.
int64_t WallMicros() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void SleepUntil(double t) {
  timespec ts;
  ts.tv_sec = time_t(t);
  ts.tv_nsec = long((t - double(ts.tv_sec)) * 1e9);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

[[noreturn]] void Die(const std::string &what) {
  std::fprintf(stderr, "relay_bench: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

std::string G9(double v) {
  char b[40];
  std::snprintf(b, sizeof b, "%.9g", static_cast<double>(static_cast<float>(v)));
  return b;
}

// Keeps the calling thread (and what it starts later) on one CPU.
void PinTo(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);
}

// ---- the server process ----

struct ServerProcess {
  harness::ChildProcess process;
  pid_t pid = -1;
  int port = 0;

  void Start(const std::string &path, const std::vector<std::string> &args, int serverCpu) {
    harness::ChildProcess::Options o;
    o.cpu = serverCpu;
    o.stop_grace = 30;
    std::vector<std::string> argv{path};
    // On a machine others share, a niceness below theirs keeps the server's core its own (nice
    // runs the server in its own place, so the pid stays the server's).
    if (const char *nice = std::getenv("RELAY_BENCH_SERVER_NICE")) {
      argv.insert(argv.begin(), {"nice", "-n", nice});
      o.search_path = true;
    }
    argv.insert(argv.end(), args.begin(), args.end());
    std::string line;
    if (!process.Start(argv, o) || !process.WaitForLog("listening on ", 10, &line)) Die("server did not start");
    port = std::atoi(line.c_str() + line.rfind(':') + 1);
    pid = process.pid();
  }

  long LogLines() const {
    const std::string log = process.Log();
    return long(std::count(log.begin(), log.end(), '\n'));
  }

  long StatusKb(const char *key) const {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
      if (line.compare(0, std::strlen(key), key) == 0) return std::atol(line.c_str() + std::strlen(key) + 1);
    return -1;
  }

  // The cluster lines holding `needle`, once there are `want` of them or `timeout` has passed.
  std::vector<std::string> ClusterLines(const std::string &needle, size_t want, double timeout) {
    for (const double end = Mono() + timeout;; usleep(10000)) {
      std::vector<std::string> found;
      std::istringstream log(process.Log());
      for (std::string l; std::getline(log, l);)
        if (l.find("cluster") != std::string::npos && l.find(needle) != std::string::npos) found.push_back(l);
      if (found.size() >= want || Mono() > end) return found;
    }
  }

  // The first line holding needle, once it is there or timeout has passed (empty then).
  std::string LineOf(const std::string &needle, double timeout) {
    std::string line;
    process.WaitForLog(needle, timeout, &line);
    return line;
  }

  void Stop() { process.Stop(30); }
};

// Time the hypervisor kept this machine's CPUs from running (steal), and all CPU time, in ticks.
void StealTicks(long long &steal, long long &total) {
  std::ifstream in("/proc/stat");
  std::string cpu;
  long long v[8] = {0};
  in >> cpu;
  for (long long &x : v) in >> x;
  steal = v[7];
  total = 0;
  for (long long x : v) total += x;
}

// The machine's load averages over 1, 5 and 15 minutes.
std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// Kernel drop counters of the datagram sockets bound to these local ports (/proc/net/udp).
long UdpDrops(const std::vector<int> &ports) {
  std::ifstream in("/proc/net/udp");
  std::string line;
  std::getline(in, line);
  std::vector<bool> want(65536, false);
  for (int p : ports) want[size_t(p)] = true;
  long total = 0;
  while (std::getline(in, line)) {
    std::istringstream s(line);
    std::string slot, local;
    s >> slot >> local;
    int port = int(std::strtol(local.substr(local.find(':') + 1).c_str(), nullptr, 16));
    if (!want[size_t(port)]) continue;
    std::string field, last;
    while (s >> field) last = field;
    total += std::atol(last.c_str());
  }
  return total;
}

// ---- the floor: one raw sendto of a datagram of the report's length ----

double MedianOf(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double RawSendtoMicros(size_t length) {
  int in = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int out = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int big = 4 << 20;
  setsockopt(in, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(in, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      getsockname(in, reinterpret_cast<sockaddr *>(&a), &len) != 0)
    Die("floor socket");
  std::string payload(length, '7');
  char buf[2048];
  std::vector<double> perCall;
  for (int batch = 0; batch < 31; ++batch) {
    const int n = 1000;
    double t0 = Mono();
    for (int i = 0; i < n; ++i)
      sendto(out, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
    perCall.push_back((Mono() - t0) / n * 1e6);
    while (recv(in, buf, sizeof buf, 0) > 0) {
    }
  }
  close(in);
  close(out);
  return MedianOf(perCall);
}

// The same datagram to 19 sockets in one sendmmsg, per datagram: the batched floor the server's
// relay path is built on.
double RawSendmmsgMicros(size_t length) {
  constexpr int kFan = 19;
  int in[kFan];
  sockaddr_in to[kFan];
  int out = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  for (int i = 0; i < kFan; ++i) {
    in[i] = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int big = 4 << 20;
    setsockopt(in[i], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    to[i] = sockaddr_in{};
    to[i].sin_family = AF_INET;
    to[i].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof to[i];
    if (bind(in[i], reinterpret_cast<sockaddr *>(&to[i]), sizeof to[i]) != 0 ||
        getsockname(in[i], reinterpret_cast<sockaddr *>(&to[i]), &len) != 0)
      Die("floor socket");
  }
  std::string payload(length, '7');
  mmsghdr msgs[kFan];
  iovec iov[kFan];
  char buf[2048];
  std::vector<double> perDatagram;
  for (int batch = 0; batch < 31; ++batch) {
    const int n = 50;
    double t0 = Mono();
    for (int k = 0; k < n; ++k) {
      for (int i = 0; i < kFan; ++i) {
        iov[i] = iovec{payload.data(), payload.size()};
        std::memset(&msgs[i], 0, sizeof msgs[i]);
        msgs[i].msg_hdr.msg_name = &to[i];
        msgs[i].msg_hdr.msg_namelen = sizeof to[i];
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
      }
      sendmmsg(out, msgs, kFan, 0);
    }
    perDatagram.push_back((Mono() - t0) / (n * kFan) * 1e6);
    for (int i = 0; i < kFan; ++i)
      while (recv(in[i], buf, sizeof buf, 0) > 0) {
      }
  }
  for (int i = 0; i < kFan; ++i) close(in[i]);
  close(out);
  return MedianOf(perDatagram);
}

// ---- cluster runs: source addresses, a private BPF file system, a redis-server ----

// The steering program's arrays need a BPF file system: one of our own, seen by this process
// and the nodes it starts only. Must run before any thread starts.
std::string PrivateBpfDir() {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    Die("a private mount namespace (root is needed for nodes on one address)");
  static char dir[] = "/tmp/relay-bench-bpf-XXXXXX";
  if (mkdtemp(dir) == nullptr || mount("bpf", dir, "bpf", 0, "mode=0700") != 0) Die("mount -t bpf");
  return dir;
}

void ProcCpu(pid_t pid, double &user, double &system) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = all.rfind(')');
  user = system = 0;
  if (close == std::string::npos) return;
  std::istringstream s(all.substr(close + 2));
  std::string field;
  for (int i = 3; i <= 15 && s >> field; ++i) {
    if (i == 14) user = double(std::atol(field.c_str())) / double(sysconf(_SC_CLK_TCK));
    if (i == 15) system = double(std::atol(field.c_str())) / double(sysconf(_SC_CLK_TCK));
  }
}

// "cluster counters: positions out N in M, ..." -> N and M.
void PositionCounters(const std::string &line, long long &out, long long &in) {
  const char *at = std::strstr(line.c_str(), "positions out ");
  out = in = 0;
  if (at != nullptr) std::sscanf(at, "positions out %lld in %lld", &out, &in);
}

// ---- the server's figures ----

// GET path on 127.0.0.1:port; the body, empty on failure.
std::string HttpGet(int port, const char *path) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{5, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string out;
  if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
    const std::string request = std::string("GET ") + path + " HTTP/1.0\r\nConnection: close\r\n\r\n";
    send(s, request.data(), request.size(), MSG_NOSIGNAL);
    char buf[65536];
    for (ssize_t n; (n = recv(s, buf, sizeof buf, 0)) > 0;) out.append(buf, size_t(n));
  }
  close(s);
  const size_t body = out.find("\r\n\r\n");
  return body == std::string::npos ? std::string() : out.substr(body + 4);
}

// One sample of the metrics text ("name value" lines; a label set is part of the name), -1 if none.
double MetricOf(const std::string &text, const std::string &name) {
  const size_t at = ("\n" + text).find("\n" + name + " ");
  return at == std::string::npos ? -1 : std::atof(text.c_str() + at + name.size() + 1);
}

// The rates the server reports at start ("relay rates: up to 10 km 40/s, ..., beyond 2/s"), as
// (range in km, reports a second); empty when off.
std::vector<std::pair<double, double>> RatesFromLog(const std::string &log) {
  std::vector<std::pair<double, double>> steps;
  const size_t at = log.find("relay rates: ");
  if (at == std::string::npos) return steps;
  std::istringstream in(log.substr(at + 13, log.find('\n', at) - at - 13));
  for (std::string item; std::getline(in, item, ',');) {
    double km = HUGE_VAL, perSecond = 0;
    if (std::sscanf(item.c_str(), " up to %lf km %lf/s", &km, &perSecond) != 2) {
      km = HUGE_VAL;
      const size_t slash = item.rfind("/s");
      const size_t space = item.rfind(' ', slash);
      if (slash == std::string::npos || space == std::string::npos) continue;
      perSecond = std::atof(item.c_str() + space + 1);
    }
    steps.emplace_back(km, perSecond);
  }
  return steps;
}

double Kilometres(double lat1, double lon1, double lat2, double lon2) {
  const double rad = M_PI / 180, a = std::sin((lat2 - lat1) * rad / 2), b = std::sin((lon2 - lon1) * rad / 2);
  const double h = a * a + std::cos(lat1 * rad) * std::cos(lat2 * rad) * b * b;
  return 2 * 6371.0088 * std::asin(std::min(1.0, std::sqrt(h)));
}

// ---- pilots ----

struct Pair {
  int sender;
  int count;
  int minRound, maxRound;
  int lastRound, maxGap;  // rounds between two reports in a row
};

struct Pilot {
  int index = 0;
  int id = 0;
  double lat = 0, lon = 0;
  int tcp = -1;
  int udp = -1;
  int udpPort = 0;
  std::string head, middle;  // line text before the round number, and between it and the time
  std::vector<Pair> pairs;   // reports received in the window, per sender
};

constexpr int64_t kHistogramMicros = 4000000;  // latencies above 4 s land in the last bucket
constexpr double kPollInterval = 0.00025;      // the receiver looks at its sockets this often

}  // namespace

int main(int argc, char **argv) {
  std::string serverPath, out, redisPath = "redis-server", world = "grid", relayRates;
  int pilots = 200, nodes = 0;
  double rate = 30, seconds = 10, warmup = 4;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    const char *v = argv[i + 1];
    if (a == "--server")
      serverPath = v;
    else if (a == "--pilots")
      pilots = std::atoi(v);
    else if (a == "--rate")
      rate = std::atof(v);
    else if (a == "--seconds")
      seconds = std::atof(v);
    else if (a == "--warmup")
      warmup = std::atof(v);
    else if (a == "--out")
      out = v;
    else if (a == "--nodes")
      nodes = std::atoi(v);
    else if (a == "--redis-server")
      redisPath = v;
    else if (a == "--world")
      world = v;
    else if (a == "--relay-rates")
      relayRates = v;
    else {
      std::fprintf(stderr, "relay_bench: unknown option %s\n", a.c_str());
      return 2;
    }
  }
  if (serverPath.empty() || out.empty() || pilots < 2 || nodes < 0 || nodes > 8 ||
      (world != "grid" && world != "spread")) {
    std::fprintf(
        stderr,
        "usage: relay_bench --server PATH --pilots N [--rate 30] [--seconds 10] [--warmup 4] --out FILE"
        " [--world grid|spread] [--relay-rates off|on|STEPS] [--nodes N [--redis-server PATH]]\n");
    return 2;
  }
  const std::string bpfDir = nodes >= 2 ? PrivateBpfDir() : "";
  if (const char *nice = std::getenv("RELAY_BENCH_CLIENT_NICE"))
    setpriority(PRIO_PROCESS, 0, std::atoi(nice));
  signal(SIGPIPE, SIG_IGN);
  prctl(PR_SET_TIMERSLACK, 1UL);  // the sends are paced by sleeps of a fraction of a millisecond
  rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }

  // A report is "S|l|" and the 42 values of a line: measure the floor on that length.
  std::vector<Pilot> fleet(static_cast<size_t>(pilots));
  // The spread world's airports (latitude, longitude) and each one's share of the crowds.
  const double airports[12][3] = {{51.5, -0.5, 16}, {49.0, 2.5, 14}, {52.3, 4.8, 12}, {50.0, 8.5, 11},
                                  {48.4, 11.8, 9},  {47.5, 8.5, 8},  {45.6, 8.7, 7},  {41.8, 12.3, 6},
                                  {40.5, -3.6, 6},  {41.3, 2.1, 5},  {55.6, 12.6, 3}, {48.1, 16.6, 3}};
  std::mt19937 rng(20261208);
  auto uniform = [&rng] { return std::uniform_real_distribution<double>(0, 1)(rng); };
  std::discrete_distribution<int> busiest({16, 14, 12, 11, 9, 8, 7, 6, 6, 5, 3, 3});
  std::normal_distribution<double> sideways(0, 10);
  const double kmPerDegree = 111.195;
  for (int i = 0; i < pilots; ++i) {
    Pilot &p = fleet[size_t(i)];
    p.index = i;
    p.id = 100000 + i;
    // A grid 20 points wide, about 2 km between neighbours: everyone has 19 near others.
    double lat = 47.0 + (i % 20) * 0.018, lon = 8.0 + (i / 20) * 0.027;
    if (world == "spread" && i % 4 == 0) {
      const double *a = airports[busiest(rng)];
      const double r = 5 * std::sqrt(uniform()), angle = 2 * M_PI * uniform();
      lat = a[0] + r * std::cos(angle) / kmPerDegree;
      lon = a[1] + r * std::sin(angle) / (kmPerDegree * std::cos(a[0] * M_PI / 180));
    } else if (world == "spread") {
      const int from = int(rng() % 12), to = (from + 1 + int(rng() % 11)) % 12;
      const double *a = airports[from], *b = airports[to], f = 0.05 + 0.9 * uniform();
      lat = a[0] + (b[0] - a[0]) * f;
      lon = a[1] + (b[1] - a[1]) * f;
      const double north = (b[0] - a[0]) * kmPerDegree,
                   east = (b[1] - a[1]) * kmPerDegree * std::cos(lat * M_PI / 180);
      const double length = std::hypot(north, east), off = sideways(rng);
      lat += east / length * off / kmPerDegree;
      lon -= north / length * off / (kmPerDegree * std::cos(lat * M_PI / 180));
    }
    p.lat = lat;
    p.lon = lon;
    p.head = std::to_string(p.id) + "|LOC|" + std::to_string(i) + "|";
    p.middle = "|-2345.67871|" + G9(lat) + "|" + G9(lon) + "|1523.45667|2.51234579|-10.2512341|270.512344";
    for (int k = 0; k < 5; ++k) p.middle += "|0.333333343";
    p.middle += "|0.0123456791|-0.234567896|0.00345678907";
    for (int g = 0; g < 10; ++g) p.middle += "|0.476190478";
    p.middle += "|1|1|1|1|0";
    for (int t = 0; t < 8; ++t) p.middle += "|0.812345684";
    p.middle += "|";
  }
  // A relayed report: "S|l|" and the values of a line as sent ("ID|LOC|" taken off).
  const std::string sample = fleet[0].head + "0" + fleet[0].middle + "1765000000|123456";
  const size_t reportLength =
      std::strlen("12|l|") + sample.size() - sample.find("|LOC|") - std::strlen("|LOC|");
  const double floorSendto = RawSendtoMicros(reportLength);
  const double floorSendmmsg = RawSendmmsgMicros(reportLength);

  // With two CPUs or more the server gets the first and the client the second, as if each had a
  // machine of its own (other processes may still share them).
  const bool pin = sysconf(_SC_NPROCESSORS_ONLN) >= 2 && std::getenv("RELAY_BENCH_NO_PIN") == nullptr;
  // Several nodes get a CPU each and the client goes where there is room.
  const int cpus = int(sysconf(_SC_NPROCESSORS_ONLN));
  std::unique_ptr<harness::RedisServer> redis;
  if (nodes >= 2) {
    redis = std::make_unique<harness::RedisServer>(redisPath);
    if (!redis->ok()) Die("redis-server did not start");
  }
  std::vector<std::unique_ptr<ServerProcess>> servers;
  for (int k = 0; k < std::max(1, nodes); ++k) {
    std::vector<std::string> args{"--listen",       "127.0.0.1",
                                  "--port",         k == 0 ? "0" : std::to_string(servers[0]->port),
                                  "--max-pilots",   std::to_string(pilots + 8),
                                  "--idle-timeout", "120"};
    if (!relayRates.empty()) args.insert(args.end(), {"--relay-rates", relayRates});
    if (nodes < 2) args.insert(args.end(), {"--http", "127.0.0.1:0"});
    if (nodes >= 2) {
      args.insert(args.end(), {"--cluster", redis->address(), "--reuseport",
                               std::to_string(k) + "/" + std::to_string(nodes), "--bpf-dir",
                               bpfDir + "/group", "--node-name", "node" + std::to_string(k)});
    }
    servers.push_back(std::make_unique<ServerProcess>());
    servers.back()->Start(serverPath, args, !pin ? -1 : nodes >= 2 ? k % cpus : 0);
  }
  // Every node has heard from every other before the pilots come.
  for (auto &node : servers)
    if (nodes >= 2 && node->ClusterLines("joined", size_t(nodes - 1), 10).size() < size_t(nodes - 1))
      Die("cluster nodes did not find each other");
  if (pin && nodes < 2) PinTo(1);
  // One-node runs use the same addresses as two-node ones, so the client does the same work.
  const std::vector<unsigned> sources =
      nodes >= 1 ? skytether::SpreadLoopbackAddresses(pilots, 2) : std::vector<unsigned>();
  auto nodeOf = [&](int pilot) { return nodes >= 2 ? pilot % 2 : 0; };
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(uint16_t(servers[0]->port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  const int ep = epoll_create1(EPOLL_CLOEXEC);
  std::vector<int> udpPorts;
  for (Pilot &p : fleet) {
    p.tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    if (!sources.empty()) {
      source.sin_addr.s_addr = sources[size_t(p.index)];
      if (bind(p.tcp, reinterpret_cast<sockaddr *>(&source), sizeof source) != 0) Die("bind");
    }
    if (connect(p.tcp, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) Die("connect");
    std::string id = std::to_string(p.id);
    std::string hello = id + "|Opening Connection|load" + id + "|00000000000000000000000000000000|\n" + id +
                        "|PLANE|/sim/Aircraft/Load/L" + std::to_string(p.index % 7) + "/load.acf\n" + id +
                        "|CALLSIGN|L" + id + "|\n";
    if (send(p.tcp, hello.data(), hello.size(), MSG_NOSIGNAL) < 0) Die("send");
    fcntl(p.tcp, F_SETFL, O_NONBLOCK);
    p.udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int buf = 1 << 20;
    setsockopt(p.udp, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    int on = 1;
    setsockopt(p.udp, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    if (!sources.empty() && bind(p.udp, reinterpret_cast<sockaddr *>(&source), sizeof source) != 0)
      Die("bind");
    if (connect(p.udp, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) Die("udp connect");
    sockaddr_in local{};
    socklen_t len = sizeof local;
    getsockname(p.udp, reinterpret_cast<sockaddr *>(&local), &len);
    p.udpPort = ntohs(local.sin_port);
    udpPorts.push_back(p.udpPort);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = uint64_t(p.index) * 2;
    epoll_ctl(ep, EPOLL_CTL_ADD, p.udp, &ev);
    ev.data.u64 = uint64_t(p.index) * 2 + 1;
    epoll_ctl(ep, EPOLL_CTL_ADD, p.tcp, &ev);
  }

  // Rounds: round r of pilot i goes out at start + (r + i / N) / rate. The window is the rounds
  // [r0, r1); the sender stops at r1 and the receiver drains for another second.
  const int r0 = int(std::lround(warmup * rate));
  const int r1 = r0 + int(std::lround(seconds * rate));
  const double start = Mono() + 0.5;  // logins land first, so slots come with their notices
  std::atomic<bool> sending{true};
  std::atomic<long> sentInWindow{0}, lateSends{0};
  double windowCpu0 = 0, windowCpu1 = 0, windowWall0 = 0, windowWall1 = 0;
  double windowUser0 = 0, windowUser1 = 0, windowSystem0 = 0, windowSystem1 = 0;
  long long steal0 = 0, steal1 = 0, ticks0 = 0, ticks1 = 0;
  std::string load0, load1;  // the load averages at the window's edges
  rusage clientUsage0{}, clientUsage1{};
  // The servers' and Redis's CPU at the window's edges; nodes print their counters on SIGUSR1.
  struct Edge {
    double user = 0, system = 0, redis = 0;
    long long redisCommands = 0;
    std::vector<double> node;
  };
  Edge edge0, edge1;
  auto sampleAll = [&](Edge &e) {
    for (auto &n : servers) {
      double u = 0, sy = 0;
      ProcCpu(n->pid, u, sy);
      e.user += u;
      e.system += sy;
      e.node.push_back(u + sy);
    }
    if (redis) {
      double u = 0, sy = 0;
      ProcCpu(redis->pid(), u, sy);
      e.redis = u + sy;
      e.redisCommands = redis->Info("total_commands_processed");
    }
    if (nodes >= 2)
      for (auto &n : servers) kill(n->pid, SIGUSR1);
  };
  std::thread sender([&] {
    char line[1400];
    for (int r = 0; r < r1; ++r) {
      if (r == r0) {
        windowWall0 = Mono();
        sampleAll(edge0);
        windowUser0 = edge0.user;
        windowSystem0 = edge0.system;
        StealTicks(steal0, ticks0);
        load0 = LoadAverage();
        windowCpu0 = windowUser0 + windowSystem0;
        getrusage(RUSAGE_SELF, &clientUsage0);
      }
      for (int i = 0; i < pilots; ++i) {
        // Sends due within 0.2 ms go together rather than one sleep each.
        const double due = start + (double(r) + double(i) / pilots) / rate;
        const double clock = Mono();
        if (clock > due + 0.002) ++lateSends;
        if (due > clock + 0.0002) SleepUntil(due);
        Pilot &p = fleet[size_t(i)];
        const int64_t now = WallMicros();
        int n = std::snprintf(line, sizeof line, "%s%d%s%lld|%lld", p.head.c_str(), r, p.middle.c_str(),
                              static_cast<long long>(now / 1000000), static_cast<long long>(now % 1000000));
        if (send(p.udp, line, size_t(n), 0) == n && r >= r0) ++sentInWindow;
      }
    }
    windowWall1 = Mono();
    sampleAll(edge1);
    windowUser1 = edge1.user;
    windowSystem1 = edge1.system;
    StealTicks(steal1, ticks1);
    load1 = LoadAverage();
    windowCpu1 = windowUser1 + windowSystem1;
    getrusage(RUSAGE_SELF, &clientUsage1);
    sending = false;
  });

  // The receiver: every report is parsed for its sender, round and send time.
  std::vector<uint64_t> histogram(size_t(kHistogramMicros) + 1, 0);
  std::vector<uint64_t> arrivalHistogram(size_t(kHistogramMicros) + 1, 0);
  // Reports whose sender is on the recipient's node and on the other one, in 10 µs steps.
  std::vector<uint64_t> sameHistogram(size_t(kHistogramMicros / 10) + 1, 0), crossHistogram = sameHistogram;
  static char controls[64][CMSG_SPACE(sizeof(timespec))];
  long received = 0, outside = 0, malformed = 0, pollCalls = 0, readCalls = 0;
  // The worst delay seen per tenth of a second, for the log.
  std::vector<int64_t> worstBySlot(size_t((warmup + seconds + 3) * 10), 0);
  double drainUntil = 0;
  double nextPoll = Mono();
  constexpr int kBatch = 64;
  static char bufs[kBatch][1500];
  mmsghdr msgs[kBatch];
  iovec iov[kBatch];
  epoll_event events[256];
  char streamBuf[65536];
  for (;;) {
    if (!sending.load()) {
      if (drainUntil == 0) drainUntil = Mono() + 1.0;
      if (Mono() > drainUntil) break;
    }
    // The sockets are polled on a fixed tick, the way the plugin polls its own in its cycle:
    // nobody sleeps on them, so the server's sends never have to wake a reader.
    SleepUntil(nextPoll);
    nextPoll = std::max(nextPoll + kPollInterval, Mono());
    int n = epoll_wait(ep, events, 256, 0);
    ++pollCalls;
    for (int e = 0; e < n; ++e) {
      Pilot &p = fleet[size_t(events[e].data.u64 / 2)];
      if (events[e].data.u64 % 2 == 1) {
        while (recv(p.tcp, streamBuf, sizeof streamBuf, 0) > 0) {
        }
        continue;
      }
      for (;;) {
        for (int i = 0; i < kBatch; ++i) {
          iov[i] = iovec{bufs[i], sizeof bufs[i] - 1};
          std::memset(&msgs[i], 0, sizeof msgs[i]);
          msgs[i].msg_hdr.msg_iov = &iov[i];
          msgs[i].msg_hdr.msg_iovlen = 1;
          msgs[i].msg_hdr.msg_control = controls[i];
          msgs[i].msg_hdr.msg_controllen = sizeof controls[i];
        }
        int got = recvmmsg(p.udp, msgs, kBatch, MSG_DONTWAIT, nullptr);
        ++readCalls;
        if (got <= 0) break;
        const int64_t now = WallMicros();
        for (int i = 0; i < got; ++i) {
          char *b = bufs[i];
          const size_t len = msgs[i].msg_len;
          b[len] = '\0';
          // "S|l|sender|round|...|seconds|micros"
          char *at = std::strchr(b, '|');
          if (at == nullptr || at[1] != 'l' || at[2] != '|') {
            ++malformed;
            continue;
          }
          char *next = nullptr;
          const long sender = std::strtol(at + 3, &next, 10);
          const long round = std::strtol(next + 1, nullptr, 10);
          char *last = std::strrchr(b, '|');
          *last = '\0';
          char *secondsAt = std::strrchr(b, '|');
          const int64_t stamp = int64_t(std::atoll(secondsAt + 1)) * 1000000 + std::atoll(last + 1);
          if (round < r0 || round >= r1 || sender < 0 || sender >= pilots) {
            ++outside;
            continue;
          }
          ++received;
          int64_t delay = now - stamp;
          if (delay < 0) delay = 0;
          {
            const size_t slot = size_t(std::max(0.0, (Mono() - start) * 10));
            if (slot < worstBySlot.size()) worstBySlot[slot] = std::max(worstBySlot[slot], delay);
          }
          ++histogram[size_t(std::min(delay, kHistogramMicros))];
          if (nodes >= 2)
            ++(nodeOf(int(sender)) == nodeOf(p.index)
                   ? sameHistogram
                   : crossHistogram)[size_t(std::min(delay, kHistogramMicros) / 10)];
          // The kernel's arrival time at this socket: the part of the delay before the client.
          for (cmsghdr *c = CMSG_FIRSTHDR(&msgs[i].msg_hdr); c != nullptr;
               c = CMSG_NXTHDR(&msgs[i].msg_hdr, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
              timespec ts;
              std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
              int64_t arrived = int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000 - stamp;
              ++arrivalHistogram[size_t(std::clamp<int64_t>(arrived, 0, kHistogramMicros))];
            }
          }
          Pair *pair = nullptr;
          for (Pair &q : p.pairs)
            if (q.sender == int(sender)) pair = &q;
          if (pair == nullptr) {
            p.pairs.push_back(Pair{int(sender), 0, int(round), int(round), int(round), 0});
            pair = &p.pairs.back();
          }
          if (round > pair->lastRound) {
            pair->maxGap = std::max(pair->maxGap, int(round) - pair->lastRound);
            pair->lastRound = int(round);
          }
          ++pair->count;
          pair->minRound = std::min(pair->minRound, int(round));
          pair->maxRound = std::max(pair->maxRound, int(round));
        }
        if (got < kBatch) break;
      }
    }
  }
  sender.join();
  const long clientDrops = UdpDrops(udpPorts);
  const long serverDrops = UdpDrops({servers[0]->port});
  long peakRssKb = 0, logLines = 0;
  for (auto &n : servers) {
    peakRssKb = std::max(peakRssKb, n->StatusKb("VmHWM:"));
    logLines += n->LogLines();
  }
  const double serverCpu = windowCpu1 - windowCpu0;
  const double wall = windowWall1 - windowWall0;
  // Positions each node published to Redis and received from it in the window.
  long long clusterOut = 0, clusterIn = 0;
  if (nodes >= 2) {
    for (auto &n : servers) {
      std::vector<std::string> lines = n->ClusterLines("cluster counters", 2, 5);
      if (lines.size() < 2) Die("no cluster counters from a node");
      long long o0 = 0, i0 = 0, o1 = 0, i1 = 0;
      PositionCounters(lines[0], o0, i0);
      PositionCounters(lines[1], o1, i1);
      clusterOut += o1 - o0;
      clusterIn += i1 - i0;
    }
  }
  // The server's own counts, once a snapshot taken after the last report is out (one a second).
  std::string metrics;
  if (nodes < 2) {
    const std::string page = servers[0]->LineOf("status page on", 5);
    usleep(1200000);
    if (!page.empty()) metrics = HttpGet(std::atoi(page.c_str() + page.rfind(':') + 1), "/metrics");
    if (metrics.empty()) Die("no metrics from the server");
  }
  for (auto &n : servers) n->Stop();
  redis.reset();
  if (!bpfDir.empty()) {
    umount2(bpfDir.c_str(), MNT_DETACH);
    rmdir(bpfDir.c_str());
  }

  // Loss: a recipient that kept the same senders all window expects every round of each; one
  // whose slots changed expects, per sender, the rounds between the first and last it saw (a
  // lower bound, so such recipients are counted too).
  const int fan = std::min(pilots - 1, 19);
  const int rounds = r1 - r0;
  long expected = 0, unstable = 0, shortTables = 0;
  for (const Pilot &p : fleet) {
    bool stable = int(p.pairs.size()) == fan;
    for (const Pair &q : p.pairs) stable = stable && q.maxRound - q.minRound + 1 == rounds;
    if (stable) {
      expected += long(fan) * rounds;
      continue;
    }
    ++unstable;
    for (const Pair &q : p.pairs) expected += q.maxRound - q.minRound + 1;
    // Senders it never heard from: whole rounds lost.
    if (int(p.pairs.size()) < fan) {
      ++shortTables;
      expected += long(fan - int(p.pairs.size())) * rounds;
    }
  }
  // With the rates on, per pair: only the pairs whose step lets every report through are counted
  // report by report; every pair's longest gap is held against its step's period.
  const std::string ratesLine = servers[0]->LineOf("relay rates: ", 0);
  const std::vector<std::pair<double, double>> steps = RatesFromLog(ratesLine);
  const bool paced = !steps.empty();
  std::string ratesText;
  if (const size_t at = ratesLine.find("relay rates: "); at != std::string::npos)
    ratesText = ratesLine.substr(at + 13);
  long gapPairs = 0, duePairs = 0, dueExpected = 0, dueReceived = 0;
  std::array<long, 8> pairsByStep{};
  for (const Pilot &p : fleet) {
    for (const Pair &q : p.pairs) {
      const Pilot &s = fleet[size_t(q.sender)];
      double period = 0;
      size_t step = 0;
      if (paced) {
        const double km = Kilometres(p.lat, p.lon, s.lat, s.lon);
        while (step + 1 < steps.size() && km > steps[step].first) ++step;
        period = 1 / steps[step].second;
        ++pairsByStep[std::min(step, pairsByStep.size() - 1)];
      }
      const int allowed = period <= 1 / rate ? 1 : int(std::ceil(period * rate)) + 1;
      gapPairs += q.maxGap > allowed;
      if (period <= 1 / rate) {
        ++duePairs;
        dueExpected += q.minRound == r0 && q.maxRound == r1 - 1 ? rounds : q.maxRound - q.minRound + 1;
        dueReceived += q.count;
      }
    }
  }
  const long lost = paced ? std::max(0L, dueExpected - dueReceived) : std::max(0L, expected - received);
  if (paced) expected = dueExpected;
  // The server's counts over the whole run.
  const double positionsIn = MetricOf(metrics, "skytether_positions_in_total");
  const double reportsOut = MetricOf(metrics, "skytether_reports_out_total");
  const double reportsHeld = MetricOf(metrics, "skytether_reports_held_total");
  const double refused = MetricOf(metrics, "skytether_reports_refused_total");
  const double stale = MetricOf(metrics, "skytether_dropped_input_total{kind=\"stale\"}");
  const double fanOut = positionsIn > 0 ? reportsOut / positionsIn : 0;
  const double countedLost = (stale + double(serverDrops)) * fanOut + refused + double(clientDrops);
  const double countedLoss = reportsOut > 0 ? 100 * countedLost / (reportsOut + countedLost) : 0;
  auto quantileOf = [&](const std::vector<uint64_t> &h, double q) {
    uint64_t count = 0;
    for (uint64_t c : h) count += c;
    const uint64_t want = uint64_t(std::ceil(q * double(count)));
    uint64_t seen = 0;
    for (size_t us = 0; us < h.size(); ++us) {
      seen += h[us];
      if (seen >= want && want > 0) return double(us) / 1000.0;
    }
    return 0.0;
  };
  auto quantile = [&](double q) { return quantileOf(histogram, q); };
  auto total = [](const std::vector<uint64_t> &h) {
    uint64_t n = 0;
    for (uint64_t c : h) n += c;
    return n;
  };
  std::string nodeCpu;
  for (size_t k = 0; k < edge1.node.size() && k < edge0.node.size(); ++k)
    nodeCpu += (k ? ", " : "") + std::to_string(100.0 * (edge1.node[k] - edge0.node[k]) / wall);
  auto seconds_of = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
  const double clientCpu = seconds_of(clientUsage1.ru_utime) + seconds_of(clientUsage1.ru_stime) -
                           seconds_of(clientUsage0.ru_utime) - seconds_of(clientUsage0.ru_stime);
  const double relayedPerSecond = double(received) / wall;
  const double cpuPerRelayedUs = received > 0 ? serverCpu / double(received) * 1e6 : 0;

  FILE *f = std::fopen(out.c_str(), "w");
  if (f == nullptr) Die("open " + out);
  std::fprintf(
      f,
      "{\"pilots\": %d, \"rate_hz\": %.1f, \"window_seconds\": %.3f, \"fan_out\": %d,\n"
      " \"positions_sent\": %ld, \"positions_per_second\": %.1f, \"late_sends\": %ld,\n"
      " \"reports_expected\": %ld, \"reports_received\": %ld, \"reports_lost\": %ld,\n"
      " \"loss_percent\": %.4f, \"recipients_with_slot_changes\": %ld, \"recipients_short_of_senders\": "
      "%ld,\n"
      " \"relayed_per_second\": %.1f, \"latency_p50_ms\": %.3f, \"latency_p99_ms\": %.3f,"
      " \"latency_max_ms\": %.3f,\n"
      " \"server_cpu_seconds\": %.3f, \"server_cpu_percent_of_core\": %.2f, \"server_peak_rss_kb\": %ld,\n"
      " \"server_cpu_per_relayed_us\": %.4f, \"raw_sendto_us\": %.4f, \"cpu_per_relayed_vs_sendto\": %.3f,\n"
      " \"client_cpu_percent_of_core\": %.2f, \"report_bytes\": %zu,\n"
      " \"kernel_drops_client_sockets\": %ld, \"kernel_drops_server_socket\": %ld,"
      " \"reports_outside_window\": %ld, \"malformed\": %ld, \"server_log_lines\": %ld,\n"
      " \"client_polls\": %ld, \"client_reads\": %ld, \"raw_sendmmsg_19_us\": %.4f,"
      " \"server_user_seconds\": %.3f, \"server_system_seconds\": %.3f, \"steal_percent\": %.2f,\n"
      " \"arrival_p50_ms\": %.3f, \"arrival_p99_ms\": %.3f,\n"
      " \"nodes\": %d, \"node_cpu_percent\": [%s], \"redis_cpu_percent\": %.2f,"
      " \"redis_commands_per_second\": %.1f,\n"
      " \"cluster_published_per_second\": %.1f, \"cluster_received_per_second\": %.1f,\n"
      " \"same_node_reports\": %llu, \"same_node_p50_ms\": %.3f, \"same_node_p99_ms\": %.3f,\n"
      " \"cross_node_reports\": %llu, \"cross_node_p50_ms\": %.3f, \"cross_node_p99_ms\": %.3f,\n"
      " \"world\": \"%s\", \"relay_rates\": %s, \"server_cpu_per_position_us\": %.4f,\n"
      " \"pairs_by_step\": [%ld, %ld, %ld, %ld, %ld, %ld, %ld, %ld], \"pairs_due_every_report\": %ld,"
      " \"pairs_over_gap\": %ld,\n"
      " \"server_positions_in\": %.0f, \"server_reports_out\": %.0f, \"server_reports_held\": %.0f,"
      " \"server_reports_refused\": %.0f, \"server_stale\": %.0f, \"counted_loss_percent\": %.4f,\n"
      " \"load_average\": [\"%s\", \"%s\"], \"late_send_percent\": %.3f, \"relay_rates_text\": \"%s\",\n"
      " \"server_nice\": %d, \"client_nice\": %d}\n",
      pilots, rate, wall, fan, sentInWindow.load(), double(sentInWindow.load()) / wall, lateSends.load(),
      expected, received, lost, expected > 0 ? 100.0 * double(lost) / double(expected) : 0.0, unstable,
      shortTables, relayedPerSecond, quantile(0.5), quantile(0.99), quantile(1.0), serverCpu,
      100.0 * serverCpu / wall, peakRssKb, cpuPerRelayedUs, floorSendto,
      floorSendto > 0 ? cpuPerRelayedUs / floorSendto : 0.0, 100.0 * clientCpu / wall, reportLength,
      clientDrops, serverDrops, outside, malformed, logLines, pollCalls, readCalls, floorSendmmsg,
      windowUser1 - windowUser0, windowSystem1 - windowSystem0,
      ticks1 > ticks0 ? 100.0 * double(steal1 - steal0) / double(ticks1 - ticks0) : 0.0,
      quantileOf(arrivalHistogram, 0.5), quantileOf(arrivalHistogram, 0.99), std::max(1, nodes),
      nodeCpu.c_str(), 100.0 * (edge1.redis - edge0.redis) / wall,
      double(edge1.redisCommands - edge0.redisCommands) / wall, double(clusterOut) / wall,
      double(clusterIn) / wall, static_cast<unsigned long long>(total(sameHistogram)),
      10 * quantileOf(sameHistogram, 0.5), 10 * quantileOf(sameHistogram, 0.99),
      static_cast<unsigned long long>(total(crossHistogram)), 10 * quantileOf(crossHistogram, 0.5),
      10 * quantileOf(crossHistogram, 0.99), world.c_str(), paced ? "true" : "false",
      sentInWindow.load() > 0 ? serverCpu / double(sentInWindow.load()) * 1e6 : 0.0, pairsByStep[0],
      pairsByStep[1], pairsByStep[2], pairsByStep[3], pairsByStep[4], pairsByStep[5], pairsByStep[6],
      pairsByStep[7], duePairs, gapPairs, positionsIn, reportsOut, reportsHeld, refused, stale, countedLoss,
      load0.c_str(), load1.c_str(),
      100.0 * double(lateSends.load()) / double(std::max(1L, long(r1) * pilots)), ratesText.c_str(),
      std::getenv("RELAY_BENCH_SERVER_NICE") ? std::atoi(std::getenv("RELAY_BENCH_SERVER_NICE")) : 0,
      std::getenv("RELAY_BENCH_CLIENT_NICE") ? std::atoi(std::getenv("RELAY_BENCH_CLIENT_NICE")) : 0);
  std::fclose(f);
  std::printf(
      "%4d pilots: %9.0f reports/s, lost %ld of %ld, p50 %.3f ms, p99 %.3f ms, max %.1f ms, server %.1f %% "
      "of a core, %.3f us per report (sendto %.3f us, %.2fx), client %.1f %%\n",
      pilots, relayedPerSecond, lost, expected, quantile(0.5), quantile(0.99), quantile(1.0),
      100.0 * serverCpu / wall, cpuPerRelayedUs, floorSendto,
      floorSendto > 0 ? cpuPerRelayedUs / floorSendto : 0.0, 100.0 * clientCpu / wall);
  if (!metrics.empty())
    std::printf(
        "      %s world at %.0f/s, rates %s: %.3f us per position in, held %.0f, stale %.0f, counted loss "
        "%.4f %%, pairs over their gap %ld, late sends %ld, load %s\n",
        world.c_str(), rate, paced ? "on" : "off",
        sentInWindow.load() > 0 ? serverCpu / double(sentInWindow.load()) * 1e6 : 0.0, reportsHeld, stale,
        countedLoss, gapPairs, lateSends.load(), load1.c_str());
  if (std::getenv("RELAY_BENCH_TIMELINE") != nullptr)
    for (size_t i = 0; i < worstBySlot.size(); ++i)
      if (worstBySlot[i] > 5000)
        std::fprintf(stderr, "  at %.1f s: worst delay %.1f ms\n", double(i) / 10,
                     double(worstBySlot[i]) / 1000);
  for (Pilot &p : fleet) {
    close(p.tcp);
    close(p.udp);
  }
  return 0;
}
