#include "core/registry.h"

#include <algorithm>
#include <limits>
#include <cmath>

namespace skytether {

Registry::Registry(RegistryOptions options, const Accounts *accounts)
    : options_(options),
      accounts_(accounts),
      chat_queue_(options.chat_queue, options.chat_per_second),
      events_(20, options.drop_log_interval),
      drop_summary_(kDropKinds, options.drop_log_interval),
      pacer_(options.relay_rates) {}

Registry::~Registry() = default;

Client *Registry::FindConn(ConnId conn) const {
  auto it = clients_.find(conn);
  return it == clients_.end() ? nullptr : it->second.get();
}

Client *Registry::FindPilot(int id) const {
  auto it = by_id_.find(id);
  if (it != by_id_.end()) return it->second;
  auto r = remote_.find(id);
  return r == remote_.end() ? nullptr : r->second.get();
}

void Registry::Emit(ClusterEvent::Kind kind, const Client &c) {
  if (!options_.cluster) return;
  ClusterEvent e;
  e.kind = kind;
  e.id = c.id;
  e.conn = c.conn;
  if (kind == ClusterEvent::Kind::kChanged) e.state = StateOf(c);
  cluster_events_.push_back(std::move(e));
}

void Registry::Note(Event kind, std::string line) {
  events_.Note(kind, now_, std::move(line), &logs_);
}

std::string Registry::Name(const Client &c) const {
  std::string s = std::to_string(c.id);
  s += " (";
  s += c.user;
  if (!c.callsign.empty()) {
    s += "/";
    s += c.callsign;
  }
  s += ")";
  return s;
}

void Registry::Send(const Client &to, std::string text) {
  outputs_.push_back(Output{Output::Kind::kSend, to.conn, std::move(text)});
}

void Registry::Connect(ConnId conn, const IpAddr &peer, double now) {
  now_ = now;
  // Connections that do not log in hold descriptors: past the caps the oldest make room, so
  // neither one address nor many can keep an honest login out.
  auto known = addresses_.find(peer);
  if (known != addresses_.end() && !known->second.pending.empty() &&
      static_cast<int>(known->second.pending.size()) >= options_.pending_per_address) {
    ClosePending(known->second.pending.begin()->second,
                 "over " + std::to_string(options_.pending_per_address) + " pending from " + peer.ToString());
  }
  if (static_cast<int>(pending_.size()) >= options_.pending_total && !pending_.empty()) {
    ClosePending(pending_.begin()->second,
                 "over " + std::to_string(options_.pending_total) + " pending in all");
  }
  // Only now: closing the last connection of an address forgets the address.
  Address &a = addresses_[peer];
  auto c = std::make_unique<Client>();
  c->conn = conn;
  c->peer = peer;
  c->connected_at = now;
  clients_[conn] = std::move(c);
  ++a.clients;
  a.pending.insert(Age{now, conn});
  pending_.insert(Age{now, conn});
}

void Registry::ClosePending(ConnId conn, std::string_view why) {
  Client *c = FindConn(conn);
  if (c == nullptr) return;
  Note(Event::kPendingCut, "connection " + std::to_string(conn) + " from " + c->peer.ToString() +
                               " closed before login: " + std::string(why));
  outputs_.push_back(Output{Output::Kind::kClose, conn, std::string()});
  Erase(*c);
}

void Registry::Disconnect(ConnId conn, double now, std::string_view reason) {
  now_ = now;
  Client *c = FindConn(conn);
  if (c == nullptr) return;
  Remove(*c, reason);
}

void Registry::Erase(Client &c) {
  if (c.claiming) claiming_.erase(c.id);
  auto it = addresses_.find(c.peer);
  if (it != addresses_.end()) {
    it->second.pending.erase(Age{c.connected_at, c.conn});
    if (--it->second.clients <= 0) addresses_.erase(it);
  }
  pending_.erase(Age{c.connected_at, c.conn});
  clients_.erase(c.conn);  // c is gone from here on
}

void Registry::Remove(Client &c, std::string_view why) {
  if (c.logged_in) {
    Note(Event::kLogout, "logout " + Name(c) + ": " + std::string(why));
    Hide(c, "left");
    // Its own table goes with it: nobody to announce the frees to.
    for (int s = 1; s < kSlots; ++s) {
      if (c.slots[s] != nullptr) Free(c, s, false, "recipient left");
    }
    by_id_.erase(c.id);
    Emit(ClusterEvent::Kind::kGone, c);
    Emit(ClusterEvent::Kind::kRelease, c);
  }
  Erase(c);
}

void Registry::OnLine(ConnId conn, std::string_view line, double now) {
  now_ = now;
  Client *cp = FindConn(conn);
  if (cp == nullptr) return;
  Client &c = *cp;
  if (c.logged_in) c.last_line = now;
  if (line.empty()) return;  // blank lines (a CR LF run) carry nothing
  ClientLine m = ParseClientLine(line);
  if (m.kind == LineKind::kMalformed) return CountDrop(Drop::kMalformed);
  if (c.claiming) {
    // The cluster answers within a few milliseconds; a plugin sends a line or two meanwhile.
    if (c.claim_lines.size() >= 16) return CountDrop(Drop::kBeforeLogin);
    c.claim_lines.emplace_back(line);
    return;
  }
  if (!c.logged_in) {
    if (m.kind == LineKind::kLogin) return Login(c, m, now);
    return CountDrop(Drop::kBeforeLogin);
  }
  if (m.id != c.id) return CountDrop(Drop::kWrongId);
  switch (m.kind) {
    case LineKind::kLogin: return CountDrop(Drop::kRepeatLogin);
    case LineKind::kLogout:
      outputs_.push_back(Output{Output::Kind::kClose, c.conn, std::string()});
      return Remove(c, "logged out");
    case LineKind::kModel: return SetModel(c, m.text);
    case LineKind::kCallsign: return SetCallsign(c, m.text, false);
    case LineKind::kVoCallsign: return SetCallsign(c, m.text, true);
    case LineKind::kChat: return Chat(c, m.text, now);
    case LineKind::kUnknown: return CountDrop(Drop::kUnknownKeyword);
    case LineKind::kMalformed: break;
  }
}

void Registry::Refuse(Client &c, int id, std::string_view user, std::string_view why) {
  Note(Event::kRefusedLogin, "refused login " + std::to_string(id) + " (" + SanitizeText(user, kMaxCallsign) +
                                 ") from " + c.peer.ToString() + ": " + std::string(why));
  outputs_.push_back(Output{Output::Kind::kClose, c.conn, std::string()});
  Erase(c);
}

void Registry::Login(Client &c, const ClientLine &m, double now) {
  if (accounts_ != nullptr && !accounts_->Check(m.id, m.user, m.token)) {
    return Refuse(c, m.id, m.user, "wrong user or token");
  }
  if (policy_ != nullptr) {
    const std::string why = policy_->LoginRefusal(m.user, c.peer, m.id);
    if (!why.empty()) {
      // The plugin shows it in its chat window, if it reads before the close.
      Send(c, ChatNotice(SanitizeText("Server: " + why, kMaxChat)));
      return Refuse(c, m.id, m.user, why);
    }
  }
  auto in_use = by_id_.find(m.id);
  if (in_use != by_id_.end()) {
    // A plugin keeps its uniqueID for the host's life: after its link died without a word it
    // comes back with the same one, and must not wait for the dead session to time out.
    Client &old = *in_use->second;
    if (!old.Silent(now, options_.idle_timeout)) return Refuse(c, m.id, m.user, "uniqueID already in use");
    Note(Event::kReplacedSession,
         "session of " + Name(old) + " from " + old.peer.ToString() + " replaced by a login from " +
             c.peer.ToString() + ": silent for " +
             std::to_string(static_cast<int>(now - std::max(old.last_line, old.last_heard))) + " s");
    outputs_.push_back(Output{Output::Kind::kClose, old.conn, std::string()});
    Remove(old, "replaced by a new login");
  }
  if (remote_.count(m.id) != 0) return Refuse(c, m.id, m.user, "uniqueID in use on another node");
  if (claiming_.count(m.id) != 0) return Refuse(c, m.id, m.user, "uniqueID already in use");
  if (static_cast<int>(by_id_.size() + claiming_.size()) >= options_.max_pilots) {
    return Refuse(c, m.id, m.user, "server full");
  }
  c.id = m.id;
  c.user = SanitizeText(m.user, kMaxCallsign);
  c.account = std::string(m.user);
  // A connection that logged in holds no place among those that have not (and their caps).
  pending_.erase(Age{c.connected_at, c.conn});
  addresses_[c.peer].pending.erase(Age{c.connected_at, c.conn});
  if (options_.cluster) {
    // The uniqueID must be free on every node: the node asks Redis, the login waits.
    c.claiming = true;
    claiming_[c.id] = c.conn;
    return Emit(ClusterEvent::Kind::kClaim, c);
  }
  CompleteLogin(c, now);
}

void Registry::CompleteLogin(Client &c, double now) {
  c.logged_in = true;
  c.last_line = now;
  c.announcements = FloodGate(options_.announce_burst, 1.0 / options_.announce_interval);
  c.positions = FloodGate(options_.position_burst, options_.position_rate);
  c.next_eval = now + options_.eval_interval;
  c.fills_left = options_.fills_per_tick;
  by_id_[c.id] = &c;
  Note(Event::kLogin, "login " + Name(c) + " from " + c.peer.ToString());
  Emit(ClusterEvent::Kind::kChanged, c);
  // A newcomer sees whoever is already flying, up to its 19 slots.
  Evaluate(c, false);
}

void Registry::SetCallsign(Client &c, std::string_view raw, bool observer_keyword) {
  if (observer_keyword && !c.observer) MakeObserver(c);
  std::string cs = SanitizeText(raw, kMaxCallsign);
  // "BLANK" tells the plugin the slot has no name: a pilot who calls itself that keeps a name.
  if (cs == "BLANK") cs += ' ';
  Announce(c, false, std::move(cs));
}

void Registry::SetModel(Client &c, std::string_view raw) {
  std::string path = RelativeModelPath(raw);
  if (path.empty()) return CountDrop(Drop::kModelPath);
  Announce(c, true, std::move(path));
}

void Registry::Announce(Client &c, bool model, std::string value) {
  std::string &current = model ? c.model : c.callsign;
  bool &held = model ? c.model_held : c.callsign_held;
  // Re-announced every 10 s: only changes travel, and a change back to what the recipients
  // already show cancels the one held.
  held = false;
  if (value == current) return;
  // Each model notice makes every recipient's host load an aircraft: churn is held back, and
  // the latest value goes out when the allowance returns.
  if (!c.announcements.Take(now_)) {
    (model ? c.held_model : c.held_callsign) = std::move(value);
    held = true;
    Note(Event::kHeldAnnouncement,
         std::string(model ? "model" : "callsign") + " change of " + Name(c) + " held back");
    return;
  }
  current = std::move(value);
  SendAnnouncement(c, model);
}

void Registry::SendAnnouncement(Client &c, bool model) {
  for (const Viewer &v : c.viewers) {
    Send(*v.recipient, model ? ModelNotice(v.slot, c.model) : CallsignNotice(v.slot, c.callsign));
  }
  if (!c.remote) Emit(ClusterEvent::Kind::kChanged, c);
}

void Registry::ReleaseHeld(Client &c) {
  if (c.callsign_held && c.announcements.Take(now_)) {
    c.callsign_held = false;
    c.callsign = std::move(c.held_callsign);
    SendAnnouncement(c, false);
  }
  if (c.model_held && c.announcements.Take(now_)) {
    c.model_held = false;
    c.model = std::move(c.held_model);
    SendAnnouncement(c, true);
  }
}

void Registry::Chat(Client &c, std::string_view raw, double now) {
  if (policy_ != nullptr && policy_->Muted(c.account, c.peer, c.id)) return CountDrop(Drop::kMuted);
  if (!c.chat.Take(options_.chat_lines, options_.chat_window, now)) return CountDrop(Drop::kChatFlood);
  Address &a = addresses_[c.peer];
  if (!a.chat.Take(options_.chat_lines_per_address, options_.chat_window, now)) {
    return CountDrop(Drop::kChatFlood);
  }
  std::string text = c.callsign.empty() ? c.user : c.callsign;
  text += ": ";
  text += SanitizeText(raw, kMaxChat);
  if (!chat_queue_.Push(std::move(text), true)) CountDrop(Drop::kChatBudget);
}

void Registry::DeliverChat(double now) {
  // Every line goes to every client: the lines of one tick go out together, one write per
  // recipient, and no more of them than the budget allows, so chat never crowds out the relay.
  std::string batch;
  for (QueuedChat q; chat_queue_.Next(now, &q);) {
    batch += ChatNotice(q.text);
    ++chat_lines_;
    if (q.local && options_.cluster) {
      ClusterEvent e;
      e.kind = ClusterEvent::Kind::kChat;
      e.text = std::move(q.text);
      cluster_events_.push_back(std::move(e));
    }
  }
  if (batch.empty()) return;
  for (const auto &entry : by_id_) Send(*entry.second, batch);
}

void Registry::MakeObserver(Client &c) {
  c.observer = true;
  Note(Event::kInView, "observer " + Name(c));
  if (c.in_view) Hide(c, "became an observer");
  Emit(ClusterEvent::Kind::kChanged, c);
}

bool Registry::OnDatagram(std::string_view datagram, const Endpoint &from, double now,
                          std::vector<Relay> *relays, std::string_view *values, int *shared) {
  now_ = now;
  if (shared != nullptr) *shared = -1;
  Position pos;
  if (!ParsePosition(datagram, &pos)) {
    CountDrop(Drop::kBadDatagram);
    return false;
  }
  auto it = by_id_.find(pos.id);
  if (it == by_id_.end() || it->second->peer != from.ip) {
    CountDrop(Drop::kStranger);
    return false;
  }
  Client &c = *it->second;
  // Only the pilot's own stream makes it an observer (VOCALLSIGN): a datagram is easily forged.
  if (pos.observer && !c.observer) {
    CountDrop(Drop::kViewOnlyDatagram);
    return false;
  }
  if (!c.has_udp) {
    c.udp = from;
    c.has_udp = true;
    Note(Event::kDatagramAddress,
         "datagram address of " + Name(c) + " is " + from.ToString());
  } else if (c.udp != from) {
    // A NAT may move the pilot to another port; anyone else on its address may send from one too.
    // The port moves only once the old one has gone quiet and the new one keeps talking.
    if (c.udp_candidate != from) {
      c.udp_candidate = from;
      c.candidate_datagrams = 0;
    }
    if (++c.candidate_datagrams < options_.port_move_datagrams || now - c.last_heard < options_.port_quiet) {
      CountDrop(Drop::kOtherPort);
      return false;
    }
    Note(Event::kDatagramAddress, "datagram address of " + Name(c) + " moved from port " +
                                      std::to_string(c.udp.port) + " to " + from.ToString());
    c.udp = from;
  }
  c.candidate_datagrams = 0;
  c.last_heard = now;
  if (c.observer) {
    PlaceAt(c, pos.latitude, pos.longitude);
    return false;
  }
  // One pilot's flood must not crowd out the reports of those near it, here or on other nodes:
  // past its rate the newest position waits for the next turn, an older one waiting is dropped.
  if (!c.positions.Take(now)) {
    if (c.position_held) CountDrop(Drop::kPositionRate);
    if (!c.held_listed) held_.push_back(c.id);
    c.held_listed = c.position_held = true;
    c.held_position.assign(datagram);
    c.held_at = now;
    if (now - c.rate_noted >= 10) {
      c.rate_noted = now;
      Note(Event::kPositionRate, "positions of " + Name(c) + " over " +
                                     std::to_string(static_cast<int>(options_.position_rate)) +
                                     " a second: the newest goes out at the rate, the rest are dropped");
    }
    return false;
  }
  if (c.position_held) {
    c.position_held = false;  // this one is newer
    CountDrop(Drop::kPositionRate);
  }
  return TakePosition(c, pos, relays, values, shared);
}

bool Registry::TakePosition(Client &c, const Position &pos, std::vector<Relay> *relays,
                            std::string_view *values, int *shared) {
  PlaceAt(c, pos.latitude, pos.longitude);
  c.elevation.assign(pos.elevation);
  c.heading.assign(pos.heading);
  ++positions_in_;
  if (!c.in_view) Show(c);
  if (shared != nullptr) *shared = c.id;
  *values = pos.values;
  return RelayTo(c, pos, now_, relays);
}

bool Registry::ReleaseHeld(double now, std::string *datagram, double *waited, std::vector<Relay> *relays,
                           std::string_view *values, int *shared) {
  now_ = now;
  if (shared != nullptr) *shared = -1;
  // Oldest first; a pilot whose turn has not come yet goes to the back.
  for (std::size_t n = held_.size(); n > 0; --n) {
    const int id = held_.front();
    held_.erase(held_.begin());
    auto it = by_id_.find(id);
    if (it == by_id_.end()) continue;
    Client &c = *it->second;
    if (c.position_held && !c.positions.Take(now)) {
      held_.push_back(id);
      continue;
    }
    c.held_listed = false;
    if (!c.position_held) continue;
    c.position_held = false;
    datagram->assign(c.held_position);
    *waited = now - c.held_at;
    Position pos;
    if (!ParsePosition(*datagram, &pos) || c.observer) continue;  // it passed before; an observer since
    TakePosition(c, pos, relays, values, shared);
    return true;
  }
  return false;
}

bool Registry::RelayTo(Client &p, const Position &pos, double t, std::vector<Relay> *relays, int given_steps) {
  // Each holder's line is read below: asked for all at once, they come from memory side by side
  // rather than one after the other.
  for (const Viewer &v : p.viewers) __builtin_prefetch(v.recipient);
  bool any = false;
  const bool changes = pacer_.on() && pacer_.changes();
  // The change rule's word for each step, asked once per report and only for steps with holders.
  enum : signed char { kUnasked, kStays, kGoes };
  std::array<signed char, 16> word{};
  if (changes && given_steps >= 0) {
    // Weighed by the sender's node, which saw every report.
    for (std::size_t k = 0; k < 8; ++k) word[k] = (given_steps >> k) & 1 ? kGoes : kStays;
  } else if (changes) {
    ReadMotion(p, pos, t);
    if (p.tracks.size() != static_cast<std::size_t>(pacer_.steps())) p.tracks.assign(pacer_.steps(), ChangeTrack{});
    if (options_.cluster && !p.remote) {
      // The other nodes' recipients may be at any step: each is weighed, and the word goes with
      // the position to them.
      for (int k = 0; k < pacer_.steps() && k < 8; ++k)
        word[k] = pacer_.Changed(&p.tracks[k], k, p.motion, t) ? kGoes : kStays;
    }
  }
  for (Viewer &v : p.viewers) {
    const Client &r = *v.recipient;
    if (!r.has_udp) continue;
    if (pacer_.on()) {
      const double chord2 = p.has_pos && r.has_pos ? p.place.Chord2(r.place) : -1;
      const int step = std::min<int>(pacer_.StepOf(chord2), static_cast<int>(word.size()) - 1);
      bool pass;
      if (changes) {
        if (word[step] == kUnasked) word[step] = pacer_.Changed(&p.tracks[step], step, p.motion, t) ? kGoes : kStays;
        pass = pacer_.Pass(&v.pace, step, word[step] == kGoes, t);
      } else {
        pass = pacer_.Take(&v.pace, step, t);
      }
      if (!pass) {
        ++reports_held_;
        continue;
      }
    }
    relays->push_back(Relay{r.udp, v.slot});
    any = true;
  }
  if (!p.remote) {
    steps_word_ = changes ? 0 : kEveryStep;
    for (std::size_t k = 0; changes && k < 8; ++k) steps_word_ |= word[k] == kGoes ? 1 << k : 0;
  }
  return any;
}

void Registry::ReadMotion(Client &p, const Position &pos, double t) {
  Motion &m = p.motion;
  bool moved = m.lat != pos.latitude || m.lon != pos.longitude;
  m.lat = pos.latitude;
  m.lon = pos.longitude;
  double *fields[4] = {&m.elevation, &m.theta, &m.phi, &m.psi};
  for (int i = 0; i < 4; ++i) {
    moved = moved || *fields[i] != pos.motion_values[i + 2];
    *fields[i] = pos.motion_values[i + 2];
  }
  // A float's text has at most 9 significant digits; a sender that ever writes more writes doubles.
  m.fine = m.fine || pos.degree_digits[0] > 9 || pos.degree_digits[1] > 9;
  m.quantum = m.fine ? 0 : FloatDegreeStep(m.lat, m.lon);
  // The sender's own clock, as the plugin places reports in time: its microseconds, the whole
  // seconds taken from the arrivals. Without them, the arrivals alone; and a report whose
  // microseconds are those of the one before (a sender that writes a time that never moves, or
  // the same report again) is placed by its arrival too: a clock that stands would hold every
  // later report as no newer than the last one relayed.
  const double micros = pos.micros_value;
  const bool timed = micros >= 0 && micros < 1e6 && micros == std::floor(micros);
  if (timed && p.timed && static_cast<long>(micros) == p.micros) {
    m.sent += std::max(t - p.arrival, 0.0);
    m.held = m.held || moved;  // as the plugin, which then shows the sender's reports as they come
  } else if (timed && p.timed) {
    const double micro = (micros - static_cast<double>(p.micros)) * 1e-6;
    m.sent += micro + std::round((t - p.arrival) - micro);
  } else {
    m.sent = timed ? t : m.sent + std::max(t - p.arrival, 0.0);
    if (timed != p.timed) p.tracks.clear();  // another clock: what was sent is not comparable
  }
  m.held = m.held || !timed;
  p.timed = timed;
  p.micros = timed ? static_cast<long>(micros) : 0;
  p.arrival = t;
  // Controls change seldom: they are read only when their text does.
  if (pos.controls != p.controls_text) {
    p.controls_text.assign(pos.controls);
    std::string_view rest = pos.controls;
    for (float &c : m.controls) {
      const std::size_t bar = rest.find('|');
      double v = 0;
      ReadDecimal(rest.substr(0, bar), &v);
      c = static_cast<float>(v);
      rest.remove_prefix(bar == std::string_view::npos ? rest.size() : bar + 1);
    }
    ++m.controls_version;
  }
}

void Registry::Show(Client &p) {
  p.in_view = true;
  p.visible_index = visible_.size();
  visible_.push_back(&p);
  visible_places_.push_back(p.place);
  Note(Event::kInView, "in view " + Name(p));
  if (!p.remote) Emit(ClusterEvent::Kind::kChanged, p);
  // Free slots are handed out at once, up to a few per tick (past those, nearest first at the next
  // ticks); full tables wait for their next evaluation.
  for (auto &entry : by_id_) {
    Client &r = *entry.second;
    if (&r == &p || r.FreeSlots() == 0) continue;
    if (r.fills_left > 0) {
      --r.fills_left;
      Give(r, p);
    } else {
      r.needs_fill = true;
    }
  }
}

void Registry::Hide(Client &p, std::string_view why) {
  if (!p.in_view) return;
  p.in_view = false;
  Client *last = visible_.back();
  visible_[p.visible_index] = last;
  visible_places_[p.visible_index] = visible_places_.back();
  last->visible_index = p.visible_index;
  visible_.pop_back();
  visible_places_.pop_back();
  const std::vector<Viewer> viewers = p.viewers;
  for (const Viewer &v : viewers) {
    Free(*v.recipient, v.slot, true, why);
    v.recipient->needs_fill = true;
  }
  if (!p.remote && p.logged_in) Emit(ClusterEvent::Kind::kChanged, p);
}

void Registry::Give(Client &r, Client &p) {
  int slot = 0;
  for (int s = 1; s < kSlots; ++s) {
    if (r.slots[s] == nullptr) {
      slot = s;
      break;
    }
  }
  if (slot == 0) return;
  r.slots[slot] = &p;
  p.viewers.push_back(Viewer{&r, slot, PairPace{}});
  if (p.remote && p.viewers.size() == 1) Emit(ClusterEvent::Kind::kWatch, p);
  // Name and model first, so the recipient knows the aircraft before it moves.
  if (!p.callsign.empty()) Send(r, CallsignNotice(slot, p.callsign));
  if (!p.model.empty()) Send(r, ModelNotice(slot, p.model));
  Note(Event::kSlot, "slot " + std::to_string(slot) + " on " + std::to_string(r.id) + " given to " + Name(p));
}

void Registry::Free(Client &r, int slot, bool announce, std::string_view why) {
  Client *p = r.slots[slot];
  if (p == nullptr) return;
  r.slots[slot] = nullptr;
  auto &vs = p->viewers;
  for (std::size_t i = 0; i < vs.size(); ++i) {
    if (vs[i].recipient == &r) {
      vs[i] = vs.back();
      vs.pop_back();
      break;
    }
  }
  if (p->remote && vs.empty()) Emit(ClusterEvent::Kind::kUnwatch, *p);
  if (announce) {
    Send(r, CallsignNotice(slot, std::string_view()));
    Send(r, ModelNotice(slot, std::string_view()));
    Note(Event::kSlot, "slot " + std::to_string(slot) + " on " + std::to_string(r.id) + " freed from " +
                           std::to_string(p->id) + ": " + std::string(why));
  }
}

void Registry::Evaluate(Client &r, bool allow_swap) {
  r.needs_fill = false;
  const std::uint64_t epoch = ++eval_epoch_;
  for (int s = 1; s < kSlots; ++s) {
    if (r.slots[s] != nullptr) r.slots[s]->eval_mark = epoch;
  }
  auto key_of = [&r](const Client &p) {
    if (!r.has_pos) return 0.0;  // nowhere yet: first come, first seen
    return p.place.Chord2(r.place);
  };
  if (r.FreeSlots() == 0 && !options_.sort_every_evaluation) {
    // A full table changes only by a swap, and the first swap needs an outsider nearer than the
    // farthest holder by the margin. This runs for every recipient once a second: the farthest
    // holder comes from the table, and in a crowd, where the margin is more than the farthest
    // holder's distance, nothing else is looked at; otherwise one pass over the places of the
    // pilots in view (kept side by side) looks for such an outsider, without lists or sorting.
    if (!allow_swap || !r.has_pos) return;
    double farthest = 0;
    for (int s = 1; s < kSlots; ++s) farthest = std::max(farthest, key_of(*r.slots[s]));
    const double far = ChordToMeters(farthest);
    const double within = far - std::max(far * options_.margin_fraction, options_.margin_meters);
    if (!(within > 0)) return;
    // Every place nearer than `within` and a little more (the conversions round), then the exact test.
    const double bound = MetersToChord2(within) * (1 + 1e-9) + 1e-18;
    const UnitVector at = r.place;
    bool swap = false;
    for (std::size_t i = 0; i < visible_places_.size() && !swap; ++i) {
      if (visible_places_[i].Chord2(at) >= bound) continue;
      const Client *p = visible_[i];
      swap = p != &r && p->eval_mark != epoch && ChordToMeters(key_of(*p)) < within;
    }
    if (!swap) return;
    // A swap is due: the full evaluation below makes it.
  }
  auto &holders = scratch_holders_;
  auto &outsiders = scratch_outsiders_;
  holders.clear();
  outsiders.clear();
  for (Client *p : visible_) {
    if (p == &r) continue;
    if (p->eval_mark == epoch) holders.push_back(Candidate{p, key_of(*p)});
    else outsiders.push_back(Candidate{p, key_of(*p)});
  }
  if (outsiders.empty()) return;
  auto nearer = [](const Candidate &a, const Candidate &b) { return a.key < b.key; };

  // Fill free slots with the nearest outsiders, as many as the tick allows; the rest at the next.
  int free_slots = r.FreeSlots();
  std::size_t take = std::min<std::size_t>(free_slots, outsiders.size());
  if (take > static_cast<std::size_t>(std::max(r.fills_left, 0))) {
    take = static_cast<std::size_t>(std::max(r.fills_left, 0));
    r.needs_fill = true;
  }
  r.fills_left -= static_cast<int>(take);
  std::size_t sorted = std::min<std::size_t>(outsiders.size(), kSlots - 1);
  std::partial_sort(outsiders.begin(), outsiders.begin() + sorted, outsiders.end(), nearer);
  for (std::size_t i = 0; i < take; ++i) {
    Give(r, *outsiders[i].pilot);
    holders.push_back(outsiders[i]);
  }
  if (!allow_swap || !r.has_pos || take >= outsiders.size() || r.FreeSlots() > 0) return;

  // Swap only on a clear gain, so two pilots near the boundary do not take turns.
  std::sort(holders.begin(), holders.end(), [](const Candidate &a, const Candidate &b) { return a.key > b.key; });
  std::size_t h = 0;
  for (std::size_t o = take; o < sorted && h < holders.size(); ++o, ++h) {
    double far = ChordToMeters(holders[h].key);
    double near = ChordToMeters(outsiders[o].key);
    double margin = std::max(far * options_.margin_fraction, options_.margin_meters);
    if (!(near < far - margin)) break;
    int slot = r.SlotFor(holders[h].pilot);
    Free(r, slot, true, "no longer among the nearest");
    Give(r, *outsiders[o].pilot);
  }
}

void Registry::Tick(double now) {
  BeginTick(now);
  while (ContinueTick(std::numeric_limits<std::size_t>::max())) {
  }
}

void Registry::BeginTick(double now) {
  // One left unfinished is finished first, so no recipient misses its turn.
  while (ContinueTick(std::numeric_limits<std::size_t>::max())) {
  }
  now_ = now;
  for (std::size_t i = 0; i < visible_.size();) {
    Client *p = visible_[i];
    // A remote pilot's idle time is its own node's to judge.
    if (!p->remote && now - p->last_heard > options_.idle_timeout) {
      Note(Event::kInView, "idle " + Name(*p));
      Hide(*p, "idle");  // swaps the last entry into i
    } else {
      ++i;
    }
  }
  // Connections that never log in would hold a socket for ever.
  while (!pending_.empty() && now - pending_.begin()->first > options_.login_timeout) {
    ClosePending(pending_.begin()->second, "no login");
  }
  DeliverChat(now);
  // Every recipient is evaluated once per interval, but no more of them in one tick than their share
  // of the interval since the last tick (and a half more): those that logged in together are spread
  // over the ticks instead of all evaluated in one, which holds up the positions arriving meanwhile.
  // The rest are evaluated at the next tick, and from then on in their own turn.
  const double since = std::clamp(now - last_tick_, 0.0, options_.eval_interval);
  last_tick_ = now;
  tick_due_left_ = std::max<std::size_t>(
      64, static_cast<std::size_t>(std::ceil(1.5 * static_cast<double>(by_id_.size()) * since / options_.eval_interval)));
  tick_now_ = now;
  tick_ids_.clear();
  for (const auto &entry : by_id_) tick_ids_.push_back(entry.first);
  tick_next_ = 0;
}

bool Registry::ContinueTick(std::size_t evaluations) {
  if (tick_ids_.empty()) return false;
  const double now = tick_now_;
  while (tick_next_ < tick_ids_.size() && evaluations > 0) {
    // Between pieces pilots may have left (or logged out and in again: a fresh turn is harmless).
    auto it = by_id_.find(tick_ids_[tick_next_++]);
    if (it == by_id_.end()) continue;
    Client &r = *it->second;
    r.fills_left = options_.fills_per_tick;
    if (r.callsign_held || r.model_held) ReleaseHeld(r);
    bool due = now >= r.next_eval && tick_due_left_ > 0;
    if (due) {
      --tick_due_left_;
      --evaluations;
      r.next_eval = now + options_.eval_interval;
      Evaluate(r, true);
    } else if (r.needs_fill) {
      --evaluations;
      Evaluate(r, false);
    }
  }
  if (tick_next_ < tick_ids_.size()) return true;
  tick_ids_.clear();
  drop_summary_.Flush(
      now, drops_.data(), [](std::size_t k) { return DropName(static_cast<Drop>(k)); }, &logs_);
  events_.Flush(now, &logs_);
  return false;
}

void Registry::PlaceAt(Client &c, double lat, double lon) {
  if (c.has_pos && c.lat == lat && c.lon == lon) return;
  c.has_pos = true;
  c.lat = lat;
  c.lon = lon;
  c.place = UnitVector::Of(lat, lon);
  if (c.in_view) visible_places_[c.visible_index] = c.place;
}

// ---- inspection ----

int Registry::IdOf(ConnId conn) const {
  Client *c = FindConn(conn);
  return c != nullptr && c->logged_in ? c->id : -1;
}

bool Registry::IsObserver(int id) const {
  auto it = by_id_.find(id);
  return it != by_id_.end() && it->second->observer;
}

bool Registry::HoldsPositionOf(int id) const {
  auto it = by_id_.find(id);
  return it != by_id_.end() && it->second->position_held;
}

bool Registry::InView(int id) const {
  Client *p = FindPilot(id);
  return p != nullptr && p->in_view;
}

int Registry::SlotOf(int recipient_id, int pilot_id) const {
  auto r = by_id_.find(recipient_id);
  Client *p = FindPilot(pilot_id);
  if (r == by_id_.end() || p == nullptr) return 0;
  return r->second->SlotFor(p);
}

std::vector<int> Registry::SlotTable(int recipient_id) const {
  auto r = by_id_.find(recipient_id);
  if (r == by_id_.end()) return {};
  std::vector<int> ids(kSlots, -1);
  for (int s = 1; s < kSlots; ++s) {
    if (r->second->slots[s] != nullptr) ids[s] = r->second->slots[s]->id;
  }
  return ids;
}

bool Registry::CheckConsistency(std::string *why) const {
  auto fail = [why](std::string s) {
    *why = std::move(s);
    return false;
  };
  std::size_t entries = 0;
  for (const auto &entry : by_id_) {
    const Client &r = *entry.second;
    if (r.slots[0] != nullptr) return fail("slot 0 used on " + std::to_string(r.id));
    for (int s = 1; s < kSlots; ++s) {
      const Client *p = r.slots[s];
      if (p == nullptr) continue;
      ++entries;
      if (p == &r) return fail(std::to_string(r.id) + " holds itself");
      if (FindPilot(p->id) != p) return fail("stale pilot on " + std::to_string(r.id));
      if (!p->in_view || p->observer) return fail(std::to_string(p->id) + " held while out of view");
      for (int t = s + 1; t < kSlots; ++t) {
        if (r.slots[t] == p) return fail(std::to_string(p->id) + " twice on " + std::to_string(r.id));
      }
      int back = 0;
      for (const Viewer &v : p->viewers) back += v.recipient == &r && v.slot == s;
      if (back != 1) return fail("missing back reference " + std::to_string(p->id) + " on " + std::to_string(r.id));
    }
  }
  std::size_t back_refs = 0;
  for (const auto &entry : by_id_) back_refs += entry.second->viewers.size();
  for (const auto &entry : remote_) {
    back_refs += entry.second->viewers.size();
    if (by_id_.count(entry.first) != 0) return fail(std::to_string(entry.first) + " both here and remote");
    for (int s = 1; s < kSlots; ++s) {
      if (entry.second->slots[s] != nullptr)
        return fail("remote " + std::to_string(entry.first) + " holds slots");
    }
  }
  if (back_refs != entries) return fail("back references without slots");
  std::size_t indexed = 0;
  for (const auto &entry : node_pilots_) {
    for (int id : entry.second) {
      auto r = remote_.find(id);
      if (r == remote_.end() || r->second->node != entry.first) return fail("node index out of step");
    }
    indexed += entry.second.size();
  }
  if (indexed != remote_.size()) return fail("remote pilot missing from its node's index");
  if (visible_places_.size() != visible_.size()) return fail("visible places out of step");
  for (std::size_t i = 0; i < visible_.size(); ++i) {
    if (visible_[i]->visible_index != i || !visible_[i]->in_view) return fail("visible list out of step");
    const UnitVector &a = visible_places_[i], &b = visible_[i]->place;
    if (a.x != b.x || a.y != b.y || a.z != b.z) return fail("visible place out of step");
  }
  return true;
}

}  // namespace skytether
