// relay_bench: the server under a load client that speaks the real protocol on 127.0.0.1 and
// cannot be the bottleneck itself.
//
//   relay_bench --server PATH --pilots N [--rate 60] [--seconds 10] [--warmup 4] --out FILE.json
//               [--world crowded|grid] [--crowds 0.6] [--airports 8] [--parked 0.5] [--taxiing 0.333]
//               [--bumps METRES] [--fine-degrees] [--relay-rates RULE]
//               [--nodes N [--redis-server PATH]] [--server-cpus 0[,0...]] [--client-cpu 1]
//               [--sched fifo|group|none] [--read-every SECONDS] [--server-arg ARG]...
//
// The client logs N pilots in over TCP, then sends their positions on an absolute schedule: round
// r of pilot i is due at start + (r + i / N) / rate. Every send that falls due goes out at once,
// in one sendmmsg on a raw socket that writes each pilot's own source address and port (so one
// system call carries the positions of many pilots, and the server still sees each pilot's own
// datagram address); a send more than 2 ms past its due time is counted late. Each pilot's
// datagram socket counts what comes back; the sockets are read every --read-every seconds (0.1),
// and a report's latency is taken from the kernel's stamp of its arrival there.
//
// Worlds: pilots are parked, taxiing or flying, and move as such (nothing here is random at run
// time: the draws start from a fixed value, so a pilot count gives the same world every time).
//   crowded  --crowds of the pilots (default 60 %) within 5 km of one of --airports airports
//            (default 8; the busiest takes 16 % of the crowds, the quietest 7 %), of those --parked
//            (default half) parked, --taxiing (default a third) taxiing round loops of 150 to 600 m
//            at 4 to 12 m/s with a stop of 20 to 60 s at the end of each, and the rest flying
//            circuits (racetracks 1.5 to 3 km long, 50 to 75 m/s, turns at 3 degrees a second,
//            climbing and descending 100 m over 1.5 to 3 minutes); the others fly between two
//            airports (anywhere from 5 to 95 % of the way, 10 km to either side), on legs of 20 to
//            60 km at 120 to 230 m/s, level.
//   grid     20 wide, about 2 km apart (everyone's 19 nearest within 5 km from 100 pilots on),
//            parked, taxiing and flying in the shares above.
// Flying aircraft roll into and out of their turns over 1.5 s; --bumps adds that much vertical
// motion (two sines of 2.3 and 0.9 s) to every flying aircraft, as in light turbulence.
// Latitude and longitude go as a float's shortest text, as the plugin writes them, or with 11
// significant digits (--fine-degrees).
//
// Each line carries the sender's index and round in x and y, and its send time in the time
// fields (wall clock): latency is the kernel's arrival stamp at the recipient's socket less that.
// The join (every pilot's first positions, while slots are given out) is the warm-up's: what the
// server dropped or refused by the window's start is given apart. Nothing else is counted from the
// warm-up: latency and per-pair counts only for the rounds of the
// window, and the counters (the server's stale and refused counts from its metrics, every socket's
// kernel drops, the CPU of every process) as differences between the window's edges.
//
// Scheduling (--sched): the server and the client each in a session of its own, so each is a
// scheduling group of its own (nice does not rank a process against other sessions' groups), pinned
// to CPUs of their own (--server-cpus, --client-cpu); "fifo" (the default as root) runs the client
// in the real-time FIFO class and the server (and Redis) in the real-time round-robin class (its
// status page and cluster link threads take turns with a saturated relay thread), "group" sets their groups'
// niceness to -20, "none" leaves them be.
//
// With --nodes every pilot speaks from an address of its own (127.0.x.y), chosen so that the
// steering hash puts pilot i on node i % 2; --nodes 1 runs one standalone server, --nodes 2 and
// more run that many cluster nodes on one address and port with a redis-server of their own (root
// is needed for the steering program and for a private BPF file system).
//
// Figures: see the JSON written; the line printed at the end sums them up.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Keeps the calling thread (and what it starts later) on one CPU.
void PinTo(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);
}

void PinPid(pid_t pid, int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(pid, sizeof set, &set);
}

constexpr int kFifoPriority = 50;

bool SetFifo(pid_t pid, int policy = SCHED_FIFO) {
  sched_param param{};
  param.sched_priority = kFifoPriority;
  return sched_setscheduler(pid, policy, &param) == 0;
}

// ---- numbers as the plugin writes them ----

char *Put(char *p, float v) {
  return std::to_chars(p, p + 32, v).ptr;
}
char *Put(char *p, long long v) {
  return std::to_chars(p, p + 24, v).ptr;
}
char *PutDegrees(char *p, double v, bool fine) {
  return fine ? std::to_chars(p, p + 32, v, std::chars_format::general, 11).ptr : Put(p, float(v));
}

// ---- how pilots move ----

constexpr double kPi = 3.14159265358979323846;
constexpr double kMetresPerDegree = 111195.0;

// A loop round a rounded rectangle: four straights (long, short, long, short), each followed by a
// quarter turn of radius r, taken at a steady speed; after each lap the aircraft stands `hold`
// seconds. b = 0 makes a racetrack. Parked: speed 0.
struct Path {
  double lat = 0, lon = 0;         // the loop's centre
  double orient = 0;               // radians the loop is turned (counter-clockwise from east)
  double a = 0, b = 0, r = 1;      // straights and corner radius, metres
  double speed = 0, hold = 0;      // m/s; seconds stood still after each lap
  double phase = 0;                // seconds into the cycle at time 0
  int turn = 1;                    // +1 left turns, -1 right
  double bank = 0;                 // degrees of roll in the turns
  double ground = 420;             // elevation at rest, metres
  double swing = 0, period = 120;  // elevation swings by this much over the period
  double bumps = 0;                // vertical bumps, metres
  double heading = 0;              // a parked aircraft's heading
  bool flying = false;
};

struct Pose {
  double lat, lon, elevation;
  float theta, phi, psi;
};

Pose PoseAt(const Path &p, double t) {
  if (p.speed <= 0) return Pose{p.lat, p.lon, p.ground, 0.0f, 0.0f, float(p.heading)};
  const double quarter = kPi / 2 * p.r;
  const double lap = 2 * (p.a + p.b) + 4 * quarter;
  const double cycle = lap / p.speed + p.hold;
  double tau = std::fmod(t + p.phase, cycle);
  if (tau < 0) tau += cycle;
  double s = tau < p.hold ? 0 : (tau - p.hold) * p.speed;
  // In the loop's own frame: start at the first straight's beginning, heading along +u.
  double u = -p.a / 2, w = -p.b / 2 - p.r, angle = 0, roll = 0;
  for (int k = 0; k < 4; ++k) {
    const double straight = k % 2 == 0 ? p.a : p.b;
    const double du = std::cos(angle), dw = std::sin(angle);
    if (s <= straight) {
      u += s * du;
      w += s * dw;
      s = -1;
      break;
    }
    u += straight * du;
    w += straight * dw;
    s -= straight;
    const double cu = u - p.r * dw, cw = w + p.r * du;  // the turn's centre, to the left
    const double turned = std::min(s, quarter) / p.r;
    u = cu + p.r * std::sin(angle + turned);
    w = cw - p.r * std::cos(angle + turned);
    if (s <= quarter) {
      // Rolled in and out over 1.5 s at either end of the turn.
      const double in = std::min({1.0, s / (1.5 * p.speed), (quarter - s) / (1.5 * p.speed)});
      roll = p.bank * in * in * (3 - 2 * in);
      angle += turned;
      s = -1;
      break;
    }
    angle += kPi / 2;
    s -= quarter;
  }
  if (tau < p.hold) roll = 0;
  if (p.turn < 0) {
    w = -w;
    angle = -angle;
  } else {
    roll = -roll;  // a left turn: left wing down
  }
  const double east = std::cos(p.orient) * u - std::sin(p.orient) * w;
  const double north = std::sin(p.orient) * u + std::cos(p.orient) * w;
  const double direction = angle + p.orient;  // counter-clockwise from east
  double elevation = p.ground, climb = 0;
  if (p.flying) {
    elevation += p.swing * std::sin(2 * kPi * t / p.period);
    climb = p.swing * 2 * kPi / p.period * std::cos(2 * kPi * t / p.period);
    elevation += p.bumps *
                 (std::sin(2 * kPi * t / 2.3 + p.phase) + 0.5 * std::sin(2 * kPi * t / 0.9 + 2 * p.phase)) /
                 1.5;
  }
  Pose out;
  out.lat = p.lat + north / kMetresPerDegree;
  out.lon = p.lon + east / (kMetresPerDegree * std::cos(p.lat * kPi / 180));
  out.elevation = elevation;
  double psi = 90 - direction * 180 / kPi;
  psi -= 360 * std::floor(psi / 360);
  out.psi = float(psi);
  out.theta = p.flying ? float(2 + std::atan2(climb, p.speed) * 180 / kPi) : 0.0f;
  out.phi = float(roll);
  return out;
}

// ---- the server process ----

struct Scheduling {
  std::string mode;  // fifo, group or none
  std::vector<int> server_cpus;
  int client_cpu = -1;
};

struct ServerProcess {
  harness::ChildProcess process;
  pid_t pid = -1;
  int port = 0;

  void Start(const std::string &path, const std::vector<std::string> &args, int cpu,
             const Scheduling &sched) {
    harness::ChildProcess::Options o;
    o.cpu = cpu;
    o.stop_grace = 30;
    o.own_session = sched.mode != "none";
    if (sched.mode == "group") o.group_nice = -20;
    // Round robin: a relay thread that never waits still leaves its turn to the status page and
    // the cluster link (FIFO would starve them for as long as it is saturated).
    if (sched.mode == "fifo") {
      o.realtime_priority = kFifoPriority;
      o.round_robin = true;
    }
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string line;
    if (!process.Start(argv, o) || !process.WaitForLine("* listening on *", 20, 0, &line))
      Die("server did not start");
    port = std::atoi(line.c_str() + line.rfind(':') + 1);
    pid = process.pid();
  }

  long StatusKb(const char *key) const {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
      if (line.compare(0, std::strlen(key), key) == 0) return std::atol(line.c_str() + std::strlen(key) + 1);
    return -1;
  }

  // The log lines holding `needle`, once there are `want` of them or `timeout` has passed.
  std::vector<std::string> Lines(const std::string &needle, size_t want, double timeout) {
    for (const double end = Mono() + timeout;; usleep(10000)) {
      std::vector<std::string> found;
      std::istringstream log(process.Log());
      for (std::string l; std::getline(log, l);)
        if (l.find(needle) != std::string::npos) found.push_back(l);
      if (found.size() >= want || Mono() > end) return found;
    }
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

// Packets the kernel dropped before any socket because a CPU's input queue was full (every
// network namespace's: read beside the rest).
long long BacklogDrops() {
  std::ifstream in("/proc/net/softnet_stat");
  long long total = 0;
  for (std::string line; std::getline(in, line);) {
    std::istringstream s(line);
    std::string processed, dropped;
    s >> processed >> dropped;
    total += std::strtoll(dropped.c_str(), nullptr, 16);
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

double ProcCpu(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = all.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream s(all.substr(close + 2));
  std::string field;
  double cpu = 0;
  for (int i = 3; i <= 15 && s >> field; ++i)
    if (i == 14 || i == 15) cpu += double(std::atol(field.c_str())) / double(sysconf(_SC_CLK_TCK));
  return cpu;
}

// "cluster counters: positions out N in M, ..." -> N and M.
void PositionCounters(const std::string &line, long long &out, long long &in) {
  const char *at = std::strstr(line.c_str(), "positions out ");
  out = in = 0;
  if (at != nullptr) std::sscanf(at, "positions out %lld in %lld", &out, &in);
}

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

// One sample of the metrics text ("name value" lines; a label set is part of the name), 0 if none.
double MetricOf(const std::string &text, const std::string &name) {
  const size_t at = ("\n" + text).find("\n" + name + " ");
  return at == std::string::npos ? 0 : std::atof(text.c_str() + at + name.size() + 1);
}

// The longest time a pair may go without a report under the rule the server logged: the loosest
// heartbeat ("every 5 s"), or the floor's period ("beyond 2/s"), or none ("off": every report).
double LongestQuiet(const std::string &rates) {
  double longest = 0;
  for (size_t at = 0; (at = rates.find("every ", at)) != std::string::npos; at += 6)
    longest = std::max(longest, std::atof(rates.c_str() + at + 6));
  if (longest > 0) return longest;
  const size_t slash = rates.rfind("/s");
  const size_t space = rates.rfind(' ', slash);
  if (slash == std::string::npos || space == std::string::npos) return 0;
  const double floor = std::atof(rates.c_str() + space + 1);
  return floor > 0 ? 1 / floor : 0;
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
  Path path;
  const char *kind = "";
  int tcp = -1;
  int udp = -1;
  int udpPort = 0;
  unsigned source = 0;       // its address, network order
  std::string head, middle;  // "ID|LOC|" and the controls after the heading, with bars either side
  std::vector<Pair> pairs;   // reports received in the window, per sender
};

// Pilot p's position line for round `round` at wall time `micros`, from its x on: the sender's
// index and round in x and y, the place and attitude, the controls, the time.
char *WriteValues(char *q, const Pilot &p, int round, const Pose &pose, bool fine, int64_t micros) {
  q = Put(q, (long long)p.index);
  *q++ = '|';
  q = Put(q, (long long)round);
  *q++ = '|';
  *q++ = '0';
  *q++ = '|';
  q = PutDegrees(q, pose.lat, fine);
  *q++ = '|';
  q = PutDegrees(q, pose.lon, fine);
  *q++ = '|';
  q = Put(q, float(pose.elevation));
  for (const float v : {pose.theta, pose.phi, pose.psi}) {
    *q++ = '|';
    q = Put(q, v);
  }
  q += p.middle.copy(q, p.middle.size());
  q = Put(q, (long long)(micros / 1000000));
  *q++ = '|';
  return Put(q, (long long)(micros % 1000000));
}

constexpr int64_t kHistogramMicros = 4000000;  // latencies above 4 s land in the last bucket
constexpr int64_t kBucketMicros = 10;
constexpr int kSendBatch = 256;  // sends put into one sendmmsg at most
constexpr double kLate = 0.002;  // a send this far past its due time is late

// Runs the rest of the program in a session of its own: a process that leads its process group
// (as a shell starts one) cannot start a session, so it leaves that to a child and waits for it.
void OwnSession() {
  if (setsid() >= 0) return;
  const pid_t child = fork();
  if (child < 0) Die("fork");
  if (child == 0) {
    if (setsid() < 0) Die("setsid");
    return;
  }
  signal(SIGINT, SIG_IGN);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  std::exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

}  // namespace

int main(int argc, char **argv) {
  std::string serverPath, out, redisPath = "redis-server", world = "crowded", relayRates;
  int pilots = 200, nodes = 0, airportCount = 8;
  double rate = 60, seconds = 10, warmup = 4, readEvery = 0.1, crowds = 0.6, parkedShare = 0.5,
         taxiShare = 1.0 / 3, bumps = 0;
  bool fine = false;
  Scheduling sched;
  sched.mode = geteuid() == 0 ? "fifo" : "none";
  std::string serverCpus = "0";
  std::vector<std::string> serverArgs;  // handed to the server as they are
  int clientCpuOption = 1;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--fine-degrees") {
      fine = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "relay_bench: %s wants a value\n", a.c_str());
      return 2;
    }
    const char *v = argv[++i];
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
    else if (a == "--read-every")
      readEvery = std::atof(v);
    else if (a == "--out")
      out = v;
    else if (a == "--nodes")
      nodes = std::atoi(v);
    else if (a == "--redis-server")
      redisPath = v;
    else if (a == "--world")
      world = v;
    else if (a == "--crowds")
      crowds = std::atof(v);
    else if (a == "--airports")
      airportCount = std::atoi(v);
    else if (a == "--parked")
      parkedShare = std::atof(v);
    else if (a == "--taxiing")
      taxiShare = std::atof(v);
    else if (a == "--bumps")
      bumps = std::atof(v);
    else if (a == "--relay-rates")
      relayRates = v;
    else if (a == "--server-cpus")
      serverCpus = v;
    else if (a == "--client-cpu")
      clientCpuOption = std::atoi(v);
    else if (a == "--sched")
      sched.mode = v;
    else if (a == "--server-arg")
      serverArgs.push_back(v);
    else {
      std::fprintf(stderr, "relay_bench: unknown option %s\n", a.c_str());
      return 2;
    }
  }
  if (serverPath.empty() || out.empty() || pilots < 2 || !(readEvery > 0 && readEvery <= 0.5) || nodes < 0 ||
      nodes > 8 || rate <= 0 || (world != "grid" && world != "crowded") || airportCount < 1 ||
      airportCount > 12 || crowds < 0 || crowds > 1 || parkedShare < 0 || taxiShare < 0 ||
      parkedShare + taxiShare > 1 ||
      (sched.mode != "fifo" && sched.mode != "group" && sched.mode != "none")) {
    std::fprintf(
        stderr,
        "usage: relay_bench --server PATH --pilots N [--rate 60] [--seconds 10] [--warmup 4] --out FILE"
        " [--world crowded|grid] [--crowds 0.6] [--airports 8] [--parked 0.5] [--taxiing 0.333]"
        " [--bumps M] [--fine-degrees] [--relay-rates RULE] [--nodes N [--redis-server PATH]]"
        " [--server-cpus 0[,0...]] [--client-cpu 1] [--sched fifo|group|none] [--read-every 0.1] "
        "[--server-arg ARG]...\n");
    return 2;
  }
  for (std::istringstream in(serverCpus); std::getline(in, serverCpus, ',');)
    sched.server_cpus.push_back(std::atoi(serverCpus.c_str()));
  const int cpus = int(sysconf(_SC_NPROCESSORS_ONLN));
  sched.client_cpu = cpus >= 2 ? clientCpuOption % cpus : -1;
  for (int &c : sched.server_cpus) c = cpus >= 2 ? c % cpus : -1;

  // Before any thread: a session and scheduling of this process's own, a private BPF mount.
  if (sched.mode != "none") OwnSession();
  const std::string bpfDir = nodes >= 2 ? PrivateBpfDir() : "";
  if (sched.mode == "group" && !harness::SetGroupNice(-20)) Die("setting this session's group niceness");
  if (sched.mode == "fifo" && !SetFifo(0)) Die("the FIFO class (root is needed; or --sched group)");
  if (sched.client_cpu >= 0) PinTo(sched.client_cpu);
  signal(SIGPIPE, SIG_IGN);
  prctl(PR_SET_TIMERSLACK, 1UL);  // the sends are paced by sleeps of a fraction of a millisecond
  rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }

  // ---- the world ----
  std::vector<Pilot> fleet(static_cast<size_t>(pilots));
  const double airports[12][3] = {{51.5, -0.5, 16}, {49.0, 2.5, 14}, {52.3, 4.8, 13}, {50.0, 8.5, 12},
                                  {48.4, 11.8, 12}, {47.5, 8.5, 11}, {45.6, 8.7, 11}, {41.8, 12.3, 11},
                                  {40.5, -3.6, 6},  {41.3, 2.1, 5},  {55.6, 12.6, 3}, {48.1, 16.6, 3}};
  std::mt19937 rng(20261208);
  auto uniform = [&rng](double lo = 0, double hi = 1) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
  };
  std::vector<double> weights;
  for (int k = 0; k < airportCount; ++k) weights.push_back(airports[k][2]);
  std::discrete_distribution<int> busiest(weights.begin(), weights.end());
  std::normal_distribution<double> sideways(0, 10);
  int counts[4] = {0, 0, 0, 0};  // parked, taxiing, flying near an airport, flying elsewhere
  for (int i = 0; i < pilots; ++i) {
    Pilot &p = fleet[size_t(i)];
    p.index = i;
    p.id = 100000 + i;
    Path &path = p.path;
    path.orient = uniform(0, 2 * kPi);
    path.turn = uniform() < 0.5 ? 1 : -1;
    path.heading = uniform(0, 360);
    // Crowds: the first crowds share of every hundred pilots, so any count has the same mix.
    const bool crowd = world == "grid" || (i % 100) < std::lround(crowds * 100);
    if (world == "grid") {
      path.lat = 47.0 + (i % 20) * 0.018;
      path.lon = 8.0 + (i / 20) * 0.027;
    } else if (crowd) {
      const double *a = airports[busiest(rng)];
      const double r = 5000 * std::sqrt(uniform()), angle = uniform(0, 2 * kPi);
      path.lat = a[0] + r * std::cos(angle) / kMetresPerDegree;
      path.lon = a[1] + r * std::sin(angle) / (kMetresPerDegree * std::cos(a[0] * kPi / 180));
    } else {
      const int from = int(rng() % unsigned(airportCount));
      const int to = (from + 1 + int(rng() % unsigned(std::max(1, airportCount - 1)))) % airportCount;
      const double *a = airports[from], *b = airports[to], f = uniform(0.05, 0.95);
      path.lat = a[0] + (b[0] - a[0]) * f;
      path.lon = a[1] + (b[1] - a[1]) * f;
      const double north = (b[0] - a[0]) * kMetresPerDegree,
                   east = (b[1] - a[1]) * kMetresPerDegree * std::cos(path.lat * kPi / 180);
      const double length = std::max(1.0, std::hypot(north, east)), off = sideways(rng) * 1000;
      path.lat += east / length * off / kMetresPerDegree;
      path.lon -= north / length * off / (kMetresPerDegree * std::cos(path.lat * kPi / 180));
    }
    const double draw = uniform();
    if (crowd && draw < parkedShare) {
      p.kind = "parked";
      ++counts[0];
    } else if (crowd && draw < parkedShare + taxiShare) {
      p.kind = "taxiing";
      ++counts[1];
      path.speed = uniform(4, 12);
      path.a = uniform(150, 600);
      path.b = uniform(80, 300);
      path.r = uniform(20, 40);
      path.hold = uniform(20, 60);
    } else {
      p.kind = crowd ? "circuit" : "en route";
      ++counts[crowd ? 2 : 3];
      path.flying = true;
      path.bumps = bumps;
      path.bank = crowd ? 20 : 25;
      if (crowd) {
        path.speed = uniform(50, 75);
        path.a = uniform(1500, 3000);
        path.ground += uniform(300, 600);
        path.swing = 100;
        path.period = uniform(90, 180);
      } else {
        path.speed = uniform(120, 230);
        path.a = uniform(20000, 60000);
        path.b = uniform(0, 10000);
        path.ground = uniform(8000, 11500);
      }
      path.b = crowd ? 0 : path.b;
      path.r = path.speed / (3 * kPi / 180);  // a turn at 3 degrees a second
    }
    if (path.speed > 0) {
      const double lap = 2 * (path.a + path.b) + 2 * kPi * path.r;
      path.phase = uniform(0, lap / path.speed + path.hold);
    }
    p.head = std::to_string(p.id) + "|LOC|";
    // Flaps, second flaps, speed brake, slats, sweep; yoke; gear; lights (beacon, landing, strobe,
    // nav, taxi); throttles.
    const bool flying = path.flying;
    p.middle = flying ? "|0.25|0.25|0|0.25|0|0.0123|-0.0234|0.0035" : "|0|0|0|0|0|0|0|0";
    for (int g = 0; g < 10; ++g) p.middle += crowd ? "|1" : "|0";
    p.middle += std::string(p.kind) == "parked" ? "|0|0|0|1|0" : flying ? "|1|1|1|1|0" : "|1|0|0|1|1";
    for (int t = 0; t < 8; ++t)
      p.middle += flying ? "|0.75" : std::string(p.kind) == "taxiing" ? "|0.2" : "|0";
    p.middle += "|";
  }

  // A relayed report: "S|l|" and the values of a line as sent ("ID|LOC|" taken off).
  char line[1400];
  const size_t reportLength =
      std::strlen("12|l|") +
      size_t(WriteValues(line, fleet[0], 1234, PoseAt(fleet[0].path, 0), fine, 1765000000123456LL) - line);
  const double floorSendto = RawSendtoMicros(reportLength);

  // ---- servers ----
  std::unique_ptr<harness::RedisServer> redis;
  if (nodes >= 2) {
    redis = std::make_unique<harness::RedisServer>(redisPath);
    if (!redis->ok()) Die("redis-server did not start");
    // With the nodes: it relays their positions, a part of what two nodes cost.
    if (!sched.server_cpus.empty() && sched.server_cpus[0] >= 0) PinPid(redis->pid(), sched.server_cpus[0]);
    if (sched.mode == "fifo") SetFifo(redis->pid(), SCHED_RR);
  }
  std::vector<std::unique_ptr<ServerProcess>> servers;
  for (int k = 0; k < std::max(1, nodes); ++k) {
    std::vector<std::string> args{"--listen",       "127.0.0.1",
                                  "--port",         k == 0 ? "0" : std::to_string(servers[0]->port),
                                  "--max-pilots",   std::to_string(pilots + 8),
                                  "--idle-timeout", "120",
                                  "--http",         "127.0.0.1:0"};
    if (!relayRates.empty()) args.insert(args.end(), {"--relay-rates", relayRates});
    args.insert(args.end(), serverArgs.begin(), serverArgs.end());
    if (nodes >= 2) {
      args.insert(args.end(), {"--cluster", redis->address(), "--reuseport",
                               std::to_string(k) + "/" + std::to_string(nodes), "--bpf-dir",
                               bpfDir + "/group", "--node-name", "node" + std::to_string(k)});
    }
    servers.push_back(std::make_unique<ServerProcess>());
    const int cpu = sched.server_cpus.empty() ? -1 : sched.server_cpus[size_t(k) % sched.server_cpus.size()];
    servers.back()->Start(serverPath, args, cpu, sched);
  }
  // Every node has heard from every other before the pilots come.
  for (auto &node : servers)
    if (nodes >= 2 && node->Lines("joined", size_t(nodes - 1), 10).size() < size_t(nodes - 1))
      Die("cluster nodes did not find each other");
  std::vector<int> metricsPorts;
  for (auto &node : servers) {
    const std::vector<std::string> page = node->Lines("status page on", 1, 10);
    if (page.empty()) Die("no status page");
    metricsPorts.push_back(std::atoi(page[0].c_str() + page[0].rfind(':') + 1));
  }
  const std::vector<std::string> ratesLines = servers[0]->Lines("relay rates: ", 1, 5);
  std::string ratesText = "off";
  if (!ratesLines.empty()) ratesText = ratesLines[0].substr(ratesLines[0].find("relay rates: ") + 13);

  // One-node runs use the same addresses as two-node ones, so the client does the same work.
  const std::vector<unsigned> sources = skytether::SpreadLoopbackAddresses(pilots, 2);
  auto nodeOf = [&](int pilot) { return nodes >= 2 ? pilot % 2 : 0; };
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(uint16_t(servers[0]->port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  const int ep = epoll_create1(EPOLL_CLOEXEC);
  std::vector<int> udpPorts;
  for (Pilot &p : fleet) {
    p.source = sources[size_t(p.index)];
    p.tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = p.source;
    if (bind(p.tcp, reinterpret_cast<sockaddr *>(&source), sizeof source) != 0) Die("bind");
    if (connect(p.tcp, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) Die("connect");
    std::string id = std::to_string(p.id);
    std::string hello = id + "|Opening Connection|load" + id + "|00000000000000000000000000000000|\n" + id +
                        "|PLANE|/sim/Aircraft/Load/L" + std::to_string(p.index % 7) + "/load.acf\n" + id +
                        "|CALLSIGN|L" + id + "|\n";
    if (send(p.tcp, hello.data(), hello.size(), MSG_NOSIGNAL) < 0) Die("send");
    fcntl(p.tcp, F_SETFL, O_NONBLOCK);
    p.udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    // Room for a whole read interval of reports at the highest rate (--read-every).
    int buf = 4 << 20;
    if (setsockopt(p.udp, SOL_SOCKET, SO_RCVBUFFORCE, &buf, sizeof buf) != 0)
      setsockopt(p.udp, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    int on = 1;
    setsockopt(p.udp, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    if (bind(p.udp, reinterpret_cast<sockaddr *>(&source), sizeof source) != 0) Die("bind");
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
  // One raw socket sends for every pilot (the IP and UDP headers written here); without the right
  // to one, each pilot's own socket does.
  const int raw = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
  {
    int big = 8 << 20;
    if (raw >= 0) setsockopt(raw, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  }

  // Rounds: the window is the rounds [r0, r1); the sender stops at r1 and the receiver drains for
  // another second.
  const int r0 = int(std::lround(warmup * rate));
  const int r1 = r0 + int(std::lround(seconds * rate));
  const double start = Mono() + 0.5;  // logins land first, so slots come with their notices
  const double windowStart = start + double(r0) / rate, windowEnd = start + double(r1) / rate;
  std::atomic<bool> sending{true};
  std::atomic<long> sentInWindow{0}, lateSends{0}, sendFailures{0}, batches{0};
  std::atomic<int64_t> lateWorstMicros{0};

  // The window's edges: every counter is read at both and only the difference counts.
  struct Edge {
    double wall = 0;
    std::vector<double> node;
    double redis = 0;
    long long redisCommands = 0;
    rusage client{};
    long long steal = 0, ticks = 0, backlog = 0;
    long clientDrops = 0, serverDrops = 0;
    double positionsIn = 0, reportsOut = 0, reportsHeld = 0, refused = 0, stale = 0, segmented = 0;
    void Metrics(const std::vector<int> &ports) {
      for (int port : ports) {
        const std::string m = HttpGet(port, "/metrics");
        if (m.empty()) Die("no metrics from the server");
        positionsIn += MetricOf(m, "skytether_positions_in_total");
        reportsOut += MetricOf(m, "skytether_reports_out_total");
        reportsHeld += MetricOf(m, "skytether_reports_held_total");
        refused += MetricOf(m, "skytether_reports_refused_total");
        stale += MetricOf(m, "skytether_dropped_input_total{kind=\"stale\"}");
        segmented += MetricOf(m, "skytether_reports_segmented_total");
      }
    }
    std::string load;
  };
  Edge edge0, edge1;
  auto sample = [&](Edge &e, bool metrics) {
    e.wall = Mono();
    for (auto &n : servers) e.node.push_back(ProcCpu(n->pid));
    if (redis) {
      e.redis = ProcCpu(redis->pid());
      e.redisCommands = redis->Info("total_commands_processed");
    }
    getrusage(RUSAGE_SELF, &e.client);
    StealTicks(e.steal, e.ticks);
    e.backlog = BacklogDrops();
    e.clientDrops = UdpDrops(udpPorts);
    e.serverDrops = UdpDrops({servers[0]->port});
    e.load = LoadAverage();
    if (nodes >= 2)
      for (auto &n : servers) kill(n->pid, SIGUSR1);
    if (metrics) e.Metrics(metricsPorts);
  };
  // The server publishes its counts once a second: the first edge's are read at the window's start
  // (they are at most a second old, from the warm-up's end), the last edge's 1.2 s after it.
  std::thread sampler([&] {
    // Above the sender: the window's edges are read on time however busy the sender is.
    if (sched.mode == "fifo") {
      sched_param param{};
      param.sched_priority = kFifoPriority + 2;
      pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    }
    SleepUntil(windowStart);
    sample(edge0, true);
    SleepUntil(windowEnd);
    sample(edge1, false);
  });

  std::thread sender([&] {
    // Above the receiver, which reads many sockets at a time: a send never waits for a read.
    if (sched.mode == "fifo") {
      sched_param param{};
      param.sched_priority = kFifoPriority + 1;
      pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    }
    const int fd = raw;
    struct Message {
      char bytes[28 + 1400];
    };
    std::vector<Message> packets(kSendBatch);
    std::vector<mmsghdr> msgs(kSendBatch);
    std::vector<iovec> iov(kSendBatch);
    std::vector<double> due(kSendBatch);
    std::vector<bool> counted(kSendBatch);
    const int64_t wall0 = WallMicros();
    const double mono0 = Mono();
    const long long total = (long long)r1 * pilots;
    for (long long next = 0; next < total;) {
      const double first = start + (double(next / pilots) + double(next % pilots) / pilots) / rate;
      if (first > Mono() + 0.0002) SleepUntil(first);
      const double now = Mono();
      int n = 0;
      // Every send due by now (and within the next 0.2 ms) goes in this call.
      for (; next < total && n < kSendBatch; ++next, ++n) {
        const int r = int(next / pilots), i = int(next % pilots);
        const double when = start + (double(r) + double(i) / pilots) / rate;
        if (when > now + 0.0002) break;
        Pilot &p = fleet[size_t(i)];
        const int64_t micros = wall0 + int64_t((Mono() - mono0) * 1e6);
        char *line = packets[size_t(n)].bytes + 28;
        char *q = line + p.head.copy(line, p.head.size());
        q = WriteValues(q, p, r, PoseAt(p.path, double(micros - wall0) * 1e-6), fine, micros);
        const size_t length = size_t(q - line);
        due[size_t(n)] = when;
        counted[size_t(n)] = r >= r0;
        mmsghdr &m = msgs[size_t(n)];
        std::memset(&m, 0, sizeof m);
        if (fd >= 0) {
          char *packet = packets[size_t(n)].bytes;
          iphdr ip{};
          ip.ihl = 5;
          ip.version = 4;
          ip.ttl = 64;
          ip.protocol = IPPROTO_UDP;
          ip.tot_len = htons(uint16_t(28 + length));
          ip.saddr = p.source;
          ip.daddr = to.sin_addr.s_addr;
          udphdr udp{};
          udp.source = htons(uint16_t(p.udpPort));
          udp.dest = to.sin_port;
          udp.len = htons(uint16_t(8 + length));
          std::memcpy(packet, &ip, sizeof ip);
          std::memcpy(packet + 20, &udp, sizeof udp);
          iov[size_t(n)] = iovec{packet, 28 + length};
          m.msg_hdr.msg_name = &to;
          m.msg_hdr.msg_namelen = sizeof to;
        } else {
          iov[size_t(n)] = iovec{line, length};
        }
        m.msg_hdr.msg_iov = &iov[size_t(n)];
        m.msg_hdr.msg_iovlen = 1;
      }
      int sent = 0;
      if (fd >= 0) {
        while (sent < n) {
          const int k = sendmmsg(fd, msgs.data() + sent, unsigned(n - sent), 0);
          if (k > 0) {
            sent += k;
          } else if (errno != EINTR) {
            ++sendFailures;
            ++sent;  // that one is lost: counted, the rest still go
          }
        }
      } else {
        const long long base = next - n;
        for (int k = 0; k < n; ++k) {
          const Pilot &p = fleet[size_t((base + k) % pilots)];
          if (sendmmsg(p.udp, &msgs[size_t(k)], 1, 0) != 1) ++sendFailures;
        }
      }
      ++batches;
      const double after = Mono();
      for (int k = 0; k < n; ++k) {
        if (!counted[size_t(k)]) continue;
        ++sentInWindow;
        const double late = after - due[size_t(k)];
        if (late > kLate) ++lateSends;
        if (int64_t(late * 1e6) > lateWorstMicros) lateWorstMicros = int64_t(late * 1e6);
      }
    }
    sending = false;
  });

  // The receiver: every report is parsed for its sender, round and send time.
  // Latencies in steps of kBucketMicros: at the recipient's socket (the kernel's stamp), when this
  // client read it, and at the socket by whether sender and recipient share a node.
  std::vector<uint64_t> histogram(size_t(kHistogramMicros / kBucketMicros) + 1, 0), readHistogram = histogram;
  std::vector<uint64_t> sameHistogram = histogram, crossHistogram = histogram;
  static char controls[64][CMSG_SPACE(sizeof(timespec))];
  long received = 0, outside = 0, malformed = 0, pollCalls = 0, readCalls = 0;
  double drainUntil = 0;
  double nextPoll = Mono();
  constexpr int kBatch = 64;
  static char bufs[kBatch][1500];
  mmsghdr msgs[kBatch];
  iovec iov[kBatch];
  epoll_event events[256];
  char streamBuf[65536];
  for (int i = 0; i < kBatch; ++i) {
    iov[i] = iovec{bufs[i], sizeof bufs[i] - 1};
    std::memset(&msgs[i], 0, sizeof msgs[i]);
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
    msgs[i].msg_hdr.msg_control = controls[i];
    msgs[i].msg_hdr.msg_controllen = sizeof controls[i];
  }
  for (;;) {
    if (!sending.load()) {
      if (drainUntil == 0) drainUntil = Mono() + 1.0;
      if (Mono() > drainUntil) break;
    }
    // The sockets are polled on a fixed tick, the way the plugin polls its own in its cycle:
    // nobody sleeps on them, so the server's sends never have to wake a reader. The latency is the
    // kernel's arrival stamp, whenever the report is read: a long tick reads many reports a call
    // and keeps the client's cost low.
    SleepUntil(nextPoll);
    nextPoll = std::max(nextPoll + readEvery, Mono());
    // Every ready socket, 256 at a time (each is read dry, so the next call gives others).
    for (int n = 256; n == 256;) {
      n = epoll_wait(ep, events, 256, 0);
      ++pollCalls;
      for (int e = 0; e < n; ++e) {
        Pilot &p = fleet[size_t(events[e].data.u64 / 2)];
        if (events[e].data.u64 % 2 == 1) {
          while (recv(p.tcp, streamBuf, sizeof streamBuf, 0) > 0) {
          }
          continue;
        }
        for (;;) {
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
            int64_t arrived = now;
            for (cmsghdr *c = CMSG_FIRSTHDR(&msgs[i].msg_hdr); c != nullptr;
                 c = CMSG_NXTHDR(&msgs[i].msg_hdr, c)) {
              if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec ts;
                std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                arrived = int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
              }
            }
            const size_t delay =
                size_t(std::clamp<int64_t>(arrived - stamp, 0, kHistogramMicros) / kBucketMicros);
            ++histogram[delay];
            ++readHistogram[size_t(std::clamp<int64_t>(now - stamp, 0, kHistogramMicros) / kBucketMicros)];
            if (nodes >= 2)
              ++(nodeOf(int(sender)) == nodeOf(p.index) ? sameHistogram : crossHistogram)[delay];
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
          for (int i = 0; i < got; ++i) msgs[i].msg_hdr.msg_controllen = sizeof controls[i];
          if (got < kBatch) break;
        }
      }
    }
  }
  sender.join();
  sampler.join();
  // The last counts: the kernel's now that all is drained, the server's once a snapshot taken after
  // the last report is out (one a second).
  edge1.clientDrops = UdpDrops(udpPorts);
  edge1.serverDrops = UdpDrops({servers[0]->port});
  edge1.backlog = BacklogDrops();
  {
    // A snapshot is taken after the last report once every node's status page shows a whole
    // second past the one it went in (its time has seconds only).
    char last[32];
    const time_t sentBy = time(nullptr);
    strftime(last, sizeof last, "\"time\":\"%Y-%m-%dT%H:%M:%SZ\"", gmtime(&sentBy));
    auto after = [&](int port) {
      const std::string page = HttpGet(port, "/v1/status.json");
      const size_t at = page.find("\"time\":\"");
      return at != std::string::npos && page.compare(at, std::strlen(last), last) > 0;
    };
    for (const double end = Mono() + 5; !std::all_of(metricsPorts.begin(), metricsPorts.end(), after);) {
      if (Mono() > end) Die("no status snapshot after the last report");
      usleep(20000);
    }
  }
  edge1.Metrics(metricsPorts);
  long peakRssKb = 0;
  for (auto &n : servers) peakRssKb = std::max(peakRssKb, n->StatusKb("VmHWM:"));
  // Positions each node published to Redis and received from it in the window; whether a node
  // left its cluster or lost Redis at any time.
  long long clusterOut = 0, clusterIn = 0;
  long clusterTrouble = 0;
  if (nodes >= 2) {
    for (auto &n : servers) {
      std::vector<std::string> lines = n->Lines("cluster counters", 2, 5);
      if (lines.size() < 2) Die("no cluster counters from a node");
      long long o0 = 0, i0 = 0, o1 = 0, i1 = 0;
      PositionCounters(lines[0], o0, i0);
      PositionCounters(lines[1], o1, i1);
      clusterOut += o1 - o0;
      clusterIn += i1 - i0;
      clusterTrouble +=
          long(n->Lines(" left: ", 1, 0).size() + n->Lines("serving this node's pilots alone", 1, 0).size());
    }
  }
  for (auto &n : servers) n->Stop();
  redis.reset();
  if (!bpfDir.empty()) {
    umount2(bpfDir.c_str(), MNT_DETACH);
    rmdir(bpfDir.c_str());
  }

  // ---- figures ----
  const double wall = edge1.wall - edge0.wall;
  double serverCpu = 0;
  std::string nodeCpu;
  for (size_t k = 0; k < servers.size(); ++k) {
    const double c = edge1.node[k] - edge0.node[k];
    serverCpu += c;
    nodeCpu += (k ? ", " : "") + std::to_string(100.0 * c / wall);
  }
  auto seconds_of = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
  const double clientCpu = seconds_of(edge1.client.ru_utime) + seconds_of(edge1.client.ru_stime) -
                           seconds_of(edge0.client.ru_utime) - seconds_of(edge0.client.ru_stime);
  // With the rule off every report goes: a recipient that kept the same senders all window expects
  // every round of each; one whose slots changed, per sender, the rounds between the first and last
  // it saw, and whole rounds of senders it never heard from.
  const int fan = std::min(pilots - 1, 19);
  const int rounds = r1 - r0;
  const bool off = ratesText == "off";
  long expected = 0, unstable = 0;
  for (const Pilot &p : fleet) {
    bool stable = int(p.pairs.size()) == fan;
    for (const Pair &q : p.pairs) stable = stable && q.maxRound - q.minRound + 1 == rounds;
    if (stable) {
      expected += long(fan) * rounds;
      continue;
    }
    ++unstable;
    for (const Pair &q : p.pairs) expected += q.maxRound - q.minRound + 1;
    if (int(p.pairs.size()) < fan) expected += long(fan - int(p.pairs.size())) * rounds;
  }
  const long lostPerPair = off ? std::max(0L, expected - received) : 0;
  // Any rule: no pair goes longer without a report than its loosest heartbeat (or period) and a
  // round; a longer gap is a report lost.
  const double quiet = LongestQuiet(ratesText);
  const int allowedGap = off ? 1 : int(std::ceil((quiet + 0.02) * rate)) + 1;
  long pairsOverGap = 0, pairs = 0;
  double longestGap = 0;
  for (const Pilot &p : fleet)
    for (const Pair &q : p.pairs) {
      ++pairs;
      pairsOverGap += q.maxGap > allowedGap;
      longestGap = std::max(longestGap, q.maxGap / rate);
    }
  // What the counters say was lost in the window: positions the server dropped as stale or its
  // socket dropped cost each of their reports; reports the server's socket refused or a recipient's
  // socket dropped, one each.
  const double positionsIn = edge1.positionsIn - edge0.positionsIn;
  const double reportsOut = edge1.reportsOut - edge0.reportsOut;
  const double reportsHeld = edge1.reportsHeld - edge0.reportsHeld;
  const double refused = edge1.refused - edge0.refused, stale = edge1.stale - edge0.stale;
  const long clientDrops = edge1.clientDrops - edge0.clientDrops,
             serverDrops = edge1.serverDrops - edge0.serverDrops;
  const double fanOut = positionsIn > 0 ? reportsOut / positionsIn : 0;
  const double countedLost = (stale + double(serverDrops)) * fanOut + refused + double(clientDrops);
  const double countedLoss = reportsOut > 0 ? 100 * countedLost / (reportsOut + countedLost) : 0;
  const bool lossless = countedLost == 0 && lostPerPair == 0 && pairsOverGap == 0 && sendFailures == 0;
  auto quantileOf = [&](const std::vector<uint64_t> &h, double q, double unit = kBucketMicros) {
    uint64_t count = 0;
    for (uint64_t c : h) count += c;
    const uint64_t want = uint64_t(std::ceil(q * double(count)));
    uint64_t seen = 0;
    for (size_t us = 0; us < h.size(); ++us) {
      seen += h[us];
      if (seen >= want && want > 0) return double(us) * unit / 1000.0;
    }
    return 0.0;
  };
  auto total = [](const std::vector<uint64_t> &h) {
    uint64_t n = 0;
    for (uint64_t c : h) n += c;
    return n;
  };
  const long sent = sentInWindow.load();
  const double p99 = quantileOf(histogram, 0.99);
  const bool held = lossless && p99 <= 5.0;

  FILE *f = std::fopen(out.c_str(), "w");
  if (f == nullptr) Die("open " + out);
  std::fprintf(
      f,
      "{\"pilots\": %d, \"rate_hz\": %.1f, \"window_seconds\": %.3f, \"world\": \"%s\",\n"
      " \"parked\": %d, \"taxiing\": %d, \"circuit\": %d, \"en_route\": %d, \"bumps_m\": %.3f, "
      "\"fine_degrees\": %s,\n"
      " \"relay_rates_text\": \"%s\", \"sched\": \"%s\", \"nodes\": %d,\n"
      " \"positions_sent\": %ld, \"positions_per_second\": %.1f, \"send_batches\": %ld, \"send_failures\": "
      "%ld,\n"
      " \"late_sends\": %ld, \"late_send_percent\": %.4f, \"late_worst_ms\": %.3f,\n"
      " \"reports_received\": %ld, \"relayed_per_second\": %.1f, \"reports_per_position\": %.3f,\n"
      " \"latency_p50_ms\": %.3f, \"latency_p99_ms\": %.3f, \"latency_max_ms\": %.3f,\n"
      " \"read_p50_ms\": %.3f, \"read_p99_ms\": %.3f,\n"
      " \"reports_expected\": %ld, \"reports_lost\": %ld, \"recipients_with_slot_changes\": %ld,\n"
      " \"pairs\": %ld, \"pairs_over_gap\": %ld, \"allowed_gap_s\": %.3f, \"longest_gap_s\": %.3f,\n"
      " \"server_positions_in\": %.0f, \"server_reports_out\": %.0f, \"server_reports_held\": %.0f,"
      " \"server_reports_refused\": %.0f, \"server_stale\": %.0f, \"server_reports_segmented\": %.0f,\n"
      " \"kernel_drops_client_sockets\": %ld, \"kernel_drops_server_socket\": %ld, \"backlog_drops\": %lld,\n"
      " \"counted_lost\": %.0f, \"counted_loss_percent\": %.4f, \"lossless\": %s, \"held\": %s,\n"
      " \"server_cpu_seconds\": %.3f, \"server_cpu_percent_of_core\": %.2f, \"node_cpu_percent\": [%s],\n"
      " \"server_cpu_per_position_us\": %.4f, \"server_cpu_per_relayed_us\": %.4f, \"server_peak_rss_kb\": "
      "%ld,\n"
      " \"raw_sendto_us\": %.4f, \"report_bytes\": %zu, \"client_cpu_percent_of_core\": %.2f,\n"
      " \"client_polls\": %ld, \"client_reads\": %ld, \"reports_outside_window\": %ld, \"malformed\": %ld,\n"
      " \"steal_percent\": %.2f, \"load_average\": [\"%s\", \"%s\"],\n"
      " \"redis_cpu_percent\": %.2f, \"redis_commands_per_second\": %.1f,\n"
      " \"cluster_published_per_second\": %.1f, \"cluster_received_per_second\": %.1f, "
      "\"cluster_trouble_lines\": %ld,\n"
      " \"same_node_reports\": %llu, \"same_node_p99_ms\": %.3f, \"cross_node_reports\": %llu,"
      " \"cross_node_p99_ms\": %.3f,\n"
      " \"join_stale\": %.0f, \"join_server_socket_drops\": %ld, \"join_refused\": %.0f}\n",
      pilots, rate, wall, world.c_str(), counts[0], counts[1], counts[2], counts[3], bumps,
      fine ? "true" : "false", ratesText.c_str(), sched.mode.c_str(), std::max(1, nodes), sent,
      double(sent) / wall, batches.load(), sendFailures.load(), lateSends.load(),
      100.0 * double(lateSends.load()) / double(std::max(1L, sent)), double(lateWorstMicros.load()) / 1000,
      received, double(received) / wall, sent > 0 ? double(received) / double(sent) : 0.0,
      quantileOf(histogram, 0.5), p99, quantileOf(histogram, 1.0), quantileOf(readHistogram, 0.5),
      quantileOf(readHistogram, 0.99), off ? expected : 0L, lostPerPair, unstable, pairs, pairsOverGap,
      allowedGap / rate, longestGap, positionsIn, reportsOut, reportsHeld, refused, stale,
      edge1.segmented - edge0.segmented, clientDrops, serverDrops, edge1.backlog - edge0.backlog, countedLost,
      countedLoss, lossless ? "true" : "false", held ? "true" : "false", serverCpu, 100.0 * serverCpu / wall,
      nodeCpu.c_str(), sent > 0 ? serverCpu / double(sent) * 1e6 : 0.0,
      received > 0 ? serverCpu / double(received) * 1e6 : 0.0, peakRssKb, floorSendto, reportLength,
      100.0 * clientCpu / wall, pollCalls, readCalls, outside, malformed,
      edge1.ticks > edge0.ticks
          ? 100.0 * double(edge1.steal - edge0.steal) / double(edge1.ticks - edge0.ticks)
          : 0.0,
      edge0.load.c_str(), edge1.load.c_str(), 100.0 * (edge1.redis - edge0.redis) / wall,
      double(edge1.redisCommands - edge0.redisCommands) / wall, double(clusterOut) / wall,
      double(clusterIn) / wall, clusterTrouble, static_cast<unsigned long long>(total(sameHistogram)),
      quantileOf(sameHistogram, 0.99), static_cast<unsigned long long>(total(crossHistogram)),
      quantileOf(crossHistogram, 0.99), edge0.stale, edge0.serverDrops, edge0.refused);
  std::fclose(f);
  std::printf(
      "%5d pilots at %g/s, %s: %s; %.0f reports/s (%.2f a position), p50 %.3f ms, p99 %.3f ms, lost %.0f + "
      "%ld "
      "per pair, %ld pairs over %.1f s; server %.1f %% of a core, %.3f us a position; client %.1f %%, late "
      "%.3f %% (worst %.1f ms); load %s\n",
      pilots, rate, ratesText.c_str(),
      held       ? "held"
      : lossless ? "slow"
                 : "lost",
      double(received) / wall, sent > 0 ? double(received) / double(sent) : 0.0, quantileOf(histogram, 0.5),
      p99, countedLost, lostPerPair, pairsOverGap, allowedGap / rate, 100.0 * serverCpu / wall,
      sent > 0 ? serverCpu / double(sent) * 1e6 : 0.0, 100.0 * clientCpu / wall,
      100.0 * double(lateSends.load()) / double(std::max(1L, sent)), double(lateWorstMicros.load()) / 1000,
      edge1.load.c_str());
  for (Pilot &p : fleet) {
    close(p.tcp);
    close(p.udp);
  }
  if (raw >= 0) close(raw);
  return 0;
}
