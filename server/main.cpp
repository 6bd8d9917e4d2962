// skytether-server: logins, slots and relay for Skytether pilots. See README.md.
// main wires the parts: the relay on this thread, the cluster node on the same event loop, the
// HTTP side on a thread of its own reading what the relay publishes.
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "cluster/node.h"
#include "core/operator.h"
#include "core/registry.h"
#include "core/status.h"
#include "http/admin.h"
#include "http/routes.h"
#include "http/server.h"
#include "net/clock.h"
#include "net/desk.h"
#include "net/log.h"
#include "net/server.h"
#include "options.h"

namespace {

using namespace skytether;

// Every client holds a descriptor: take all the descriptors the system allows us, and keep
// connections that have not logged in to a quarter of them.
void RaiseDescriptorLimit(RegistryOptions *options) {
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
  LogLine(line);
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  const int exit_code = ReadOptions(argc, argv, &o);
  if (exit_code >= 0) return exit_code;
  const bool clustered = !o.cluster.redis.empty();

  RaiseDescriptorLimit(&o.registry);
  // A peer that vanishes mid-write must not kill the process.
  std::signal(SIGPIPE, SIG_IGN);

  asio::io_context io(1);
  Registry registry(o.registry, o.accounts_file.empty() ? nullptr : &o.accounts);
  Server server(io, o.server, registry);
  std::unique_ptr<ClusterNode> cluster;
  if (clustered) {
    cluster = std::make_unique<ClusterNode>(io, o.cluster, registry, server);
    server.Attach(cluster.get());
  }
  // A cluster node's identity is known to the nodes alone, so every node can make the feed's id
  // of any pilot; a standalone server keeps a secret of its own.
  server.SetFeedKey(cluster ? cluster->node_id() : NewNodeId());
  StatusBoard board;
  HttpServer http(o.http_options);
  AdminCounters admin_counters;
  AddStatusRoutes(http, board, &admin_counters);

  // The operator's controls: carried out on this thread by the desk, asked for over HTTP on an
  // address of their own, passed to the other nodes through Redis.
  UseAdminLimits(&o.admin_http, o.admin_tokens);
  HttpServer admin_http(o.admin_http);  // before the desk: the desk's answers may still reach it
  Operator op(registry, admin_counters, WallSeconds, Now, clustered, o.accounts_file.empty());
  op.bans() = std::move(o.bans);
  registry.SetPolicy(&op);
  OperatorDesk desk(io, server, op, o.accounts_file.empty() ? nullptr : &o.accounts,
                    DeskOptions{o.accounts_file, o.ban_file});
  if (cluster) {
    desk.share = [&cluster](const AdminAction &a) { return cluster->ShareAdmin(a); };
    cluster->on_admin = [&desk](const AdminAction &a) { desk.FromCluster(a); };
  }
  if (o.admin) AddAdminRoutes(admin_http, o.admin_tokens, desk, admin_counters);
  asio::signal_set hangup(io, SIGHUP);
  std::function<void()> on_hangup = [&] {
    hangup.async_wait([&](const asio::error_code &ec, int) {
      if (ec) return;
      desk.ReloadAccounts("SIGHUP", nullptr);
      desk.ReloadBans("SIGHUP");
      on_hangup();
    });
  };
  on_hangup();

  asio::signal_set counters(io);
  if (clustered) counters.add(SIGUSR1);
  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const asio::error_code &ec, int signo) {
    if (ec) return;
    LogLine(std::string("shutting down on ") + (signo == SIGINT ? "SIGINT" : "SIGTERM"));
    if (cluster) cluster->Stop();
    server.Stop();
    if (cluster) counters.cancel();
    hangup.cancel();
  });

  if (!o.accounts_file.empty()) {
    LogLine("accounts: " + std::to_string(o.accounts.size()) + " from " + o.accounts_file);
  } else {
    LogLine("open server: any login is accepted");
  }
  LogLine("relay rates: " + o.registry.relay_rates.Describe());
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "skytether-server: %s\n", error.c_str());
    return 1;
  }
  // The operator's window: the relay publishes a snapshot every second; the HTTP thread only
  // ever reads the latest one.
  if (o.http) {
    if (!http.Start(&error)) {
      std::fprintf(stderr, "skytether-server: %s\n", error.c_str());
      return 1;
    }
    server.PublishTo(&board);
    LogLine("status page on http://" + HostPort(o.http_options.address, http.port()) + "/");
  }
  if (o.admin) {
    if (!admin_http.Start(&error)) {
      std::fprintf(stderr, "skytether-server: %s (--admin-http)\n", error.c_str());
      return 1;
    }
    LogLine("admin controls on http://" + HostPort(o.admin_http.address, admin_http.port()) + "/v1/admin/ (" +
            std::to_string(o.admin_tokens.size()) + " tokens)");
  }
  if (!o.ban_file.empty()) {
    LogLine("bans: " + std::to_string(op.bans().size()) + " from " + o.ban_file);
  } else if (o.admin || cluster) {
    LogLine("bans: no --ban-file, so bans last until the server stops");
  }
  // kill -USR1 makes a cluster node log what it has done.
  std::function<void()> print_counters = [&] {
    counters.async_wait([&](const asio::error_code &ec, int) {
      if (ec) return;
      LogLine(cluster->CountersLine());
      print_counters();
    });
  };
  if (cluster) {
    cluster->Start();
    print_counters();
  }
  io.run();
  http.Stop();
  admin_http.Stop();
  LogLine("stopped");
  return 0;
}
