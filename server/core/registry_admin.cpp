// The registry's side of the operator's controls: sessions closed on the operator's word, and
// the accounts replaced while the server runs.
#include "core/registry.h"

namespace skytether {

std::vector<std::string> Registry::Kick(int id, std::string_view user, std::string_view why,
                                        std::string_view notice, double now) {
  return KickIf([&](const Client &c) { return id >= 0 ? c.id == id : c.account == user; }, why, notice, now);
}

std::vector<std::string> Registry::KickIf(const std::function<bool(const Client &)> &match, std::string_view why,
                                          std::string_view notice, double now) {
  now_ = now;
  std::vector<Client *> found;
  for (const auto &entry : clients_) {
    Client &c = *entry.second;
    if (!c.logged_in && !c.claiming) continue;
    if (match(c)) found.push_back(&c);
  }
  std::vector<std::string> names;
  for (Client *c : found) {
    names.push_back(Name(*c));
    if (!notice.empty()) Send(*c, ChatNotice(SanitizeText(notice, kMaxChat)));
    outputs_.push_back(Output{Output::Kind::kClose, c->conn, std::string()});
    // Its slots on every recipient are blanked here, and on the other nodes by its leaving.
    Remove(*c, why);
  }
  return names;
}

std::vector<std::string> Registry::ReplaceAccounts(const Accounts *accounts, double now) {
  now_ = now;
  accounts_ = accounts;
  std::vector<std::string> names;
  if (accounts == nullptr) return names;
  std::vector<Client *> gone;
  for (const auto &entry : clients_) {
    Client &c = *entry.second;
    if ((c.logged_in || c.claiming) && !accounts->Has(c.account)) gone.push_back(&c);
  }
  for (Client *c : gone) {
    names.push_back(Name(*c));
    Send(*c, ChatNotice("Server: your account was removed"));
    outputs_.push_back(Output{Output::Kind::kClose, c->conn, std::string()});
    Remove(*c, "account removed");
  }
  return names;
}

std::string Registry::AccountOf(int id) const {
  auto it = by_id_.find(id);
  return it == by_id_.end() ? std::string() : it->second->account;
}

}  // namespace skytether
