#pragma once
// The operator's desk on the relay thread: actions from the admin routes (another thread), from
// the other nodes of a cluster and from SIGHUP are carried out by the Operator where the registry
// lives; the ban file is written and the accounts file read on a worker thread, never on the
// relay's.
#include <functional>
#include <string>

#include "core/accounts.h"
#include "core/operator.h"
#include "net/asio.h"
#include "net/server.h"
#include "net/worker.h"

namespace skytether {

struct DeskOptions {
  std::string accounts_file;  // empty: an open server, nothing to reload
  std::string ban_file;       // empty: bans last until the server stops
};

class OperatorDesk : public AdminDesk {
 public:
  // accounts: the accounts the registry checks logins against (replaced here on a reload).
  OperatorDesk(asio::io_context &relay_io, Server &relay, Operator &op, Accounts *accounts,
               DeskOptions options);

  // From any thread.
  void Submit(const AdminAction &a, Done done) override;
  void List(const std::string &what, Done done) override;

  // On the relay thread: an action another node passed on.
  void FromCluster(const AdminAction &a);
  // On the relay thread: rereads the accounts file (SIGHUP, or an admin action). A file with a
  // bad line is refused whole and the accounts in force stay.
  void ReloadAccounts(const std::string &by, Done done);

  // Passes an action to the other nodes (set on a cluster node; called on the relay thread).
  std::function<void(const AdminAction &)> share;

 private:
  void Carry(const AdminAction &a, bool from_cluster, Done done);
  void Answer(const Done &done, AdminOutcome outcome);

  asio::io_context &io_;
  Server &relay_;
  Operator &op_;
  Accounts *accounts_;
  DeskOptions options_;
  Worker worker_;  // last: joined first, while the rest is still there
};

}  // namespace skytether
