#include "net/desk.h"

#include <memory>

#include "core/status.h"
#include "net/clock.h"
#include "net/files.h"
#include "net/log.h"

namespace skytether {

OperatorDesk::OperatorDesk(asio::io_context &relay_io, Server &relay, Operator &op, Accounts *accounts,
                           DeskOptions options)
    : io_(relay_io), relay_(relay), op_(op), accounts_(accounts), options_(std::move(options)) {}

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

void OperatorDesk::List(const std::string &what, Done done) {
  asio::post(io_, [this, what, done = std::move(done)] {
    AdminOutcome o;
    o.json = what == "bans" ? op_.BansJson() : op_.PilotsJson();
    Answer(done, std::move(o));
  });
}

void OperatorDesk::FromCluster(const AdminAction &a) {
  if (a.kind == AdminAction::Kind::kReloadAccounts) return ReloadAccounts("node " + a.by, nullptr);
  Carry(a, true, nullptr);
}

void OperatorDesk::Carry(const AdminAction &a, bool from_cluster, Done done) {
  AdminOutcome o = op_.Apply(a, from_cluster);
  if (!o.log.empty()) LogLine(o.log);
  relay_.Drain();  // the closes and notices it asked for
  if (o.share && share) share(o.shared);
  if (!o.bans_changed || options_.ban_file.empty()) return Answer(done, std::move(o));
  worker_.Run([this, text = op_.bans().Text(), o = std::move(o), done]() mutable {
    std::string error;
    if (!ReplaceFile(options_.ban_file, text, &error)) {
      LogLine("bans: " + error + "; they hold until the server stops");
      o.status = 500;
      o.json =
          "{\"ok\":false,\"error\":" + JsonString("done, but the ban list could not be kept: " + error) + "}";
    }
    Answer(done, std::move(o));
  });
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
