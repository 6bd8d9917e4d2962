#include "core/status.h"

#include "core/bans.h"
#include "core/codec.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "md5.h"

namespace skytether {

namespace {

void Appendf(std::string *out, const char *format, ...) __attribute__((format(printf, 2, 3)));

void Appendf(std::string *out, const char *format, ...) {
  char buf[512];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n > 0) out->append(buf, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buf - 1));
}

// Length of the UTF-8 sequence at s[i], 0 when it is not one (overlong, surrogate, past U+10FFFF).
std::size_t Utf8Length(const std::string &s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  std::size_t n;
  std::uint32_t cp;
  if (c < 0x80) return 1;
  if (c >= 0xc2 && c <= 0xdf)
    n = 2, cp = c & 0x1f;
  else if (c >= 0xe0 && c <= 0xef)
    n = 3, cp = c & 0x0f;
  else if (c >= 0xf0 && c <= 0xf4)
    n = 4, cp = c & 0x07;
  else
    return 0;
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xc0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3f);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10ffff)) || (cp >= 0xd800 && cp <= 0xdfff))
    return 0;
  return n;
}

// A text of the feed, bounded before it is escaped: the server relays nothing longer (callsigns,
// model paths and node names are capped where they come in), so this only guards the feed's size
// against whatever a later change may put in. Escaping makes a byte at most 6 ("\ufffd").
std::string Bounded(const std::string &text, std::size_t max) {
  return text.size() <= max ? text : text.substr(0, max);
}

// A label value for the exposition format: backslash, quote and line feed escaped.
std::string Label(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

void Metric(std::string *out, const char *name, const char *type, const char *help) {
  Appendf(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

void Value(std::string *out, const char *name, std::uint64_t v) {
  Appendf(out, "%s %" PRIu64 "\n", name, v);
}

void Value(std::string *out, const char *name, double v) {
  Appendf(out, "%s %.17g\n", name, v);
}

// A metric of one unlabelled value: its help and type lines, then the value.
template <typename T>
void Single(std::string *out, const char *name, const char *type, const char *help, T v) {
  Metric(out, name, type, help);
  Value(out, name, v);
}

}  // namespace

std::string JsonString(const std::string &text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const std::size_t n = Utf8Length(text, i);
    if (n == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      Appendf(&out, "\\u%04x", c);
    } else {
      out.append(text, i, n);
    }
    i += n;
  }
  out += '"';
  return out;
}

std::string ModelDisplayName(const std::string &path) {
  std::string name =
      path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".acf") == 0) name.resize(name.size() - 4);
  return name;
}

std::string StatusJson(const StatusSnapshot &s) {
  std::size_t in_view = 0, connected = 0, observers = 0, local = 0;
  for (const StatusPilot &p : s.pilots) {
    (p.observer ? observers : connected) += 1;
    in_view += p.in_view && !p.observer && p.has_position;
    local += p.local;
  }
  std::string out;
  out.reserve(256 + s.pilots.size() * 256);
  Appendf(&out, "{\"format\":%d,\n\"server\":{\"software\":\"skytether-server\",\"version\":", kStatusFormat);
  out += JsonString(Bounded(s.version, kMaxNodeName));
  out += ",\"node\":";
  out += JsonString(Bounded(s.node, kMaxNodeName));
  out += ',';
  Appendf(&out, "\"started\":\"%s\",\"time\":\"%s\",\"uptime\":%.0f,\"clustered\":%s},\n",
          UtcTime(s.started).c_str(), UtcTime(s.taken).c_str(), std::floor(s.taken - s.started),
          s.clustered ? "true" : "false");
  Appendf(&out,
          "\"counts\":{\"pilots\":%zu,\"pilots_connected\":%zu,\"observers\":%zu,\"clients_here\":%zu,"
          "\"nodes\":%" PRIu64 "},\n\"pilots\":[",
          in_view, connected, observers, local, s.clustered ? s.cluster_nodes + 1 : 1);
  bool first = true;
  for (const StatusPilot &p : s.pilots) {
    if (p.observer || !p.in_view || !p.has_position) continue;
    out += first ? "\n" : ",\n";
    first = false;
    // Texts are appended whole, never through a buffer that could cut one inside a string or an
    // escape; their length is bounded before they are escaped (see Bounded).
    const std::string model = Bounded(p.model, kMaxPath);
    Appendf(&out, "{\"id\":%" PRIu64 ",\"callsign\":", p.feed_id);
    out += JsonString(Bounded(p.callsign, kMaxCallsign));
    out += ",\"model\":";
    out += JsonString(ModelDisplayName(model));
    out += ",\"model_path\":";
    out += JsonString(model);
    out += ",\"node\":";
    out += JsonString(Bounded(p.node, kMaxNodeName));
    Appendf(&out, ",\"latitude\":%.6f,\"longitude\":%.6f,", p.latitude, p.longitude);
    if (p.has_attitude)
      Appendf(&out, "\"elevation\":%.1f,\"heading\":%.1f,", p.elevation, p.heading);
    else
      out += "\"elevation\":null,\"heading\":null,";
    if (p.age >= 0)
      Appendf(&out, "\"age\":%.1f}", p.age);
    else
      out += "\"age\":null}";
  }
  out += "\n]}\n";
  return out;
}

std::string MetricsText(const StatusSnapshot &s, const ProcessFigures &p) {
  std::string out;
  out.reserve(8192);
  std::size_t pilots_local = 0, pilots_remote = 0, observers = 0, in_view = 0;
  for (const StatusPilot &q : s.pilots) {
    if (q.observer)
      ++observers;
    else
      (q.local ? pilots_local : pilots_remote) += 1;
    in_view += !q.observer && q.in_view;
  }
  Metric(&out, "skytether_info", "gauge", "The server's version and node name.");
  Appendf(&out, "skytether_info{version=\"%s\",node=\"%s\"} 1\n", Label(s.version).c_str(),
          Label(s.node).c_str());
  Single(&out, "skytether_start_time_seconds", "gauge", "When the server started, seconds since 1970.",
         s.started);
  Metric(&out, "skytether_pilots", "gauge", "Logged-in pilots (observers apart), by the node they are on.");
  Appendf(&out, "skytether_pilots{where=\"here\"} %zu\n", pilots_local);
  if (s.clustered) Appendf(&out, "skytether_pilots{where=\"other_nodes\"} %zu\n", pilots_remote);
  Single(&out, "skytether_pilots_in_view", "gauge", "Pilots that send positions and may be seen.",
         static_cast<std::uint64_t>(in_view));
  Single(&out, "skytether_observers", "gauge", "Observers (see everyone, seen by nobody).",
         static_cast<std::uint64_t>(observers));
  Single(&out, "skytether_connections_pending", "gauge", "Stream connections not logged in yet.",
         s.connections_pending);
  Single(&out, "skytether_logins_total", "counter", "Logins accepted.", s.logins);
  Single(&out, "skytether_logins_refused_total", "counter",
         "Logins refused (token, server full, uniqueID in use).", s.refused_logins);
  Single(&out, "skytether_positions_in_total", "counter", "Positions accepted from this node's pilots.",
         s.positions_in);
  Single(&out, "skytether_reports_out_total", "counter", "Report datagrams sent to pilots.", s.reports_out);
  Single(&out, "skytether_reports_refused_total", "counter",
         "Report datagrams the socket refused (buffer full).", s.reports_refused);
  Single(&out, "skytether_reports_segmented_total", "counter",
         "Of the report datagrams sent, those sent several to one recipient in one segmented send.",
         s.reports_segmented);
  Single(&out, "skytether_reports_held_total", "counter",
         "Reports the relay rates held back for distance (a later report of the pilot went instead).",
         s.reports_held);
  Metric(&out, "skytether_dropped_input_total", "counter", "Client input thrown away, by kind.");
  for (std::size_t k = 0; k < kDropKinds; ++k)
    Appendf(&out, "skytether_dropped_input_total{kind=\"%s\"} %" PRIu64 "\n", DropLabel(static_cast<Drop>(k)),
            s.dropped[k]);
  Single(&out, "skytether_output_cap_cuts_total", "counter",
         "Connections cut because their pending notices passed the cap.", s.output_cap_cuts);
  Single(&out, "skytether_chat_lines_total", "counter", "Chat lines delivered.", s.chat_lines);
  Metric(&out, "skytether_relay_latency_seconds", "histogram",
         "From a position's arrival in the socket to its reports being sent.");
  std::uint64_t cumulative = 0;
  for (std::size_t b = 0; b < LatencyHistogram::kBounds.size(); ++b) {
    cumulative += s.latency.counts()[b];
    Appendf(&out, "skytether_relay_latency_seconds_bucket{le=\"%g\"} %" PRIu64 "\n",
            LatencyHistogram::kBounds[b], cumulative);
  }
  cumulative += s.latency.counts().back();
  Appendf(&out, "skytether_relay_latency_seconds_bucket{le=\"+Inf\"} %" PRIu64 "\n", cumulative);
  Value(&out, "skytether_relay_latency_seconds_sum", s.latency.sum());
  Value(&out, "skytether_relay_latency_seconds_count", cumulative);
  if (s.clustered) {
    Single(&out, "skytether_redis_up", "gauge", "1 while the link to Redis is up.",
           static_cast<std::uint64_t>(s.redis_up ? 1 : 0));
    Single(&out, "skytether_redis_links_lost_total", "counter", "Times the link to Redis was lost.",
           s.redis_links_lost);
    Single(&out, "skytether_redis_publishes_total", "counter", "Publishes handed to Redis.",
           s.redis_publishes);
    Single(&out, "skytether_redis_publishes_dropped_total", "counter",
           "Publishes given up while Redis was away or behind.", s.redis_publishes_dropped);
    Single(&out, "skytether_cluster_nodes", "gauge", "Other nodes heard from now.", s.cluster_nodes);
    Metric(&out, "skytether_cluster_messages_total", "counter", "Messages between this node and the others.");
    const struct {
      const char *kind, *direction;
      std::uint64_t n;
    } messages[] = {{"position", "out", s.positions_out_cluster},
                    {"position", "in", s.positions_in_cluster},
                    {"presence", "out", s.presence_out},
                    {"presence", "in", s.presence_in},
                    {"chat", "out", s.chat_out},
                    {"chat", "in", s.chat_in}};
    for (const auto &m : messages)
      Appendf(&out, "skytether_cluster_messages_total{kind=\"%s\",direction=\"%s\"} %" PRIu64 "\n", m.kind,
              m.direction, m.n);
    Single(&out, "skytether_cluster_positions_stale_total", "counter",
           "Positions from other nodes too old to relay.", s.positions_stale_cluster);
    Single(&out, "skytether_cluster_refused_total", "counter",
           "Messages from Redis that did not read as ours.", s.cluster_refused);
    Single(&out, "skytether_cluster_nodes_refused_total", "counter",
           "Presences of nodes past --max-nodes, dropped.", s.cluster_nodes_refused);
  }
  Single(&out, "process_cpu_seconds_total", "counter", "User and system CPU time.", p.cpu_seconds);
  Single(&out, "process_resident_memory_bytes", "gauge", "Resident memory.", p.resident_bytes);
  Single(&out, "process_virtual_memory_bytes", "gauge", "Virtual memory.", p.virtual_bytes);
  Single(&out, "process_open_fds", "gauge", "Open file descriptors.", p.open_fds);
  Single(&out, "process_max_fds", "gauge", "The descriptor limit.", p.max_fds);
  Single(&out, "process_start_time_seconds", "gauge", "When the process started, seconds since 1970.",
         s.started);
  return out;
}

void StatusBoard::Publish(std::shared_ptr<const StatusSnapshot> snapshot) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    latest_.swap(snapshot);
  }
  // The one replaced is freed here, outside the lock (or by the reader that still holds it).
}

std::shared_ptr<const StatusSnapshot> StatusBoard::Latest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return latest_;
}

std::uint64_t FeedId(const std::string &key, int id) {
  md5_state_t md5;
  md5_init(&md5);
  const std::string text = key + "/" + std::to_string(id);
  md5_append(&md5, reinterpret_cast<const md5_byte_t *>(text.data()), static_cast<int>(text.size()));
  md5_byte_t digest[16];
  md5_finish(&md5, digest);
  std::uint64_t v = 0;
  for (int i = 0; i < 6; ++i) v = (v << 8) | digest[i];  // exact in any JSON reader's doubles
  return v;
}

void StatusPilots(const Registry &registry, double now, const std::string &here, const std::string &key,
                  std::vector<StatusPilot> *out) {
  out->reserve(out->size() + registry.logged_in() + registry.remote_pilots());
  registry.ForEachPilot([&](const Client &c) {
    StatusPilot p;
    p.id = c.id;
    p.feed_id = FeedId(c.remote ? c.node : key, c.id);
    p.callsign = c.callsign;
    p.model = c.model;
    p.node = c.remote ? c.node : here;  // a remote node's identity: the cluster names it
    p.local = !c.remote;
    p.observer = c.observer;
    p.in_view = c.in_view;
    p.has_position = c.has_pos;
    p.latitude = c.lat;
    p.longitude = c.lon;
    p.has_attitude = ReadDecimal(c.elevation, &p.elevation) && ReadDecimal(c.heading, &p.heading);
    const double heard = c.remote ? c.reported : c.last_heard;
    if (c.has_pos && heard > 0) p.age = std::max(0.0, now - heard);
    out->push_back(std::move(p));
  });
}

}  // namespace skytether
