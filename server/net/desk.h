#pragma once
// The operator's desk on the relay thread: actions from the admin routes (another thread), from
// the other nodes of a cluster and from SIGHUP are carried out by the Operator where the registry
// lives; the ban file is written and read, and the accounts file read, on a worker thread, never
// on the relay's.
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/accounts.h"
#include "core/operator.h"
#include "net/asio.h"
#include "net/files.h"
#include "net/server.h"
#include "net/worker.h"

namespace skytether {

struct DeskOptions {
  std::string accounts_file;  // empty: an open server, nothing to reload
  std::string ban_file;       // empty: bans last until the server stops
};

class OperatorDesk : public AdminDesk {
 public:
  // accounts: the accounts the registry checks logins against (replaced here on a reload). The
  // ban list in force is op's (as read at start).
  OperatorDesk(asio::io_context &relay_io, Server &relay, Operator &op, Accounts *accounts,
               DeskOptions options);

  // From any thread.
  void Submit(const AdminAction &a, Done done) override;
  void List(const std::string &what, const std::string &query, Done done) override;

  // On the relay thread: an action another node passed on.
  void FromCluster(const AdminAction &a);
  // On the relay thread: rereads the accounts file (SIGHUP, or an admin action). A file with a
  // bad line is refused whole and the accounts in force stay.
  void ReloadAccounts(const std::string &by, Done done);
  // On the relay thread: rereads the ban file (SIGHUP). A file with a bad line is refused whole
  // and the bans in force stay.
  void ReloadBans(const std::string &by);

  // Passes an action to the other nodes (set on a cluster node; called on the relay thread).
  AdminShare share;

 private:
  // A change of the ban list made on the relay thread, for the ban file.
  struct BanChange {
    enum class Kind { kAdd, kLift, kExpire, kReread } kind;
    std::uint64_t seq = 0;
    Ban ban;           // kAdd
    std::string user;  // kLift
    double wall = 0;   // when (for expiring)
    std::string by;    // kReread: who asked
    Done done;         // answered once the file holds it
    AdminOutcome outcome;
  };

  void Carry(const AdminAction &a, bool from_cluster, Done done);
  void Answer(const Done &done, AdminOutcome outcome);
  // Relay thread: hands a change to the worker.
  void Keep(BanChange change);
  // Worker thread: every change handed over so far, into the file at once.
  void WriteBans();
  // Relay thread: the file's list (changes up to seq in it) replaces the list in force; later
  // changes are made again on top.
  void TakeBans(std::shared_ptr<BanList> list, std::uint64_t seq, const std::string &by);

  asio::io_context &io_;
  Server &relay_;
  Operator &op_;
  Accounts *accounts_;
  DeskOptions options_;
  // Relay thread: changes the worker has not said are in the file's list.
  std::uint64_t seq_ = 0;
  std::deque<BanChange> unacked_;
  // Between the threads.
  std::mutex mutex_;
  std::vector<BanChange> pending_;
  bool writing_ = false;  // a WriteBans is queued
  // Worker thread: the list as the file holds it, and the file as last written or read.
  BanList mirror_;
  FileStamp stamp_;
  Worker worker_;  // last: joined first, while the rest is still there
};

}  // namespace skytether
