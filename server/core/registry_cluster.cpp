// The registry's side of a cluster: logins that wait for the cluster's word on their uniqueID,
// and the other nodes' pilots, which take slots here as pilots without a connection.
#include "core/registry.h"

namespace skytether {

void Registry::ClaimResult(ConnId conn, int id, bool granted, double now) {
  now_ = now;
  Client *c = FindConn(conn);
  if (c == nullptr || !c->claiming || c->id != id) {
    // The connection went meanwhile: a key taken for it goes back.
    if (granted && FindPilot(id) == nullptr && claiming_.count(id) == 0) {
      ClusterEvent e;
      e.kind = ClusterEvent::Kind::kRelease;
      e.id = id;
      cluster_events_.push_back(std::move(e));
    }
    return;
  }
  c->claiming = false;
  claiming_.erase(id);
  if (!granted) return Refuse(*c, id, c->user, "uniqueID in use on another node");
  // The uniqueID is ours now: what another node said of it is out of date.
  auto stale = remote_.find(id);
  if (stale != remote_.end()) RemoveRemote(stale->second->node, id, "its uniqueID logged in here");
  CompleteLogin(*c, now);
  std::vector<std::string> lines;
  lines.swap(c->claim_lines);
  for (const std::string &line : lines) {
    if (FindConn(conn) == nullptr) break;  // a logout among them
    OnLine(conn, line, now);
  }
}

void Registry::Evict(int id, std::string_view why) {
  auto it = by_id_.find(id);
  if (it == by_id_.end()) return;
  Client &c = *it->second;
  outputs_.push_back(Output{Output::Kind::kClose, c.conn, std::string()});
  Remove(c, why);
}

void Registry::RemoteChat(std::string_view text) {
  if (!chat_queue_.Push(std::string(text), false)) CountDrop(Drop::kChatBudget);
}

bool Registry::UpdateRemote(std::string_view node, const PilotState &ps) {
  // A uniqueID logged in here stays ours; the key in Redis decides between two nodes.
  if (by_id_.count(ps.id) != 0 || claiming_.count(ps.id) != 0) return false;
  std::unique_ptr<Client> &slot = remote_[ps.id];
  if (!slot) {
    slot = std::make_unique<Client>();
    slot->remote = true;
    slot->logged_in = true;
    slot->id = ps.id;
  }
  Client &p = *slot;
  if (p.node != node) {
    if (!p.node.empty()) ForgetNodePilot(p.node, p.id);
    p.node = std::string(node);
    p.user = "node " + p.node;
    node_pilots_[p.node].insert(p.id);
  }
  PlaceAt(p, ps.lat, ps.lon);
  p.reported = now_;
  // Its node applied the announcement allowance already.
  if (ps.callsign != p.callsign) {
    p.callsign = ps.callsign;
    SendAnnouncement(p, false);
  }
  if (ps.model != p.model) {
    p.model = ps.model;
    SendAnnouncement(p, true);
  }
  if (ps.observer && !p.observer) {
    p.observer = true;
    Hide(p, "became an observer");
  }
  const bool in_view = ps.in_view && !p.observer;
  if (in_view && !p.in_view) Show(p);
  if (!in_view && p.in_view) Hide(p, "out of view on its node");
  return true;
}

void Registry::RemoveRemote(std::string_view node, int id, std::string_view why) {
  auto it = remote_.find(id);
  if (it == remote_.end() || it->second->node != node) return;
  Hide(*it->second, why);  // frees every slot it held
  ForgetNodePilot(it->second->node, id);
  remote_.erase(it);
}

void Registry::ForgetNodePilot(const std::string &node, int id) {
  auto it = node_pilots_.find(node);
  if (it == node_pilots_.end()) return;
  it->second.erase(id);
  if (it->second.empty()) node_pilots_.erase(it);
}

void Registry::RemoveNode(std::string_view node, std::string_view why) {
  // In proportion to that node's pilots: a node that goes costs nothing for the others'.
  auto it = node_pilots_.find(std::string(node));
  if (it == node_pilots_.end()) return;
  const std::vector<int> ids(it->second.begin(), it->second.end());
  for (int id : ids) RemoveRemote(node, id, why);
}

bool Registry::OnRemoteDatagram(int id, std::string_view datagram, double arrived, std::vector<Relay> *relays,
                                std::string_view *values, int steps) {
  auto it = remote_.find(id);
  if (it == remote_.end()) return false;  // not announced (yet, or any more)
  Position pos;
  if (!ParsePosition(datagram, &pos) || pos.id != id || pos.observer) {
    CountDrop(Drop::kBadDatagram);
    return false;
  }
  Client &p = *it->second;
  PlaceAt(p, pos.latitude, pos.longitude);
  p.elevation.assign(pos.elevation);
  p.heading.assign(pos.heading);
  p.reported = now_;
  if (!p.in_view) return false;
  *values = pos.values;
  return RelayTo(p, pos, arrived, relays, steps);
}

std::vector<PilotState> Registry::LocalPilots() const {
  std::vector<PilotState> all;
  all.reserve(by_id_.size());
  for (const auto &entry : by_id_) all.push_back(StateOf(*entry.second));
  return all;
}

}  // namespace skytether
