#include "options.h"

#include "net/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace skytether {
namespace {

const char kUsage[] =
    "usage: skytether-server [--listen ADDR] [--port PORT] [--accounts FILE]\n"
    "                        [--max-pilots N] [--idle-timeout SECONDS] [--max-report-age SECONDS]\n"
    "                        [--udp-segment on|off]\n"
    "                        [--relay-rates off|on|changes[:STEPS]|steps[:STEPS]]\n"
    "                        [--cluster ADDR [--cluster-prefix NAME] [--node-name NAME] [--max-nodes N]\n"
    "                         [--node-timeout SECONDS]\n"
    "                         [--redis-password-file FILE] [--reuseport I/N [--bpf-dir DIR]]]\n"
    "                        [--http [ADDR:]PORT [--http-trusted-proxy ADDR[,ADDR...]]]\n"
    "                        [--admin-token-file FILE [--admin-http [ADDR:]PORT]\n"
    "                         [--admin-trusted-proxy ADDR[,ADDR...]]] [--ban-file FILE]\n"
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
    "  --udp-segment on|off   reports of one length to one pilot in one segmented send, where\n"
    "                         the kernel offers it (default on)\n"
    "  --relay-rates off|on|changes[:KM:RATE:METRES:HEARTBEAT,...,RATE:METRES:HEARTBEAT]\n"
    "              |steps[:KM:RATE,...,RATE]\n"
    "                         changes (on, the default: 10:40:0.1:2,50:10:2:3,2:20:5): a report\n"
    "                         goes to the recipients within KM when their picture of the pilot\n"
    "                         would be off by over METRES, or HEARTBEAT seconds after the last,\n"
    "                         at most RATE a second; steps (10:40,50:10,2): at most RATE a second\n"
    "                         within KM, the last RATE beyond; off relays every report\n"
    "  --cluster ADDR         be a cluster node: share pilots with the other nodes through the\n"
    "                         Redis at HOST:PORT (an IP address) or unix:PATH\n"
    "  --cluster-prefix NAME  prefix of the cluster's Redis keys and channels (default skytether)\n"
    "  --node-name NAME       this node's name in the logs (default the host name)\n"
    "  --max-nodes N          other nodes taken at once; presences of more are dropped (default 64)\n"
    "  --node-timeout SECONDS another node not heard from this long has left (default 10; its\n"
    "                         uniqueIDs are free 2 s later)\n"
    "  --redis-password-file FILE\n"
    "                         the Redis password, in a file only its owner may read\n"
    "  --reuseport I/N        node I of N on this same address and port, steered by source address\n"
    "  --bpf-dir DIR          the steering tables of the nodes on this address\n"
    "                         (default /sys/fs/bpf/skytether-PORT)\n"
    "  --http [ADDR:]PORT     serve the status page, the JSON feed and the metrics over HTTP\n"
    "                         (on 127.0.0.1 unless ADDR is given; port 0 picks a free one)\n"
    "  --http-trusted-proxy ADDR[,ADDR...]\n"
    "                         reverse proxies whose X-Forwarded-For names the client: requests\n"
    "                         through them are limited per client, not per proxy (the status page\n"
    "                         and the controls)\n"
    "  --admin-trusted-proxy ADDR[,ADDR...]\n"
    "                         the same for the controls alone\n"
    "  --admin-token-file FILE\n"
    "                         \"name token\" per line, readable by its owner only: turns on the\n"
    "                         operator's controls (kick, ban, mute, reload the accounts) over HTTP\n"
    "  --admin-http [ADDR:]PORT\n"
    "                         where the controls answer (default 127.0.0.1:49557)\n"
    "  --ban-file FILE        keep the ban list in this file across restarts\n"
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

int CheckAccounts(const std::string &path) {
  std::string text, error;
  if (!ReadPrivateFile(path, &text, &error)) {
    std::fprintf(stderr, "skytether-server: %s\n", error.c_str());
    return 2;
  }
  std::vector<std::string> notes;
  std::vector<std::string> problems = Accounts::Problems(text, &notes);
  for (const auto &p : problems) std::fprintf(stderr, "%s: %s\n", path.c_str(), p.c_str());
  for (const auto &n : notes) std::fprintf(stderr, "%s: note: %s\n", path.c_str(), n.c_str());
  if (!problems.empty()) return 2;
  Accounts accounts;
  accounts.Parse(text, &error);
  std::printf("%s: %zu accounts, no problems\n", path.c_str(), accounts.size());
  return 0;
}

bool ParseReusePort(const char *s, SteeringOptions *out) {
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

std::string DefaultNodeName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "node";
  std::string name(host);
  for (char &c : name) {
    if (!IsNodeName(std::string(1, c))) c = '-';
  }
  return name.substr(0, 56);
}

bool ParseHttpAddress(const std::string &text, HttpOptions *out, std::string *error) {
  std::string host = "127.0.0.1", port = text;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find("]:");
    if (close == std::string::npos) {
      *error = "bad --http (ADDR:PORT, [V6ADDR]:PORT or PORT): " + text;
      return false;
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (text.find(':') != std::string::npos) {
    const std::size_t colon = text.rfind(':');
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  in6_addr any;
  const bool ip = inet_pton(AF_INET, host.c_str(), &any) == 1 || inet_pton(AF_INET6, host.c_str(), &any) == 1;
  char *end = nullptr;
  const long n = std::strtol(port.c_str(), &end, 10);
  if (!ip || port.empty() || *end != '\0' || n < 0 || n > 65535) {
    *error = "bad --http (an IP address and a port: ADDR:PORT, [V6ADDR]:PORT or PORT): " + text;
    return false;
  }
  out->address = host;
  out->port = static_cast<int>(n);
  return true;
}

int ReadOptions(int argc, char **argv, Options *out) {
  Options &o = *out;
  std::string password_file, bpf_dir, token_file;
  bool admin_address = false, admin_proxy = false;
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
      o.server.listen = value;
    } else if (arg == "--port") {
      if (!ParseInt(value, 0, 65535, &n)) return Fail("bad port: " + std::string(value));
      o.server.port = static_cast<int>(n);
    } else if (arg == "--accounts") {
      o.accounts_file = value;
    } else if (arg == "--max-pilots") {
      if (!ParseInt(value, 1, 100000, &n)) return Fail("bad --max-pilots: " + std::string(value));
      o.registry.max_pilots = static_cast<int>(n);
    } else if (arg == "--idle-timeout") {
      if (!ParseSeconds(value, &o.registry.idle_timeout)) {
        return Fail("bad --idle-timeout: " + std::string(value));
      }
    } else if (arg == "--max-report-age") {
      if (std::strcmp(value, "0") == 0) {
        o.server.max_report_age = 0;
      } else if (!ParseSeconds(value, &o.server.max_report_age)) {
        return Fail("bad --max-report-age: " + std::string(value));
      }
    } else if (arg == "--udp-segment") {
      if (std::strcmp(value, "on") != 0 && std::strcmp(value, "off") != 0)
        return Fail("bad --udp-segment: " + std::string(value) + " (on or off)");
      o.server.udp_segment = std::strcmp(value, "on") == 0;
    } else if (arg == "--relay-rates") {
      std::string error;
      if (!o.registry.relay_rates.Parse(value, &error)) return Fail("bad --relay-rates: " + error);
    } else if (arg == "--cluster") {
      o.cluster.redis = value;
    } else if (arg == "--cluster-prefix") {
      if (!IsNodeName(value))
        return Fail("bad --cluster-prefix (letters, digits, . - _): " + std::string(value));
      o.cluster.prefix = value;
    } else if (arg == "--node-name") {
      if (!IsNodeName(value)) return Fail("bad --node-name (letters, digits, . - _): " + std::string(value));
      o.cluster.name = value;
    } else if (arg == "--max-nodes") {
      if (!ParseInt(value, 1, 10000, &n)) return Fail("bad --max-nodes: " + std::string(value));
      o.cluster.max_nodes = static_cast<std::size_t>(n);
    } else if (arg == "--http-trusted-proxy" || arg == "--admin-trusted-proxy") {
      // The status page's proxies may front the controls too; the controls' may be their own.
      const bool both = arg == "--http-trusted-proxy";
      admin_proxy = admin_proxy || !both;
      std::string list = value;
      for (std::size_t at = 0; at <= list.size();) {
        std::size_t comma = list.find(',', at);
        if (comma == std::string::npos) comma = list.size();
        const std::string one = list.substr(at, comma - at);
        asio::error_code ec;
        const asio::ip::address a = asio::ip::make_address(one, ec);
        if (ec) return Fail("bad " + arg + " (IP addresses, comma between): " + one);
        if (both) o.http_options.limits.trusted_proxies.push_back(a.to_string());
        o.admin_http.limits.trusted_proxies.push_back(a.to_string());
        at = comma + 1;
      }
    } else if (arg == "--node-timeout") {
      double seconds = 0;
      if (!ParseSeconds(value, &seconds) || seconds < 2 || seconds > 600)
        return Fail("bad --node-timeout (2 to 600 seconds): " + std::string(value));
      o.cluster.node_timeout = seconds;
      o.cluster.key_ttl = seconds + 2;
    } else if (arg == "--redis-password-file") {
      password_file = value;
    } else if (arg == "--reuseport") {
      if (!ParseReusePort(value, &o.server.steering))
        return Fail("bad --reuseport (I/N, 0 <= I < N): " + std::string(value));
      o.server.steered = true;
    } else if (arg == "--http") {
      std::string error;
      if (!ParseHttpAddress(value, &o.http_options, &error)) return Fail(error);
      o.http = true;
    } else if (arg == "--admin-token-file") {
      token_file = value;
    } else if (arg == "--admin-http") {
      std::string error;
      if (!ParseHttpAddress(value, &o.admin_http, &error)) return Fail("bad --admin-http" + error.substr(10));
      admin_address = true;
    } else if (arg == "--ban-file") {
      o.ban_file = value;
    } else if (arg == "--bpf-dir") {
      bpf_dir = value;
    } else {
      return Fail("unknown option " + arg);
    }
  }
  const bool clustered = !o.cluster.redis.empty();
  if (!clustered && (o.server.steered || !password_file.empty())) {
    return Fail(
        "--reuseport and --redis-password-file need --cluster: nodes on one address share pilots through "
        "Redis");
  }
  if (clustered) {
    std::string host, unix_path, error;
    int redis_port = 0;
    if (!ParseRedisAddress(o.cluster.redis, &host, &redis_port, &unix_path, &error)) return Fail(error);
    if (!password_file.empty()) {
      if (!ReadPrivateFile(password_file, &o.cluster.password, &error)) {
        std::fprintf(stderr, "skytether-server: %s\n", error.c_str());
        return 2;
      }
      while (!o.cluster.password.empty() && std::strchr("\r\n", o.cluster.password.back()))
        o.cluster.password.pop_back();
    }
    if (o.cluster.name.empty()) {
      o.cluster.name = DefaultNodeName();
      if (o.server.steered) o.cluster.name += "-" + std::to_string(o.server.steering.index);
    }
    o.registry.cluster = true;
    o.cluster.max_report_age = o.server.max_report_age;
  }
  o.server.steering.pin_dir =
      bpf_dir.empty() ? "/sys/fs/bpf/skytether-" + std::to_string(o.server.port) : bpf_dir;
  o.server.version = SKYTETHER_VERSION;
  o.server.node_name = o.cluster.name.empty() ? DefaultNodeName() : o.cluster.name;

  if ((admin_address || admin_proxy) && token_file.empty())
    return Fail(std::string(admin_address ? "--admin-http" : "--admin-trusted-proxy") + " needs --admin-token-file");
  if (!token_file.empty()) {
    std::string text, error;
    std::vector<std::string> problems;
    if (!ReadPrivateFile(token_file, &text, &error)) {
      std::fprintf(stderr, "skytether-server: %s\n", error.c_str());
      return 2;
    }
    if (!o.admin_tokens.Parse(text, &problems) || o.admin_tokens.size() == 0) {
      if (problems.empty()) problems.push_back("no token in it");
      for (const auto &p : problems)
        std::fprintf(stderr, "skytether-server: %s: %s\n", token_file.c_str(), p.c_str());
      return 2;
    }
    o.admin = true;
    if (!admin_address) {
      o.admin_http.address = "127.0.0.1";
      o.admin_http.port = kAdminPort;
    }
  }
  o.bans = BanList(o.accounts_file.empty());  // without accounts, user IDs compare folded
  if (!o.ban_file.empty()) {
    std::string text, error;
    std::vector<std::string> problems;
    bool missing = false;
    if (!ReadWholeFile(o.ban_file, &text, &error, &missing, true)) {
      std::fprintf(stderr, "skytether-server: %s\n", error.c_str());
      return 2;
    }
    if (!o.bans.Parse(text, &problems)) {
      for (const auto &p : problems)
        std::fprintf(stderr, "skytether-server: %s: %s\n", o.ban_file.c_str(), p.c_str());
      return 2;
    }
  }
  if (!o.accounts_file.empty()) {
    std::string text, error;
    if (!ReadPrivateFile(o.accounts_file, &text, &error)) {
      std::fprintf(stderr, "skytether-server: %s\n", error.c_str());
      return 2;
    }
    if (!o.accounts.Parse(text, &error)) {
      std::fprintf(stderr, "skytether-server: %s: %s\n", o.accounts_file.c_str(), error.c_str());
      return 2;
    }
  }
  return -1;
}

}  // namespace skytether
