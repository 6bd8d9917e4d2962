#include "registry.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace skytether {
namespace {

constexpr double kEarthRadius = 6371008.8;  // mean radius, meters
constexpr double kDegToRad = 3.14159265358979323846 / 180.0;

double ChordToMeters(double chord2) {
  double half = std::sqrt(chord2) / 2.0;
  if (half > 1.0) half = 1.0;
  return 2.0 * std::asin(half) * kEarthRadius;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

const char *DropName(Drop d) {
  switch (d) {
    case Drop::kLongLine: return "over-long stream line";
    case Drop::kMalformed: return "malformed stream line";
    case Drop::kUnknownKeyword: return "unknown keyword";
    case Drop::kBeforeLogin: return "line before login";
    case Drop::kWrongId: return "line with another uniqueID";
    case Drop::kRepeatLogin: return "repeated login";
    case Drop::kChatFlood: return "chat over the flood limit";
    case Drop::kLineFlood: return "stream line over the rate limit";
    case Drop::kBadDatagram: return "malformed datagram";
    case Drop::kStale: return "stale datagram";
    case Drop::kStranger: return "datagram from a stranger";
    case Drop::kCount: break;
  }
  return "?";
}

IpAddr IpAddr::V4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  IpAddr ip;
  ip.bytes[0] = a;
  ip.bytes[1] = b;
  ip.bytes[2] = c;
  ip.bytes[3] = d;
  return ip;
}

std::string IpAddr::ToString() const {
  char buf[64];
  if (!v6) {
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
  } else {
    int n = 0;
    for (int i = 0; i < 16; i += 2) {
      n += std::snprintf(buf + n, sizeof buf - n, i ? ":%x" : "%x", (bytes[i] << 8) | bytes[i + 1]);
    }
  }
  return buf;
}

double GreatCircleMeters(double lat1, double lon1, double lat2, double lon2) {
  double p1 = lat1 * kDegToRad, p2 = lat2 * kDegToRad;
  double dp = p2 - p1, dl = (lon2 - lon1) * kDegToRad;
  double a = std::sin(dp / 2) * std::sin(dp / 2) + std::cos(p1) * std::cos(p2) * std::sin(dl / 2) * std::sin(dl / 2);
  if (a > 1.0) a = 1.0;
  return 2.0 * kEarthRadius * std::asin(std::sqrt(a));
}

// ---- accounts ----

namespace {

// Walks the entries of an accounts file; bad(number, message) for each malformed or duplicate one.
template <typename Good, typename Bad>
void EachAccount(std::string_view text, Good good, Bad bad) {
  std::unordered_map<std::string, int> seen;
  int number = 0;
  while (!text.empty()) {
    std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    ++number;
    line = Trim(line);
    if (line.empty() || line.front() == '#') continue;
    std::size_t gap = 0;
    while (gap < line.size() && !IsSpace(line[gap])) ++gap;
    std::string_view user = line.substr(0, gap);
    std::string_view password = Trim(line.substr(gap));
    if (password.empty()) {
      bad("line " + std::to_string(number) + ": expected \"userID password\"");
      continue;
    }
    auto [it, fresh] = seen.emplace(std::string(user), number);
    if (!fresh) {
      bad("line " + std::to_string(number) + ": userID \"" + std::string(user) + "\" given twice (first on line " +
          std::to_string(it->second) + ")");
      continue;
    }
    good(user, password);
  }
}

}  // namespace

bool Accounts::Parse(std::string_view text, std::string *error) {
  passwords_.clear();
  bool ok = true;
  EachAccount(
      text, [this](std::string_view user, std::string_view password) { passwords_.emplace(user, password); },
      [&](const std::string &message) {
        if (ok) *error = message;
        ok = false;
      });
  if (!ok) passwords_.clear();
  return ok;
}

std::vector<std::string> Accounts::Problems(std::string_view text) {
  std::vector<std::string> problems;
  EachAccount(
      text, [](std::string_view, std::string_view) {},
      [&](const std::string &message) { problems.push_back(message); });
  return problems;
}

bool Accounts::Check(int id, std::string_view user, std::string_view token) const {
  auto it = passwords_.find(std::string(user));
  if (it == passwords_.end()) return false;
  std::string want = LoginToken(id, user, it->second);
  if (want.size() != token.size()) return false;
  unsigned diff = 0;
  for (std::size_t i = 0; i < want.size(); ++i) diff |= static_cast<unsigned char>(want[i] ^ token[i]);
  return diff == 0;
}

// ---- registry ----

struct Registry::Client {
  ConnId conn = 0;
  IpAddr peer;
  bool logged_in = false;
  int id = -1;
  std::string user;  // sanitized
  bool observer = false;
  std::string callsign;  // sanitized; empty: none yet
  std::string model;     // relative path; empty: none yet
  bool has_udp = false;
  Endpoint udp;
  bool has_pos = false;
  double lat = 0, lon = 0;
  double ux = 0, uy = 0, uz = 0;  // unit vector of lat/lon
  double last_heard = 0;
  bool in_view = false;
  std::size_t visible_index = 0;  // position in visible_ while in_view
  std::array<Client *, kSlots> slots{};  // what this client sees; [0] unused
  std::vector<Viewer> viewers;           // who sees this client, and in which slot
  double next_eval = 0;
  bool needs_fill = false;
  std::vector<double> chat_times;  // ring of the last chat_lines accepted chat times
  std::size_t chat_next = 0;
  std::uint64_t eval_mark = 0;
  double connected_at = 0;

  int FreeSlots() const {
    int n = 0;
    for (int s = 1; s < kSlots; ++s) n += slots[s] == nullptr;
    return n;
  }
  int SlotFor(const Client *p) const {
    for (int s = 1; s < kSlots; ++s) {
      if (slots[s] == p) return s;
    }
    return 0;
  }
};

Registry::Registry(RegistryOptions options, const Accounts *accounts)
    : options_(options), accounts_(accounts) {}

Registry::~Registry() = default;

Registry::Client *Registry::FindConn(ConnId conn) const {
  auto it = clients_.find(conn);
  return it == clients_.end() ? nullptr : it->second.get();
}

void Registry::Log(std::string line) { logs_.push_back(std::move(line)); }

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
  auto c = std::make_unique<Client>();
  c->conn = conn;
  c->peer = peer;
  c->connected_at = now;
  clients_[conn] = std::move(c);
}

void Registry::Disconnect(ConnId conn, double, std::string_view reason) {
  Client *c = FindConn(conn);
  if (c == nullptr) return;
  Remove(*c, reason);
}

void Registry::Remove(Client &c, std::string_view why) {
  if (c.logged_in) {
    Log("logout " + Name(c) + ": " + std::string(why));
    Hide(c, "left");
    // Its own table goes with it: nobody to announce the frees to.
    for (int s = 1; s < kSlots; ++s) {
      if (c.slots[s] != nullptr) Free(c, s, false, "recipient left");
    }
    by_id_.erase(c.id);
  }
  clients_.erase(c.conn);  // c is gone from here on
}

void Registry::OnLine(ConnId conn, std::string_view line, double now) {
  Client *cp = FindConn(conn);
  if (cp == nullptr) return;
  Client &c = *cp;
  if (line.empty()) return;  // blank lines (a CR LF run) carry nothing
  ClientLine m = ParseClientLine(line);
  if (m.kind == LineKind::kMalformed) return CountDrop(Drop::kMalformed);
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
  Log("refused login " + std::to_string(id) + " (" + SanitizeText(user, kMaxCallsign) + ") from " +
      c.peer.ToString() + ": " + std::string(why));
  outputs_.push_back(Output{Output::Kind::kClose, c.conn, std::string()});
  clients_.erase(c.conn);
}

void Registry::Login(Client &c, const ClientLine &m, double now) {
  if (accounts_ != nullptr && !accounts_->Check(m.id, m.user, m.token)) {
    return Refuse(c, m.id, m.user, "wrong user or token");
  }
  if (by_id_.count(m.id) != 0) return Refuse(c, m.id, m.user, "uniqueID already in use");
  if (static_cast<int>(by_id_.size()) >= options_.max_pilots) {
    return Refuse(c, m.id, m.user, "server full");
  }
  c.logged_in = true;
  c.id = m.id;
  c.user = SanitizeText(m.user, kMaxCallsign);
  c.chat_times.assign(options_.chat_lines > 0 ? options_.chat_lines : 1, -1e300);
  c.next_eval = now + options_.eval_interval;
  by_id_[c.id] = &c;
  Log("login " + Name(c) + " from " + c.peer.ToString());
  // A newcomer sees whoever is already flying, up to its 19 slots.
  Evaluate(c, false);
}

void Registry::SetCallsign(Client &c, std::string_view raw, bool observer_keyword) {
  if (observer_keyword && !c.observer) MakeObserver(c);
  std::string cs = SanitizeText(raw, kMaxCallsign);
  if (cs == c.callsign) return;  // re-announced every 10 s: only changes travel
  c.callsign = std::move(cs);
  for (const Viewer &v : c.viewers) Send(*v.recipient, CallsignNotice(v.slot, c.callsign));
}

void Registry::SetModel(Client &c, std::string_view raw) {
  std::string path = RelativeModelPath(raw);
  if (path.empty()) return CountDrop(Drop::kMalformed);
  if (path == c.model) return;
  c.model = std::move(path);
  for (const Viewer &v : c.viewers) Send(*v.recipient, ModelNotice(v.slot, c.model));
}

void Registry::Chat(Client &c, std::string_view raw, double now) {
  double &oldest = c.chat_times[c.chat_next];
  if (now - oldest < options_.chat_window) return CountDrop(Drop::kChatFlood);
  oldest = now;
  c.chat_next = (c.chat_next + 1) % c.chat_times.size();
  std::string text = c.callsign.empty() ? c.user : c.callsign;
  text += ": ";
  text += SanitizeText(raw, kMaxChat);
  std::string notice = ChatNotice(text);
  for (const auto &entry : by_id_) Send(*entry.second, notice);
}

void Registry::MakeObserver(Client &c) {
  c.observer = true;
  Log("observer " + Name(c));
  if (c.in_view) Hide(c, "became an observer");
}

bool Registry::OnDatagram(std::string_view datagram, const Endpoint &from, double now,
                          std::vector<Relay> *relays, std::string_view *values) {
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
  if (!c.has_udp || c.udp != from) {
    Log("datagram address of " + Name(c) + " is " + from.ip.ToString() + ":" + std::to_string(from.port));
    c.udp = from;
    c.has_udp = true;
  }
  if (pos.observer && !c.observer) MakeObserver(c);
  c.has_pos = true;
  c.lat = pos.latitude;
  c.lon = pos.longitude;
  double la = c.lat * kDegToRad, lo = c.lon * kDegToRad;
  c.ux = std::cos(la) * std::cos(lo);
  c.uy = std::cos(la) * std::sin(lo);
  c.uz = std::sin(la);
  c.last_heard = now;
  if (c.observer) return false;
  if (!c.in_view) Show(c);
  bool any = false;
  for (const Viewer &v : c.viewers) {
    if (!v.recipient->has_udp) continue;
    relays->push_back(Relay{v.recipient->udp, v.slot});
    any = true;
  }
  *values = pos.values;
  return any;
}

void Registry::Show(Client &p) {
  p.in_view = true;
  p.visible_index = visible_.size();
  visible_.push_back(&p);
  Log("in view " + Name(p));
  // Free slots are handed out at once; full tables wait for their next evaluation.
  for (auto &entry : by_id_) {
    Client &r = *entry.second;
    if (&r != &p && r.FreeSlots() > 0) Give(r, p);
  }
}

void Registry::Hide(Client &p, std::string_view why) {
  if (!p.in_view) return;
  p.in_view = false;
  Client *last = visible_.back();
  visible_[p.visible_index] = last;
  last->visible_index = p.visible_index;
  visible_.pop_back();
  const std::vector<Viewer> viewers = p.viewers;
  for (const Viewer &v : viewers) {
    Free(*v.recipient, v.slot, true, why);
    v.recipient->needs_fill = true;
  }
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
  p.viewers.push_back(Viewer{&r, slot});
  // Name and model first, so the recipient knows the aircraft before it moves.
  if (!p.callsign.empty()) Send(r, CallsignNotice(slot, p.callsign));
  if (!p.model.empty()) Send(r, ModelNotice(slot, p.model));
  Log("slot " + std::to_string(slot) + " on " + std::to_string(r.id) + " given to " + Name(p));
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
  if (announce) {
    Send(r, CallsignNotice(slot, std::string_view()));
    Send(r, ModelNotice(slot, std::string_view()));
    Log("slot " + std::to_string(slot) + " on " + std::to_string(r.id) + " freed from " +
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
    double dx = p.ux - r.ux, dy = p.uy - r.uy, dz = p.uz - r.uz;
    return dx * dx + dy * dy + dz * dz;
  };
  if (r.FreeSlots() == 0 && !options_.sort_every_evaluation) {
    // A full table changes only by a swap, and the first swap needs the nearest outsider to beat
    // the farthest holder by the margin: one pass finds both, without lists or sorting (this
    // runs for every recipient once a second, over every pilot in view).
    double farthest = 0, nearest = 0;
    std::size_t holder_count = 0, outsider_count = 0;
    for (Client *p : visible_) {
      if (p == &r) continue;
      const double key = key_of(*p);
      if (p->eval_mark == epoch) {
        farthest = holder_count++ == 0 ? key : std::max(farthest, key);
      } else {
        nearest = outsider_count++ == 0 ? key : std::min(nearest, key);
      }
    }
    if (outsider_count == 0 || holder_count == 0 || !allow_swap || !r.has_pos) return;
    const double far = ChordToMeters(farthest);
    const double near = ChordToMeters(nearest);
    if (!(near < far - std::max(far * options_.margin_fraction, options_.margin_meters))) return;
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

  // Fill free slots with the nearest outsiders.
  int free_slots = r.FreeSlots();
  std::size_t take = std::min<std::size_t>(free_slots, outsiders.size());
  std::size_t sorted = std::min<std::size_t>(outsiders.size(), kSlots - 1);
  std::partial_sort(outsiders.begin(), outsiders.begin() + sorted, outsiders.end(), nearer);
  for (std::size_t i = 0; i < take; ++i) {
    Give(r, *outsiders[i].pilot);
    holders.push_back(outsiders[i]);
  }
  if (!allow_swap || !r.has_pos || take >= outsiders.size()) return;

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
  for (std::size_t i = 0; i < visible_.size();) {
    Client *p = visible_[i];
    if (now - p->last_heard > options_.idle_timeout) {
      Log("idle " + Name(*p));
      Hide(*p, "idle");  // swaps the last entry into i
    } else {
      ++i;
    }
  }
  if (clients_.size() > by_id_.size()) {
    // Connections that never log in would hold a socket for ever.
    for (auto it = clients_.begin(); it != clients_.end();) {
      Client &c = *(it++)->second;
      if (!c.logged_in && now - c.connected_at > options_.login_timeout) {
        Log("connection " + std::to_string(c.conn) + " from " + c.peer.ToString() + " cut: no login");
        outputs_.push_back(Output{Output::Kind::kClose, c.conn, std::string()});
        clients_.erase(c.conn);
      }
    }
  }
  for (auto &entry : by_id_) {
    Client &r = *entry.second;
    bool due = now >= r.next_eval;
    if (due) {
      r.next_eval = now + options_.eval_interval;
      Evaluate(r, true);
    } else if (r.needs_fill) {
      Evaluate(r, false);
    }
  }
  if (now >= next_drop_log_) {
    bool any = false;
    for (int k = 0; k < static_cast<int>(Drop::kCount); ++k) {
      std::uint64_t fresh = drops_[k] - drops_logged_[k];
      if (fresh == 0) continue;
      Log("dropped " + std::to_string(fresh) + " x " + DropName(static_cast<Drop>(k)) + " (total " +
          std::to_string(drops_[k]) + ")");
      drops_logged_[k] = drops_[k];
      any = true;
    }
    if (any) next_drop_log_ = now + options_.drop_log_interval;
  }
}

// ---- inspection ----

bool Registry::IsObserver(int id) const {
  auto it = by_id_.find(id);
  return it != by_id_.end() && it->second->observer;
}

bool Registry::InView(int id) const {
  auto it = by_id_.find(id);
  return it != by_id_.end() && it->second->in_view;
}

int Registry::SlotOf(int recipient_id, int pilot_id) const {
  auto r = by_id_.find(recipient_id);
  auto p = by_id_.find(pilot_id);
  if (r == by_id_.end() || p == by_id_.end()) return 0;
  return r->second->SlotFor(p->second);
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
      if (by_id_.count(p->id) == 0 || by_id_.at(p->id) != p) return fail("stale pilot on " + std::to_string(r.id));
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
  if (back_refs != entries) return fail("back references without slots");
  for (std::size_t i = 0; i < visible_.size(); ++i) {
    if (visible_[i]->visible_index != i || !visible_[i]->in_view) return fail("visible list out of step");
  }
  return true;
}

}  // namespace skytether
