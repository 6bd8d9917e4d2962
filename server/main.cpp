// skytether-server: logins, slots and relay for Skytether pilots. See README.md.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "cluster.h"
#include "http_status.h"
#include "registry.h"
#include "server.h"

namespace {

const char kUsage[] =
    "usage: skytether-server [--listen ADDR] [--port PORT] [--accounts FILE]\n"
    "                        [--max-pilots N] [--idle-timeout SECONDS] [--max-report-age SECONDS]\n"
    "                        [--relay-rates off|on|KM:RATE,...,RATE]\n"
    "                        [--cluster ADDR [--cluster-prefix NAME] [--node-name NAME]\n"
    "                         [--redis-password-file FILE] [--reuseport I/N [--bpf-dir DIR]]]\n"
    "                        [--http [ADDR:]PORT]\n"
    "                        [--help] [--version]\n"
    "       skytether-server --check-accounts FILE\n"
    "  --listen ADDR          address to bind, IPv4 or IPv6 (default 0.0.0.0)\n"
    "  --port PORT            TCP and UDP port (default 49556; 0 picks a free one)\n"
    "  --accounts FILE        \"userID password\" per line; without it any login is accepted\n"
    "  --max-pilots N         logged-in clients allowed at once (default 1000)\n"
    "  --idle-timeout SECONDS a pilot without datagrams this long leaves view, one without\n"
    "                         lines or datagrams may be replaced by a login (default 20)\n"
    "  --max-report-age SECONDS\n"
    "                         a position that waited longer in the socket is not relayed\n"
    "                         (default 0.1; 0 relays any)\n"
    "  --relay-rates off|on|KM:RATE,...,RATE\n"
    "                         at most RATE reports a second of a pilot to each recipient within KM,\n"
    "                         the last RATE beyond (default on: 10:40,50:10,2); off relays every one\n"
    "  --cluster ADDR         be a cluster node: share pilots with the other nodes through the\n"
    "                         Redis at HOST:PORT (an IP address) or unix:PATH\n"
    "  --cluster-prefix NAME  prefix of the cluster's Redis keys and channels (default skytether)\n"
    "  --node-name NAME       this node's name in the logs (default the host name)\n"
    "  --redis-password-file FILE\n"
    "                         the Redis password, in a file only its owner may read\n"
    "  --reuseport I/N        node I of N on this same address and port, steered by source address\n"
    "  --bpf-dir DIR          the steering tables of the nodes on this address\n"
    "                         (default /sys/fs/bpf/skytether-PORT)\n"
    "  --http [ADDR:]PORT     serve the status page, the JSON feed and the metrics over HTTP\n"
    "                         (on 127.0.0.1 unless ADDR is given; port 0 picks a free one)\n"
    "  --check-accounts FILE  check an accounts file, report every bad line, and exit\n"
    "  --version              print the version and exit\n";

bool ParseInt(const char *s, long lo, long hi, long *out) {
  char *end = nullptr;
  errno = 0;
  long v = std::strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool ParseSeconds(const char *s, double *out) {
  char *end = nullptr;
  double v = std::strtod(s, &end);
  if (end == s || *end != '\0' || !(v > 0) || v > 86400) return false;
  *out = v;
  return true;
}

int Fail(const std::string &message) {
  std::fprintf(stderr, "skytether-server: %s\n%s", message.c_str(), kUsage);
  return 2;
}

// The file holds passwords in clear: only its owner may read or change it.
bool ReadAccountsFile(const std::string &path, std::string *text, std::string *error) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    *error = "cannot read " + path;
    return false;
  }
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    *error = path + " can be read or changed by other users; allow its owner only (chmod 600 " + path + ")";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  std::stringstream content;
  content << in.rdbuf();
  *text = content.str();
  return true;
}

int CheckAccounts(const std::string &path) {
  std::string text, error;
  if (!ReadAccountsFile(path, &text, &error)) {
    std::fprintf(stderr, "skytether-server: %s\n", error.c_str());
    return 2;
  }
  std::vector<std::string> notes;
  std::vector<std::string> problems = skytether::Accounts::Problems(text, &notes);
  for (const auto &p : problems) std::fprintf(stderr, "%s: %s\n", path.c_str(), p.c_str());
  for (const auto &n : notes) std::fprintf(stderr, "%s: note: %s\n", path.c_str(), n.c_str());
  if (!problems.empty()) return 2;
  skytether::Accounts accounts;
  accounts.Parse(text, &error);
  std::printf("%s: %zu accounts, no problems\n", path.c_str(), accounts.size());
  return 0;
}

// Every client holds a descriptor: take all the descriptors the system allows us, and keep
// connections that have not logged in to a quarter of them.
void RaiseDescriptorLimit(skytether::RegistryOptions *options) {
  rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
  if (rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
    getrlimit(RLIMIT_NOFILE, &rl);
  }
  const rlim_t quarter = rl.rlim_cur / 4;
  if (quarter < static_cast<rlim_t>(options->pending_total))
    options->pending_total = quarter > 0 ? int(quarter) : 1;
  options->pending_per_address = std::min(options->pending_per_address, options->pending_total);
  std::string line = "descriptors: " + std::to_string(rl.rlim_cur) +
                     "; connections before login: " + std::to_string(options->pending_per_address) +
                     " per address, " + std::to_string(options->pending_total) + " in all";
  const rlim_t needed = static_cast<rlim_t>(options->max_pilots) + options->pending_total + 32;
  if (rl.rlim_cur < needed) {
    line += "; too few for " + std::to_string(options->max_pilots) +
            " pilots (raise LimitNOFILE or ulimit -n to " + std::to_string(needed) + ")";
  }
  skytether::LogLine(line);
}

// The host name, kept to the characters node names may hold.
std::string DefaultNodeName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "node";
  std::string name(host);
  for (char &c : name) {
    if (!skytether::IsNodeName(std::string(1, c))) c = '-';
  }
  return name.substr(0, 56);
}

double WallSeconds() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

bool ParseReusePort(const char *s, skytether::SteeringOptions *out) {
  const char *slash = std::strchr(s, '/');
  long index = 0, nodes = 0;
  if (slash == nullptr || !ParseInt(std::string(s, slash).c_str(), 0, 63, &index) ||
      !ParseInt(slash + 1, 1, 64, &nodes) || index >= nodes) {
    return false;
  }
  out->index = static_cast<int>(index);
  out->nodes = static_cast<int>(nodes);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  skytether::ServerOptions server_options;
  skytether::RegistryOptions registry_options;
  std::string accounts_file, password_file, bpf_dir;
  skytether::ClusterOptions cluster_options;
  skytether::HttpOptions http_options;
  bool http = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("skytether-server %s\n", SKYTETHER_VERSION);
      return 0;
    }
    if (i + 1 >= argc) return Fail("missing value after " + arg);
    const char *value = argv[++i];
    if (arg == "--check-accounts") return CheckAccounts(value);
    long n = 0;
    if (arg == "--listen") {
      server_options.listen = value;
    } else if (arg == "--port") {
      if (!ParseInt(value, 0, 65535, &n)) return Fail("bad port: " + std::string(value));
      server_options.port = static_cast<int>(n);
    } else if (arg == "--accounts") {
      accounts_file = value;
    } else if (arg == "--max-pilots") {
      if (!ParseInt(value, 1, 100000, &n)) return Fail("bad --max-pilots: " + std::string(value));
      registry_options.max_pilots = static_cast<int>(n);
    } else if (arg == "--idle-timeout") {
      if (!ParseSeconds(value, &registry_options.idle_timeout)) {
        return Fail("bad --idle-timeout: " + std::string(value));
      }
    } else if (arg == "--max-report-age") {
      if (std::strcmp(value, "0") == 0) {
        server_options.max_report_age = 0;
      } else if (!ParseSeconds(value, &server_options.max_report_age)) {
        return Fail("bad --max-report-age: " + std::string(value));
      }
    } else if (arg == "--relay-rates") {
      std::string error;
      if (!registry_options.relay_rates.Parse(value, &error)) return Fail("bad --relay-rates: " + error);
    } else if (arg == "--cluster") {
      cluster_options.redis = value;
    } else if (arg == "--cluster-prefix") {
      if (!skytether::IsNodeName(value))
        return Fail("bad --cluster-prefix (letters, digits, . - _): " + std::string(value));
      cluster_options.prefix = value;
    } else if (arg == "--node-name") {
      if (!skytether::IsNodeName(value))
        return Fail("bad --node-name (letters, digits, . - _): " + std::string(value));
      cluster_options.name = value;
    } else if (arg == "--redis-password-file") {
      password_file = value;
    } else if (arg == "--reuseport") {
      if (!ParseReusePort(value, &server_options.steering))
        return Fail("bad --reuseport (I/N, 0 <= I < N): " + std::string(value));
      server_options.steered = true;
    } else if (arg == "--http") {
      std::string error;
      if (!skytether::ParseHttpAddress(value, &http_options, &error)) return Fail(error);
      http = true;
    } else if (arg == "--bpf-dir") {
      bpf_dir = value;
    } else {
      return Fail("unknown option " + arg);
    }
  }
  const bool clustered = !cluster_options.redis.empty();
  if (!clustered && (server_options.steered || !password_file.empty())) {
    return Fail(
        "--reuseport and --redis-password-file need --cluster: nodes on one address share pilots through "
        "Redis");
  }
  if (clustered) {
    std::string host, unix_path, error;
    int redis_port = 0;
    if (!skytether::ParseRedisAddress(cluster_options.redis, &host, &redis_port, &unix_path, &error))
      return Fail(error);
    if (!password_file.empty()) {
      if (!ReadAccountsFile(password_file, &cluster_options.password, &error)) {
        std::fprintf(stderr, "skytether-server: %s\n", error.c_str());
        return 2;
      }
      while (!cluster_options.password.empty() && std::strchr("\r\n", cluster_options.password.back()))
        cluster_options.password.pop_back();
    }
    if (cluster_options.name.empty()) {
      cluster_options.name = DefaultNodeName();
      if (server_options.steered) cluster_options.name += "-" + std::to_string(server_options.steering.index);
    }
    registry_options.cluster = true;
    cluster_options.max_report_age = server_options.max_report_age;
  }
  server_options.steering.pin_dir =
      bpf_dir.empty() ? "/sys/fs/bpf/skytether-" + std::to_string(server_options.port) : bpf_dir;

  skytether::Accounts accounts;
  bool use_accounts = !accounts_file.empty();
  if (use_accounts) {
    std::string text, error;
    if (!ReadAccountsFile(accounts_file, &text, &error)) {
      std::fprintf(stderr, "skytether-server: %s\n", error.c_str());
      return 2;
    }
    if (!accounts.Parse(text, &error)) {
      std::fprintf(stderr, "skytether-server: %s: %s\n", accounts_file.c_str(), error.c_str());
      return 2;
    }
  }

  RaiseDescriptorLimit(&registry_options);
  // A peer that vanishes mid-write must not kill the process.
  std::signal(SIGPIPE, SIG_IGN);

  asio::io_context io(1);
  skytether::StatusBoard board;
  skytether::HttpStatus status_http(http_options, board);
  asio::steady_timer status_timer(io);
  skytether::Registry registry(registry_options, use_accounts ? &accounts : nullptr);
  skytether::Server server(io, server_options, registry);
  std::unique_ptr<skytether::ClusterNode> cluster;
  asio::signal_set counters(io);
  if (clustered) {
    counters.add(SIGUSR1);
    skytether::ClusterNode::Hooks hooks;
    hooks.drain = [&server] { server.Drain(); };
    hooks.relay = [&server](std::string_view values, const std::vector<skytether::Relay> &relays) {
      server.RelayCopy(values, relays);
    };
    hooks.flush = [&server] { server.FlushRelays(); };
    hooks.log = [](const std::string &line) { skytether::LogLine(line); };
    cluster = std::make_unique<skytether::ClusterNode>(io, cluster_options, registry, hooks);
    server.SetCluster(cluster.get());
  }
  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const asio::error_code &ec, int signo) {
    if (ec) return;
    skytether::LogLine(std::string("shutting down on ") + (signo == SIGINT ? "SIGINT" : "SIGTERM"));
    if (cluster) cluster->Stop();
    server.Stop();
    status_timer.cancel();
    if (cluster) counters.cancel();
  });

  if (use_accounts) {
    skytether::LogLine("accounts: " + std::to_string(accounts.size()) + " from " + accounts_file);
  } else {
    skytether::LogLine("open server: any login is accepted");
  }
  skytether::LogLine("relay rates: " + registry_options.relay_rates.Describe());
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "skytether-server: %s\n", error.c_str());
    return 1;
  }
  // The operator's window: the relay thread publishes a snapshot every second; the HTTP threads
  // only ever read the latest one.
  const double started = WallSeconds();
  const std::string node_name = cluster_options.name.empty() ? DefaultNodeName() : cluster_options.name;
  std::function<void()> publish_status = [&] {
    auto snapshot = std::make_shared<skytether::StatusSnapshot>();
    snapshot->version = SKYTETHER_VERSION;
    snapshot->node = node_name;
    snapshot->started = started;
    snapshot->taken = WallSeconds();
    server.Status(snapshot.get());
    if (cluster) cluster->Status(snapshot.get());
    board.Publish(std::move(snapshot));
    status_timer.expires_after(std::chrono::seconds(1));
    status_timer.async_wait([&](const asio::error_code &ec) {
      if (!ec) publish_status();
    });
  };
  if (http) {
    if (!status_http.Start(&error)) {
      std::fprintf(stderr, "skytether-server: %s\n", error.c_str());
      return 1;
    }
    publish_status();
    const bool v6 = http_options.address.find(':') != std::string::npos;
    skytether::LogLine("status page on http://" + (v6 ? "[" + http_options.address + "]" : http_options.address) +
                       ":" + std::to_string(status_http.port()) + "/");
  }
  // kill -USR1 makes a cluster node log what it has done.
  std::function<void()> print_counters = [&] {
    counters.async_wait([&](const asio::error_code &ec, int) {
      if (ec) return;
      skytether::LogLine(cluster->CountersLine());
      print_counters();
    });
  };
  if (cluster) {
    cluster->Start();
    print_counters();
  }
  io.run();
  skytether::LogLine("stopped");
  return 0;
}
