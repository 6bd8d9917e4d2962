// The server's own work per position, without sockets: one datagram through the registry (parse,
// checks, sender lookup, 19 relays out). The kernel's part is in relay_bench.
//
//   server_bench [benchmark flags]
//   server_bench --callgrind     a fixed number of positions, for callgrind's instruction count
#include <benchmark/benchmark.h>
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/registry.h"
#include "core/status.h"

namespace {

using namespace skytether;

std::string G9(double v) {
  char b[40];
  std::snprintf(b, sizeof b, "%.9g", static_cast<double>(static_cast<float>(v)));
  return b;
}

std::string Position(int id, double lat, double lon) {
  std::string s = std::to_string(id) + "|LOC|-12345.6787|1523.45667|23456.7891|" + G9(lat) + "|" + G9(lon) +
                  "|1523.45667|2.51234579|-10.2512341|270.512344";
  for (int k = 0; k < 5; ++k) s += "|0.333333343";
  s += "|0.0123456791|-0.234567896|0.00345678907";
  for (int g = 0; g < 10; ++g) s += "|0.476190478";
  s += "|1|1|1|1|0";
  for (int t = 0; t < 8; ++t) s += "|0.812345684";
  return s + "|1.73361600e+09|123456";
}

// Twenty pilots in view of each other: every position goes to 19 recipients (with the relay rates
// on, as long as each pilot reports no faster than the nearest pairs' rate).
RegistryOptions Rates(const char *rule) {
  RegistryOptions o;
  std::string error;
  o.relay_rates.Parse(rule, &error);
  return o;
}

struct Twenty {
  Registry reg;
  std::vector<std::string> lines;
  double now = 0;
  explicit Twenty(const char *rule = "off") : reg(Rates(rule)) {
    for (int i = 0; i < 20; ++i) {
      const int id = 1000 + i;
      reg.Connect(ConnId(i + 1), IpAddr::V4(127, 0, 0, 1), now);
      reg.OnLine(ConnId(i + 1), std::to_string(id) + "|Opening Connection|u" + std::to_string(id) + "|" +
                                    std::string(32, '0') + "|",
                 now);
      lines.push_back(Position(id, 47.0 + 0.002 * i, 8.0 + 0.002 * i));  // all within 6 km
    }
    std::vector<Relay> relays;
    std::string_view values;
    // Free slots are given a few a tick: a few ticks fill every table.
    for (int round = 0; round < 8; ++round) {
      for (int i = 0; i < 20; ++i) {
        relays.clear();
        reg.OnDatagram(lines[size_t(i)], From(i), now, &relays, &values);
      }
      now += 0.1;
      reg.Tick(now);
    }
    reg.outputs().clear();
    reg.logs().clear();
  }
  static Endpoint From(int i) { return Endpoint{IpAddr::V4(127, 0, 0, 1), std::uint16_t(30000 + i)}; }
};

// Rates off, or the step rule with each pilot reporting 30 times a second (every report goes: the
// rule's own cost per position beside the plain relay), or the change rule (the same reports again:
// nothing changed, nothing goes).
void Registry_PositionTo19(benchmark::State &state, const char *rule) {
  Twenty w(rule);
  std::vector<Relay> relays;
  relays.reserve(64);
  std::string_view values;
  size_t i = 0;
  std::size_t out = 0, in = 0;
  for (auto _ : state) {
    relays.clear();
    benchmark::DoNotOptimize(w.reg.OnDatagram(w.lines[i], Twenty::From(int(i)), w.now, &relays, &values));
    out += relays.size();
    ++in;
    if (++i == 20) {
      i = 0;
      w.now += 1 / 30.0;
    }
  }
  state.counters["relays"] = double(out) / double(in);
}

// N pilots on the relay client's grid, all in view: one registry tick in which every recipient's
// nearest-19 evaluation falls due, as it does once a second; with the plain evaluation (sorting
// every table) beside it.
void Registry_TickAllDue(benchmark::State &state, bool sorting) {
  const int n = int(state.range(0));
  RegistryOptions options;
  options.sort_every_evaluation = sorting;
  Registry reg(options);
  double now = 0;
  std::vector<Relay> relays;
  std::string_view values;
  std::vector<std::string> lines;
  for (int i = 0; i < n; ++i) {
    const int id = 100000 + i;
    reg.Connect(ConnId(i + 1), IpAddr::V4(127, 0, 0, 1), now);
    reg.OnLine(ConnId(i + 1),
               std::to_string(id) + "|Opening Connection|u" + std::to_string(id) + "|" + std::string(32, '0') + "|",
               now);
    lines.push_back(Position(id, 47.0 + (i % 20) * 0.018, 8.0 + (i / 20) * 0.027));
  }
  auto heard = [&] {
    for (int i = 0; i < n; ++i) {
      relays.clear();
      reg.OnDatagram(lines[size_t(i)], Endpoint{IpAddr::V4(127, 0, 0, 1), std::uint16_t(20000 + i)}, now, &relays,
                     &values);
    }
    reg.outputs().clear();
    reg.logs().clear();
  };
  heard();
  for (auto _ : state) {
    now += 1.0;
    reg.Tick(now);
    state.PauseTiming();
    heard();  // everyone stays in view
    state.ResumeTiming();
  }
}

// N pilots in view. What the relay thread pays once a second for the status page (every pilot
// copied into a snapshot), and what an HTTP thread pays per request (the feed's text, the metrics).
struct Sky {
  Registry reg;
  explicit Sky(int n) {
    std::vector<Relay> relays;
    std::string_view values;
    for (int i = 0; i < n; ++i) {
      const int id = 100000 + i;
      const IpAddr ip = IpAddr::V4(10, 0, std::uint8_t(i / 250), std::uint8_t(1 + i % 250));
      reg.Connect(ConnId(i + 1), ip, 0);
      reg.OnLine(ConnId(i + 1),
                 std::to_string(id) + "|Opening Connection|u" + std::to_string(id) + "|" + std::string(32, '0') + "|",
                 0);
      reg.OnLine(ConnId(i + 1), std::to_string(id) + "|CALLSIGN|PILOT" + std::to_string(i) + "|", 0);
      reg.OnLine(ConnId(i + 1), std::to_string(id) + "|PLANE|Aircraft/General Aviation/Trainer/Trainer.acf", 0);
      relays.clear();
      reg.OnDatagram(Position(id, 47.0 + (i % 20) * 0.018, 8.0 + (i / 20) * 0.027), Endpoint{ip, 20000}, 0.5,
                     &relays, &values);
    }
    reg.outputs().clear();
    reg.logs().clear();
  }
};

void Status_SnapshotOnRelayThread(benchmark::State &state) {
  Sky sky(int(state.range(0)));
  for (auto _ : state) {
    StatusSnapshot s;
    StatusPilots(sky.reg, 1.0, "node", "key", &s.pilots);
    benchmark::DoNotOptimize(s.pilots.data());
  }
}

void Status_FeedAndMetricsOnHttpThread(benchmark::State &state) {
  Sky sky(int(state.range(0)));
  StatusSnapshot s;
  StatusPilots(sky.reg, 1.0, "node", "key", &s.pilots);
  std::size_t bytes = 0;
  for (auto _ : state) {
    bytes = StatusJson(s).size() + MetricsText(s, ProcessFigures{}).size();
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["bytes"] = double(bytes);
}

int RunCallgrind() {
  Twenty w;
  std::vector<Relay> relays;
  relays.reserve(64);
  std::string_view values;
  const int n = 20000;
  long out = 0;
  CALLGRIND_ZERO_STATS;
  CALLGRIND_TOGGLE_COLLECT;
  for (int k = 0; k < n; ++k) {
    relays.clear();
    w.reg.OnDatagram(w.lines[size_t(k % 20)], Twenty::From(k % 20), w.now, &relays, &values);
    out += long(relays.size());
  }
  CALLGRIND_TOGGLE_COLLECT;
  CALLGRIND_DUMP_STATS_AT("Registry_PositionTo19 x20000");
  Twenty paced("steps");
  CALLGRIND_ZERO_STATS;
  CALLGRIND_TOGGLE_COLLECT;
  for (int k = 0; k < n; ++k) {
    relays.clear();
    if (k % 20 == 0) paced.now += 1 / 30.0;
    paced.reg.OnDatagram(paced.lines[size_t(k % 20)], Twenty::From(k % 20), paced.now, &relays, &values);
    out += long(relays.size());
  }
  CALLGRIND_TOGGLE_COLLECT;
  CALLGRIND_DUMP_STATS_AT("Registry_PositionTo19 rates on x20000");
  std::printf("%ld relays\n", out);
  return 0;
}

}  // namespace

BENCHMARK_CAPTURE(Registry_PositionTo19, rates_off, "off");
BENCHMARK_CAPTURE(Registry_PositionTo19, rates_on, "steps");
BENCHMARK_CAPTURE(Registry_PositionTo19, changes, "changes");
BENCHMARK_CAPTURE(Registry_TickAllDue, short_path, false)->Arg(200)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Registry_TickAllDue, sorting, true)->Arg(200)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(Status_SnapshotOnRelayThread)->Arg(200)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(Status_FeedAndMetricsOnHttpThread)->Arg(200)->Arg(1000)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--callgrind") == 0) return RunCallgrind();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
