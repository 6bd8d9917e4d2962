#include "net/desk.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <utility>

#include "core/status.h"
#include "net/clock.h"
#include "net/files.h"
#include "net/log.h"

namespace skytether {

OperatorDesk::OperatorDesk(asio::io_context &relay_io, Server &relay, Operator &op, Accounts *accounts,
                           DeskOptions options)
    : io_(relay_io),
      relay_(relay),
      op_(op),
      accounts_(accounts),
      options_(std::move(options)),
      mirror_(op.bans()),
      stamp_(options_.ban_file.empty() ? FileStamp() : StampOf(options_.ban_file)) {}

void OperatorDesk::Answer(const Done &done, AdminOutcome outcome) {
  if (done) done(std::move(outcome));
}

void OperatorDesk::Submit(const AdminAction &a, Done done) {
  asio::post(io_, [this, a, done = std::move(done)] {
    if (a.kind == AdminAction::Kind::kReloadAccounts) {
      ReloadAccounts(a.by, done);
      if (share) share(a);  // every node rereads its own file
      return;
    }
    Carry(a, false, done);
  });
}

void OperatorDesk::List(const std::string &what, const std::string &query, Done done) {
  asio::post(io_, [this, what, query, done = std::move(done)] {
    AdminOutcome o;
    if (what != "bans") {
      o.json = op_.PilotsJson();
      return Answer(done, std::move(o));
    }
    // A page at a time: however long the list, the relay thread spends little on one answer.
    std::map<std::string, std::string> form;
    char *end = nullptr;
    long limit = 1000;
    if (!ParseForm(query, &form) || (form.count("limit") != 0 &&
                                     ((limit = std::strtol(form["limit"].c_str(), &end, 10)) < 1 ||
                                      limit > 10000 || *end != '\0'))) {
      o.status = 400;
      o.json = "{\"ok\":false,\"error\":\"the query reads after=KEY&limit=N (N from 1 to 10000)\"}";
      return Answer(done, std::move(o));
    }
    // Read from the worker's copy of the list, behind every change handed over so far: a long
    // list costs the relay nothing.
    worker_.Run([this, after = form["after"], limit, o = std::move(o), done]() mutable {
      mirror_.Expire(WallSeconds());
      o.json = BansJson(mirror_, after, static_cast<std::size_t>(limit));
      Answer(done, std::move(o));
    });
  });
}

void OperatorDesk::FromCluster(const AdminAction &a) {
  if (a.kind == AdminAction::Kind::kReloadAccounts) return ReloadAccounts("node " + a.by, nullptr);
  Carry(a, true, nullptr);
}

void OperatorDesk::Carry(const AdminAction &a, bool from_cluster, Done done) {
  AdminOutcome o = op_.Apply(a, from_cluster, share);
  if (!o.log.empty()) LogLine(o.log);
  relay_.Drain();  // the closes and notices it asked for
  if (!o.bans_changed) return Answer(done, std::move(o));
  BanChange c;
  c.kind = o.ban_added ? BanChange::Kind::kAdd
                       : a.kind == AdminAction::Kind::kUnban ? BanChange::Kind::kLift : BanChange::Kind::kExpire;
  c.ban = o.ban;
  c.user = a.user;
  c.wall = WallSeconds();
  c.done = std::move(done);
  c.outcome = std::move(o);
  Keep(std::move(c));
}

void OperatorDesk::ReloadBans(const std::string &by) {
  if (options_.ban_file.empty()) return;
  BanChange c;
  c.kind = BanChange::Kind::kReread;
  c.wall = WallSeconds();
  c.by = by;
  Keep(std::move(c));
}

void OperatorDesk::Keep(BanChange change) {
  change.seq = ++seq_;
  BanChange kept = change;  // what the relay makes again if the file's list comes back
  kept.done = nullptr;
  kept.outcome = AdminOutcome();
  unacked_.push_back(std::move(kept));
  bool start = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back(std::move(change));
    start = !std::exchange(writing_, true);
  }
  // Changes that come while the file is written go into the next write, all at once.
  if (start) worker_.Run([this] { WriteBans(); });
}

void OperatorDesk::WriteBans() {
  std::vector<BanChange> batch;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    batch.swap(pending_);
    writing_ = false;
  }
  if (batch.empty()) return;
  auto apply = [this](const BanChange &c) {
    if (c.kind == BanChange::Kind::kAdd) mirror_.Add(c.ban);
    if (c.kind == BanChange::Kind::kLift) mirror_.Lift(c.user);
    mirror_.Expire(c.wall);
  };
  const std::string &path = options_.ban_file;
  if (path.empty()) {  // no file: the list is kept for reading it only
    for (BanChange &c : batch) {
      apply(c);
      if (c.done) c.done(std::move(c.outcome));
    }
    const std::uint64_t last = batch.back().seq;
    asio::post(io_, [this, last] { TakeBans(nullptr, last, std::string()); });
    return;
  }
  // A file changed since this server last wrote it (edited by hand) is read first, so that its
  // lines hold and the changes go on top of them; so is it on SIGHUP.
  std::string reread_by;
  for (const BanChange &c : batch) {
    if (c.kind == BanChange::Kind::kReread) reread_by = c.by;
  }
  const FileStamp now_stamp = StampOf(path);
  bool took_file = false, gone = false;
  std::string error;
  if (!reread_by.empty() || now_stamp != stamp_) {
    const std::string by = reread_by.empty() ? "changed by hand" : reread_by;
    std::string text;
    std::vector<std::string> problems;
    bool missing = false;
    BanList read(mirror_.folded());
    if (!ReadWholeFile(path, &text, &error, &missing, true)) {
      problems.push_back(error);
    } else if (missing) {
      gone = true;
      LogLine("bans: " + path + " is gone (" + by + "): the " + std::to_string(mirror_.size()) +
              " bans in force stay and are written again");
    } else if (read.Parse(text, &problems)) {
      mirror_ = std::move(read);
      took_file = true;
    }
    if (!problems.empty()) {
      std::string all;
      for (const std::string &p : problems) all += (all.empty() ? "" : "; ") + p;
      LogLine("bans: " + path + " refused (" + by + "), the " + std::to_string(mirror_.size()) +
              " bans in force stay: " + all);
      // Not written over (and read again at the next change): the operator's lines stay for the
      // operator to mend.
      error = "the ban file has bad lines (" + all + "); mend it and send SIGHUP";
    } else {
      stamp_ = now_stamp;
    }
  }
  for (const BanChange &c : batch) apply(c);
  // A file only reread is left as the operator wrote it, comments and all.
  const bool changed = std::any_of(batch.begin(), batch.end(),
                                   [](const BanChange &c) { return c.kind != BanChange::Kind::kReread; });
  if (error.empty() && (changed || (gone && mirror_.size() > 0))) {
    if (ReplaceFile(path, mirror_.Text(), &error)) {
      stamp_ = StampOf(path);
    } else {
      LogLine("bans: " + error + "; they hold until the server stops");
    }
  }
  const std::uint64_t last = batch.back().seq;
  std::shared_ptr<BanList> list = took_file ? std::make_shared<BanList>(mirror_) : nullptr;
  asio::post(io_, [this, list, last, by = reread_by.empty() ? std::string("changed by hand") : reread_by] {
    TakeBans(list, last, by);
  });
  for (BanChange &c : batch) {
    if (!c.done) continue;
    if (!error.empty()) {
      c.outcome.status = 500;
      c.outcome.json = "{\"ok\":false,\"error\":" +
                       JsonString("done, but the ban list could not be kept: " + error) + "}";
    }
    c.done(std::move(c.outcome));
  }
}

void OperatorDesk::TakeBans(std::shared_ptr<BanList> list, std::uint64_t seq, const std::string &by) {
  while (!unacked_.empty() && unacked_.front().seq <= seq) unacked_.pop_front();
  if (!list) return;
  op_.bans() = std::move(*list);
  // What was changed here after the file was read goes on top, and reaches the file next.
  for (const BanChange &c : unacked_) {
    if (c.kind == BanChange::Kind::kAdd) op_.bans().Add(c.ban);
    if (c.kind == BanChange::Kind::kLift) op_.bans().Lift(c.user);
  }
  op_.bans().Expire(WallSeconds());
  LogLine("bans: " + std::to_string(op_.bans().size()) + " from " + options_.ban_file + " (" + by + ")");
  // The bans the file holds now may shut sessions out: as for a ban given now.
  relay_.registry().KickIf(
      [this](const Client &c) { return op_.Banned(c.account, c.peer, c.id); },
      "banned (the ban file, " + by + ")", "Server: you are banned", Now());
  relay_.Drain();
}

void OperatorDesk::ReloadAccounts(const std::string &by, Done done) {
  if (options_.accounts_file.empty()) {
    LogLine("accounts: not reloaded (" + by + "): an open server has no accounts file");
    AdminOutcome o;
    o.status = 409;
    o.json = "{\"ok\":false,\"error\":\"an open server (no --accounts) has no accounts to reload\"}";
    return Answer(done, std::move(o));
  }
  // Read and checked on the worker; only the switch happens here.
  worker_.Run([this, by, done] {
    auto fresh = std::make_shared<Accounts>();
    std::string text, error;
    std::vector<std::string> problems;
    if (!ReadPrivateFile(options_.accounts_file, &text, &error)) {
      problems.push_back(error);
    } else {
      problems = Accounts::Problems(text);
      // A file being written in place, caught half way, ends in the middle of a line: its last
      // account would be a cut password and the ones after it gone. Only a whole file is taken.
      if (!text.empty() && text.back() != '\n')
        problems.push_back("the last line does not end with a line break (half written? write a new file "
                           "and rename it over this one)");
      if (problems.empty()) fresh->Parse(text, &error);
      // A file caught half-written by an editor would log everyone out: none at all is refused.
      if (problems.empty() && fresh->size() == 0) problems.push_back("no account in it");
    }
    asio::post(io_, [this, by, done, fresh, problems] {
      AdminOutcome o;
      if (!problems.empty()) {
        std::string all;
        for (const std::string &p : problems) all += (all.empty() ? "" : "; ") + p;
        LogLine("accounts: " + options_.accounts_file + " refused (" + by + "), the " +
                std::to_string(accounts_->size()) + " accounts in force stay: " + all);
        o.status = 422;
        o.json =
            "{\"ok\":false,\"error\":\"the accounts file was refused; the accounts in force "
            "stay\",\"problems\":[";
        for (std::size_t i = 0; i < problems.size(); ++i) o.json += (i ? "," : "") + JsonString(problems[i]);
        o.json += "]}";
        return Answer(done, std::move(o));
      }
      *accounts_ = std::move(*fresh);
      const std::vector<std::string> gone = relay_.registry().ReplaceAccounts(accounts_, Now());
      std::string names;
      for (const std::string &n : gone) names += (names.empty() ? "" : ",") + JsonString(n);
      LogLine("accounts: " + std::to_string(accounts_->size()) + " from " + options_.accounts_file + " (" +
              by + ")" +
              (gone.empty() ? "" : "; logged out " + std::to_string(gone.size()) + " whose account is gone"));
      relay_.Drain();
      o.json =
          "{\"ok\":true,\"action\":\"reload-accounts\",\"accounts\":" + std::to_string(accounts_->size()) +
          ",\"logged_out\":[" + names + "]}";
      Answer(done, std::move(o));
    });
  });
}

}  // namespace skytether
