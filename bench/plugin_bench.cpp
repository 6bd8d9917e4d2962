// The plugin's per-frame work beside the machine's floor, in one process and one run:
//   own-position broadcast      against one raw sendto of a datagram of the same length
//   packet cycle, nothing there against 90 + 100 empty raw reads on the plugin's own sockets
//   packet cycle, 90 reports    against 90 raw reads of the same datagrams (+ 100 empty)
//   19 reports and 3 notices    against the same reads done raw
// The floors run on the plugin's very sockets, found by address, so both sides pay the same
// kernel path.
//
//   plugin_bench [benchmark flags]       the Google Benchmark figures
//   plugin_bench --callgrind             each path a fixed number of times, for callgrind
//   plugin_bench --profile               the same loops without client requests
//   plugin_bench --frames SECONDS FILE   the whole plugin at 60 fps, 19 aircraft at 60 Hz
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <valgrind/callgrind.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "plugin_rig.h"

namespace {

using bench::PluginRig;

PluginRig *rig = nullptr;

constexpr int kDatagramReads = 90;
constexpr int kStreamReads = 100;
constexpr int kReceiveArea = 1400;
constexpr int kSendBatch = 256;

sockaddr_in ServerAddress() {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(bench::kProtocolPort);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// ---- raw operations, written as the plugin writes its own ----

inline void RawSendto(int fd, const char *data, size_t length, const sockaddr_in &to) {
  ::sendto(fd, data, length, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

inline int RawDatagramRead(int fd, char *area) {
  sockaddr_in from{};
  socklen_t fromLength = sizeof from;
  return int(::recvfrom(fd, area, kReceiveArea, 0, reinterpret_cast<sockaddr *>(&from), &fromLength));
}

inline int RawStreamRead(int fd, char *area) { return int(::recvfrom(fd, area, kReceiveArea, 0, nullptr, nullptr)); }

// The reads of one packet cycle, done raw.
inline int RawCycleReads() {
  char area[kReceiveArea + 1];
  int got = 0;
  for (int i = 0; i < kDatagramReads; ++i) got += RawDatagramRead(rig->datagramFd(), area) > 0;
  for (int i = 0; i < kStreamReads; ++i) got += RawStreamRead(rig->streamFd(), area) > 0;
  return got;
}

// Puts reports (and notices) in the plugin's sockets and waits until the stream bytes are there.
void Load(const std::vector<std::string> &reports, const std::string &notices) {
  rig->peer().SendDatagrams(reports);
  if (!notices.empty()) {
    rig->peer().SendStream(notices);
    while (rig->StreamBytesWaiting() < int(notices.size())) {
    }
  }
}

// ---- 1. own-position broadcast ----

void Floor_SendtoOfPositionLength(benchmark::State &state) {
  const std::string line = rig->positionLine();
  const sockaddr_in to = ServerAddress();
  int n = 0;
  for (auto _ : state) {
    RawSendto(rig->datagramFd(), line.data(), line.size(), to);
    if (++n == kSendBatch) {
      state.PauseTiming();
      rig->peer().DrainDatagrams();
      n = 0;
      state.ResumeTiming();
    }
  }
  rig->peer().DrainDatagrams();
  state.counters["bytes"] = double(line.size());
}

void Plugin_DrawPlanes(benchmark::State &state) {
  int n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(rig->DrawPlanes());
    if (++n == kSendBatch) {
      state.PauseTiming();
      rig->peer().DrainDatagrams();
      n = 0;
      state.ResumeTiming();
    }
  }
  rig->peer().DrainDatagrams();
}

// ---- 2 and 3. packet cycle ----

void Floor_EmptyDatagramRead(benchmark::State &state) {
  char area[kReceiveArea + 1];
  for (auto _ : state) benchmark::DoNotOptimize(RawDatagramRead(rig->datagramFd(), area));
}

void Floor_EmptyStreamRead(benchmark::State &state) {
  char area[kReceiveArea + 1];
  for (auto _ : state) benchmark::DoNotOptimize(RawStreamRead(rig->streamFd(), area));
}

void Floor_CycleReadsNothingWaiting(benchmark::State &state) {
  for (auto _ : state) benchmark::DoNotOptimize(RawCycleReads());
}

void Plugin_CycleNothingWaiting(benchmark::State &state) {
  for (auto _ : state) benchmark::DoNotOptimize(rig->PacketProcess());
}

void Floor_CycleReads90Reports(benchmark::State &state) {
  const auto reports = rig->MakeReports(kDatagramReads, false);
  for (auto _ : state) {
    state.PauseTiming();
    Load(reports, "");
    state.ResumeTiming();
    if (RawCycleReads() != kDatagramReads) state.SkipWithError("a report did not arrive");
  }
  state.counters["bytes"] = double(reports[0].size());
}

void Plugin_Cycle90Reports(benchmark::State &state, bool otherCell) {
  const auto reports = rig->MakeReports(kDatagramReads, otherCell);
  for (auto _ : state) {
    state.PauseTiming();
    Load(reports, "");
    state.ResumeTiming();
    benchmark::DoNotOptimize(rig->PacketProcess());
  }
}

void Floor_CycleReads19Reports3Notices(benchmark::State &state) {
  const auto reports = rig->MakeReports(19, false);
  const std::string notices = rig->Notices();
  for (auto _ : state) {
    state.PauseTiming();
    Load(reports, notices);
    state.ResumeTiming();
    if (RawCycleReads() != 20) state.SkipWithError("a report or the notices did not arrive");
  }
}

void Plugin_Cycle19Reports3Notices(benchmark::State &state) {
  const auto reports = rig->MakeReports(19, false);
  const std::string notices = rig->Notices();
  for (auto _ : state) {
    state.PauseTiming();
    Load(reports, notices);
    state.ResumeTiming();
    benchmark::DoNotOptimize(rig->PacketProcess());
  }
}

void Register() {
  benchmark::RegisterBenchmark("Floor_SendtoOfPositionLength", Floor_SendtoOfPositionLength);
  benchmark::RegisterBenchmark("Plugin_DrawPlanes", Plugin_DrawPlanes);
  benchmark::RegisterBenchmark("Floor_EmptyDatagramRead", Floor_EmptyDatagramRead);
  benchmark::RegisterBenchmark("Floor_EmptyStreamRead", Floor_EmptyStreamRead);
  benchmark::RegisterBenchmark("Floor_CycleReadsNothingWaiting", Floor_CycleReadsNothingWaiting);
  benchmark::RegisterBenchmark("Plugin_CycleNothingWaiting", Plugin_CycleNothingWaiting);
  benchmark::RegisterBenchmark("Floor_CycleReads90Reports", Floor_CycleReads90Reports);
  benchmark::RegisterBenchmark("Plugin_Cycle90Reports", Plugin_Cycle90Reports, false);
  benchmark::RegisterBenchmark("Plugin_Cycle90ReportsOtherCell", Plugin_Cycle90Reports, true);
  benchmark::RegisterBenchmark("Floor_CycleReads19Reports3Notices", Floor_CycleReads19Reports3Notices);
  benchmark::RegisterBenchmark("Plugin_Cycle19Reports3Notices", Plugin_Cycle19Reports3Notices);
}

// ---- callgrind: each path a fixed number of times, collected only inside the calls ----

// Without client requests (--profile) the same loops run plain, for callgrind's own
// --toggle-collect by function name and a profile of the plugin's functions.
bool clientRequests = true;

template <typename Prepare, typename Call>
void Section(const char *name, int times, Prepare prepare, Call call) {
  if (!clientRequests) {
    for (int i = 0; i < times; ++i) {
      prepare();
      call();
    }
    return;
  }
  CALLGRIND_ZERO_STATS;
  for (int i = 0; i < times; ++i) {
    prepare();
    CALLGRIND_TOGGLE_COLLECT;
    call();
    CALLGRIND_TOGGLE_COLLECT;
  }
  char label[128];
  std::snprintf(label, sizeof label, "%s x%d", name, times);
  CALLGRIND_DUMP_STATS_AT(label);
}

int RunCallgrind() {
  const std::string line = rig->positionLine();
  const sockaddr_in to = ServerAddress();
  const auto reports90 = rig->MakeReports(kDatagramReads, false);
  const auto reports90Other = rig->MakeReports(kDatagramReads, true);
  const auto reports19 = rig->MakeReports(19, false);
  const std::string notices = rig->Notices();
  auto drain = [] { rig->peer().DrainDatagrams(); };
  auto nothing = [] {};
  // Warm the paths first: statics, first-use lookups.
  for (int i = 0; i < 3; ++i) {
    rig->DrawPlanes();
    Load(reports19, notices);
    rig->PacketProcess();
  }
  drain();
  const int n = 100;
  Section("Floor_SendtoOfPositionLength", n, drain,
          [&] { RawSendto(rig->datagramFd(), line.data(), line.size(), to); });
  Section("Plugin_DrawPlanes", n, drain, [] { rig->DrawPlanes(); });
  Section("Floor_CycleReadsNothingWaiting", n, nothing, [] { RawCycleReads(); });
  Section("Plugin_CycleNothingWaiting", n, nothing, [] { rig->PacketProcess(); });
  Section("Floor_CycleReads90Reports", n, [&] { Load(reports90, ""); }, [] { RawCycleReads(); });
  Section("Plugin_Cycle90Reports", n, [&] { Load(reports90, ""); }, [] { rig->PacketProcess(); });
  Section("Plugin_Cycle90ReportsOtherCell", n, [&] { Load(reports90Other, ""); }, [] { rig->PacketProcess(); });
  Section("Floor_CycleReads19Reports3Notices", n, [&] { Load(reports19, notices); }, [] { RawCycleReads(); });
  Section("Plugin_Cycle19Reports3Notices", n, [&] { Load(reports19, notices); }, [] { rig->PacketProcess(); });
  return 0;
}

// ---- the whole plugin in real time ----

void SleepUntil(double t) {
  timespec ts;
  ts.tv_sec = time_t(t);
  ts.tv_nsec = long((t - double(ts.tv_sec)) * 1e9);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

struct FrameFigures {
  int frames = 0;
  double cpuSeconds = 0, wallSeconds = 0;
  std::vector<double> perFrameUs;
};

// Runs frames at fps in real time for the given seconds; the CPU time of each frame is the
// host thread's (user + system).
FrameFigures RunFrames(skyhost::Host &host, double fps, double seconds) {
  FrameFigures f;
  const double start = bench::Now();
  double next = start;
  while (next < start + seconds) {
    SleepUntil(next);
    const double c0 = bench::ThreadCpu();
    host.runFrame(1.0 / fps);
    const double used = bench::ThreadCpu() - c0;
    f.cpuSeconds += used;
    f.perFrameUs.push_back(used * 1e6);
    ++f.frames;
    next += 1.0 / fps;
  }
  f.wallSeconds = bench::Now() - start;
  return f;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double Quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[size_t(q * double(v.size() - 1))];
}

int RunFramesMode(double seconds, const char *out) {
  constexpr double kFps = 60.0;
  constexpr int kAircraft = 19;
  constexpr double kRate = 60.0;

  // The empty host first: the same frames with nothing loaded, to take off the host's own cost.
  FrameFigures empty;
  {
    skyhost::TempDir dir("skytether-bench-empty-");
    skyhost::HostOptions options;
    options.root = dir.path();
    skyhost::Host bare(options);
    empty = RunFrames(bare, kFps, std::min(seconds, 5.0));
  }

  std::string error;
  PluginRig local;
  if (!local.Start(&error)) {
    std::fprintf(stderr, "plugin_bench: %s\n", error.c_str());
    return 1;
  }
  rig = &local;
  // The server's side: 19 aircraft at 60 Hz each, spread over the period, and a reader for the
  // plugin's own datagrams. The peer sleeps between sends, so the plugin never wakes it.
  std::atomic<bool> stop{false};
  std::atomic<long> sent{0};
  const auto reports = local.MakeReports(kAircraft, false);
  std::thread server([&] {
    const double t0 = bench::Now();
    long k = 0;
    while (!stop.load()) {
      const double due = t0 + double(k) / (kAircraft * kRate);
      SleepUntil(due);
      local.peer().SendDatagrams({reports[size_t(k % kAircraft)]});
      ++k;
      sent.store(k);
      if (k % kAircraft == 0) local.peer().DrainDatagrams();
    }
  });
  const long drops0 = local.DatagramDrops();
  const long sent0 = sent.load();
  FrameFigures loaded = RunFrames(local.host(), kFps, seconds);
  const long sentDuring = sent.load() - sent0;
  const long drops = local.DatagramDrops() - drops0;
  stop.store(true);
  server.join();
  local.Stop();

  const double emptyPerFrame = empty.cpuSeconds / empty.frames * 1e6;
  const double loadedPerFrame = loaded.cpuSeconds / loaded.frames * 1e6;
  const double pluginPerFrame = loadedPerFrame - emptyPerFrame;
  const double share = pluginPerFrame * 1e-6 * loaded.frames / loaded.wallSeconds * 100.0;
  FILE *f = std::fopen(out, "w");
  if (f == nullptr) return 1;
  std::fprintf(f,
               "{\"seconds\": %.3f, \"frames\": %d, \"fps\": %.1f, \"aircraft\": %d, \"rate_hz\": %.0f,\n"
               " \"reports_sent\": %ld, \"reports_dropped_by_kernel\": %ld,\n"
               " \"empty_host_us_per_frame\": %.3f, \"host_with_plugin_us_per_frame\": %.3f,\n"
               " \"plugin_us_per_frame\": %.3f, \"plugin_share_of_core_percent\": %.4f,\n"
               " \"median_frame_us\": %.3f, \"p99_frame_us\": %.3f, \"max_frame_us\": %.3f}\n",
               loaded.wallSeconds, loaded.frames, loaded.frames / loaded.wallSeconds, kAircraft, kRate, sentDuring,
               drops, emptyPerFrame, loadedPerFrame, pluginPerFrame, share, Median(loaded.perFrameUs),
               Quantile(loaded.perFrameUs, 0.99), Quantile(loaded.perFrameUs, 1.0));
  std::fclose(f);
  std::printf("whole plugin: %.2f us per frame (host with plugin %.2f, empty host %.2f), %.3f %% of one core\n",
              pluginPerFrame, loadedPerFrame, emptyPerFrame, share);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--frames") == 0) {
    if (argc < 4) {
      std::fprintf(stderr, "usage: plugin_bench --frames SECONDS FILE\n");
      return 2;
    }
    return RunFramesMode(std::atof(argv[2]), argv[3]);
  }
  std::string error;
  PluginRig local;
  if (!local.Start(&error)) {
    std::fprintf(stderr, "plugin_bench: %s\n", error.c_str());
    return 1;
  }
  rig = &local;
  int status = 0;
  if (argc >= 2 && (std::strcmp(argv[1], "--callgrind") == 0 || std::strcmp(argv[1], "--profile") == 0)) {
    clientRequests = std::strcmp(argv[1], "--callgrind") == 0;
    status = RunCallgrind();
  } else {
    Register();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
  }
  local.Stop();
  return status;
}
