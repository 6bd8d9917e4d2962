// The plugin's per-frame work beside the machine's floor, in one process and one run:
//   own-position broadcast      against one raw sendto of a datagram of the same length
//   packet cycle, nothing there against one empty batched datagram read and one empty stream read
//   packet cycle, 19 reports    against one batched read of the same datagrams (+ the empty stream
//   and 90 reports              read), and the same with 3 stream notices
// The floors run on the plugin's very sockets, found by address, so both sides pay the same
// kernel path.
//
//   plugin_bench [benchmark flags]       the Google Benchmark figures
//   plugin_bench --callgrind             each path a fixed number of times, for callgrind
//   plugin_bench --profile               the same loops without client requests
//   plugin_bench --syscalls              each packet cycle path a fixed number of times between
//                                        marker calls, for a system-call trace (strace -f)
//   plugin_bench --frames SECONDS FILE   the whole plugin at 60 fps, 19 aircraft at 60 Hz
//                                        (--smooth-off: with smoothing off, as before it)
// SKYTETHER_BENCH_PLUGIN=FILE measures another build of the plugin the same way.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>
#include <valgrind/callgrind.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "XPLMDataAccess.h"
#include "alloc_count.h"
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
  a.sin_port = htons(harness::kProtocolPort);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// ---- raw operations, written as the plugin writes its own ----

inline void RawSendto(int fd, const char *data, size_t length, const sockaddr_in &to) {
  ::sendto(fd, data, length, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

// One batched read of what is waiting, up to the plugin's bound of datagrams per run, into areas
// set up once (the kernel rewrites only the address lengths of the entries it fills).
struct RawBatch {
  char area[kDatagramReads][kReceiveArea + 1];
  sockaddr_in from[kDatagramReads];
  iovec vector[kDatagramReads];
  mmsghdr message[kDatagramReads];
  int used = 0;
  RawBatch() {
    for (int i = 0; i < kDatagramReads; ++i) {
      vector[i] = {area[i], kReceiveArea};
      message[i].msg_hdr = {};
      message[i].msg_hdr.msg_name = &from[i];
      message[i].msg_hdr.msg_namelen = sizeof from[i];
      message[i].msg_hdr.msg_iov = &vector[i];
      message[i].msg_hdr.msg_iovlen = 1;
    }
  }
};
RawBatch rawBatch;

inline int RawBatchRead(int fd) {
  for (int i = 0; i < rawBatch.used; ++i) rawBatch.message[i].msg_hdr.msg_namelen = sizeof rawBatch.from[i];
  const int got = ::recvmmsg(fd, rawBatch.message, kDatagramReads, MSG_DONTWAIT | MSG_TRUNC, nullptr);
  rawBatch.used = got > 0 ? got : 0;
  return rawBatch.used;
}

// One datagram read as the plugin made them before it read in batches, for the figures of that build.
inline int RawDatagramRead(int fd, char *area) {
  sockaddr_in from{};
  socklen_t fromLength = sizeof from;
  return int(::recvfrom(fd, area, kReceiveArea, MSG_TRUNC, reinterpret_cast<sockaddr *>(&from), &fromLength));
}

inline int RawStreamRead(int fd, char *area) { return int(::recvfrom(fd, area, kReceiveArea, 0, nullptr, nullptr)); }

// The reads of one packet cycle, done raw: one batched datagram read, stream reads up to the
// first that finds nothing. Returns the datagrams and stream reads that brought something.
inline int RawCycleReads() {
  char area[kReceiveArea + 1];
  int got = RawBatchRead(rig->datagramFd());
  for (int i = 0; i < kStreamReads && RawStreamRead(rig->streamFd(), area) > 0; ++i) ++got;
  return got;
}

// The host calls the plugin must make, made directly: the broadcast's 24 reads of the user's
// aircraft and SetAircraftData's 25 writes into a slot.
struct HostCalls {
  XPLMDataRef singles[17], gear, throttle, lights[5];
  XPLMDataRef slot[20][25];
  HostCalls() {
    const char *own[17] = {"sim/flightmodel/position/local_x",   "sim/flightmodel/position/local_y",
                           "sim/flightmodel/position/local_z",   "sim/flightmodel/position/latitude",
                           "sim/flightmodel/position/longitude", "sim/flightmodel/position/elevation",
                           "sim/flightmodel/position/theta",     "sim/flightmodel/position/phi",
                           "sim/flightmodel/position/psi",       "sim/flightmodel/controls/flaprat",
                           "sim/flightmodel/controls/flap2rat",  "sim/flightmodel/controls/sbrkrat",
                           "sim/flightmodel/controls/slatrat",   "sim/flightmodel/controls/swdi",
                           "sim/joystick/FC_ptch",               "sim/joystick/FC_roll",
                           "sim/joystick/FC_hdng"};
    for (int i = 0; i < 17; ++i) singles[i] = XPLMFindDataRef(own[i]);
    gear = XPLMFindDataRef("sim/aircraft/parts/acf_gear_deploy");
    throttle = XPLMFindDataRef("sim/flightmodel/engine/ENGN_thro");
    const char *light[5] = {"beacon_lights_on", "landing_lights_on", "strobe_lights_on", "nav_lights_on",
                            "taxi_light_on"};
    for (int i = 0; i < 5; ++i) lights[i] = XPLMFindDataRef((std::string("sim/cockpit/electrical/") + light[i]).c_str());
    const char *parts[25] = {"_x", "_y", "_z", "_lat", "_lon", "_el", "_the", "_phi", "_psi", "_flap_ratio",
                             "_flap_ratio2", "_spoiler_ratio", "_speedbrake_ratio", "_slat_ratio", "_wing_sweep",
                             "_yolk_pitch", "_yolk_roll", "_yolk_yaw", "_gear_deploy", "_throttle",
                             "_beacon_lights_on", "_landing_lights_on", "_nav_lights_on", "_strobe_lights_on",
                             "_taxi_light_on"};
    for (int n = 1; n < 20; ++n)
      for (int i = 0; i < 25; ++i) {
        // The host names the slats of planes 2 to 19 "sla1", as the plugin finds them.
        const std::string part = i == 13 && n > 1 ? "_sla1_ratio" : parts[i];
        slot[n][i] = XPLMFindDataRef(("sim/multiplayer/position/plane" + std::to_string(n) + part).c_str());
      }
  }
  float Reads() const {
    float sum = 0, gearValues[10], throttleValues[8];
    for (XPLMDataRef r : singles) sum += XPLMGetDataf(r);
    XPLMGetDatavf(gear, gearValues, 0, 10);
    XPLMGetDatavf(throttle, throttleValues, 0, 8);
    for (XPLMDataRef r : lights) sum += float(XPLMGetDatai(r));
    return sum + gearValues[0] + throttleValues[0];
  }
  void Writes(int n, float v) const {
    float values[10] = {v, v, v, v, v, v, v, v, v, v};
    for (int i = 0; i < 18; ++i) XPLMSetDataf(slot[n][i], v);
    XPLMSetDatavf(slot[n][18], values, 0, 9);
    XPLMSetDatavf(slot[n][19], values, 0, 8);
    for (int i = 20; i < 25; ++i) XPLMSetDatai(slot[n][i], 1);
  }
};

// Puts reports (and notices) in the plugin's sockets and waits until the stream bytes are there.
void Load(const std::vector<std::string> &reports, const std::string &notices) {
  rig->peer().sendDatagrams(reports);
  if (!notices.empty()) {
    rig->peer().sendStream(notices);
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
      rig->peer().drainDatagrams();
      n = 0;
      state.ResumeTiming();
    }
  }
  rig->peer().drainDatagrams();
  state.counters["bytes"] = double(line.size());
}

// Heap allocations made inside the timed calls, per call.
void CountAllocations(benchmark::State &state, unsigned long allocations) {
  state.counters["allocations_per_call"] = double(allocations) / double(state.iterations());
}

void Plugin_DrawPlanes(benchmark::State &state) {
  int n = 0;
  unsigned long allocations = 0;
  for (auto _ : state) {
    const unsigned long before = bench::Allocations();
    benchmark::DoNotOptimize(rig->DrawPlanes());
    allocations += bench::Allocations() - before;
    if (++n == kSendBatch) {
      state.PauseTiming();
      rig->peer().drainDatagrams();
      n = 0;
      state.ResumeTiming();
    }
  }
  rig->peer().drainDatagrams();
  CountAllocations(state, allocations);
}

// ---- 2 and 3. packet cycle ----

void Floor_EmptyDatagramRead(benchmark::State &state) {
  char area[kReceiveArea + 1];
  for (auto _ : state) benchmark::DoNotOptimize(RawDatagramRead(rig->datagramFd(), area));
}

void Floor_EmptyBatchRead(benchmark::State &state) {
  for (auto _ : state) benchmark::DoNotOptimize(RawBatchRead(rig->datagramFd()));
}

void Floor_EmptyStreamRead(benchmark::State &state) {
  char area[kReceiveArea + 1];
  for (auto _ : state) benchmark::DoNotOptimize(RawStreamRead(rig->streamFd(), area));
}

void Floor_CycleReadsNothingWaiting(benchmark::State &state) {
  for (auto _ : state) benchmark::DoNotOptimize(RawCycleReads());
}

// One packet cycle, counting what it allocates.
inline void CountedCycle(unsigned long &allocations) {
  const unsigned long before = bench::Allocations();
  benchmark::DoNotOptimize(rig->PacketProcess());
  allocations += bench::Allocations() - before;
}

void Plugin_CycleNothingWaiting(benchmark::State &state) {
  unsigned long allocations = 0;
  for (auto _ : state) CountedCycle(allocations);
  CountAllocations(state, allocations);
}

// The raw reads of a cycle with count reports (slots 1 to 19 in turn) and the notices waiting.
void FloorCycle(benchmark::State &state, int count, bool notices) {
  const auto reports = rig->MakeReports(count, false);
  const std::string text = notices ? rig->Notices() : "";
  const int expected = count + (notices ? 1 : 0);
  for (auto _ : state) {
    state.PauseTiming();
    Load(reports, text);
    state.ResumeTiming();
    if (RawCycleReads() != expected) state.SkipWithError("a report or the notices did not arrive");
  }
  state.counters["bytes"] = double(reports[0].size());
}

// Each cycle's reports are sent later than the last cycle's, as a pilot's are: with smoothing on,
// a report no newer than the one its slot holds is dropped before most of its work.
void PluginCycle(benchmark::State &state, int count, bool otherCell, bool notices) {
  const std::string text = notices ? rig->Notices() : "";
  unsigned long allocations = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Load(rig->MakeReports(count, otherCell, PluginRig::NextSent()), text);
    state.ResumeTiming();
    CountedCycle(allocations);
  }
  CountAllocations(state, allocations);
}

void Floor_CycleReads19Reports(benchmark::State &state) { FloorCycle(state, 19, false); }
void Plugin_Cycle19Reports(benchmark::State &state) { PluginCycle(state, 19, false, false); }
void Plugin_Cycle19ReportsOtherCell(benchmark::State &state) { PluginCycle(state, 19, true, false); }
void Floor_CycleReads90Reports(benchmark::State &state) { FloorCycle(state, kDatagramReads, false); }
void Plugin_Cycle90Reports(benchmark::State &state) { PluginCycle(state, kDatagramReads, false, false); }
void Floor_CycleReads19Reports3Notices(benchmark::State &state) { FloorCycle(state, 19, true); }
void Plugin_Cycle19Reports3Notices(benchmark::State &state) { PluginCycle(state, 19, false, true); }

// ---- placement of the traffic every frame ----

void SleepUntil(double t);

// Each call 0.2 ms after the last, outside the measure: called back to back, an aircraft would not
// move by a float's step between two calls, and the placement would write nothing, as it does for
// a held aircraft. A fixed count (0.2 s of calls) stays well inside the half second the aircraft
// move on without a report.
constexpr int kPlaceCalls = 1000;
template <typename Call>
void PacedCalls(benchmark::State &state, Call call) {
  unsigned long allocations = 0;
  for (auto _ : state) {
    state.PauseTiming();
    SleepUntil(bench::Now() + 2e-4);
    state.ResumeTiming();
    const unsigned long before = bench::Allocations();
    call();
    allocations += bench::Allocations() - before;
  }
  CountAllocations(state, allocations);
}

// The writes the placement must make each frame, made directly: 6 for each of 19 slots.
void Floor_PlaceWrites19(benchmark::State &state) {
  static const HostCalls calls;
  float v = 0;
  PacedCalls(state, [&] {
    v += 0.001f;
    for (int n = 1; n < 20; ++n)
      for (int i : {0, 1, 2, 6, 7, 8}) XPLMSetDataf(calls.slot[n][i], v);
  });
}

// SkytetherPlaceTraffic with 19 slots shown, each moving (four reports 30 ms apart taken).
void Plugin_PlaceTraffic19(benchmark::State &state) {
  if (!rig->HasPlaceTraffic()) {
    state.SkipWithError("this plugin has no every-frame placement");
    return;
  }
  for (int i = 0; i < 4; ++i) {
    Load(rig->MakeReports(19, false, PluginRig::NextSent()), "");
    rig->PacketProcess();
  }
  PacedCalls(state, [] { benchmark::DoNotOptimize(rig->PlaceTraffic()); });
}

void Register() {
  benchmark::RegisterBenchmark("Floor_SendtoOfPositionLength", Floor_SendtoOfPositionLength);
  benchmark::RegisterBenchmark("Plugin_DrawPlanes", Plugin_DrawPlanes);
  benchmark::RegisterBenchmark("Floor_EmptyDatagramRead", Floor_EmptyDatagramRead);
  benchmark::RegisterBenchmark("Floor_EmptyBatchRead", Floor_EmptyBatchRead);
  benchmark::RegisterBenchmark("Floor_EmptyStreamRead", Floor_EmptyStreamRead);
  benchmark::RegisterBenchmark("Floor_CycleReadsNothingWaiting", Floor_CycleReadsNothingWaiting);
  benchmark::RegisterBenchmark("Plugin_CycleNothingWaiting", Plugin_CycleNothingWaiting);
  benchmark::RegisterBenchmark("Floor_CycleReads19Reports", Floor_CycleReads19Reports);
  benchmark::RegisterBenchmark("Plugin_Cycle19Reports", Plugin_Cycle19Reports);
  benchmark::RegisterBenchmark("Plugin_Cycle19ReportsOtherCell", Plugin_Cycle19ReportsOtherCell);
  benchmark::RegisterBenchmark("Floor_CycleReads90Reports", Floor_CycleReads90Reports);
  benchmark::RegisterBenchmark("Plugin_Cycle90Reports", Plugin_Cycle90Reports);
  benchmark::RegisterBenchmark("Floor_CycleReads19Reports3Notices", Floor_CycleReads19Reports3Notices);
  benchmark::RegisterBenchmark("Plugin_Cycle19Reports3Notices", Plugin_Cycle19Reports3Notices);
  benchmark::RegisterBenchmark("Floor_PlaceWrites19", Floor_PlaceWrites19)->Iterations(kPlaceCalls);
  benchmark::RegisterBenchmark("Plugin_PlaceTraffic19", Plugin_PlaceTraffic19)->Iterations(kPlaceCalls);
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

// The packet cycle's paths, each a prepare step (outside the measure) and the call measured.
struct CyclePath {
  const char *name;
  std::function<void()> prepare, call;
};

std::vector<CyclePath> CyclePaths() {
  static const std::string notices = rig->Notices();
  auto cycle = [] { rig->PacketProcess(); };
  auto raw = [] { RawCycleReads(); };
  // Each run's reports sent later than the last run's.
  auto load = [](int count, bool otherCell, const std::string &text) {
    return [=] { Load(rig->MakeReports(count, otherCell, PluginRig::NextSent()), text); };
  };
  return {
      {"Floor_CycleReadsNothingWaiting", [] {}, raw},
      {"Plugin_CycleNothingWaiting", [] {}, cycle},
      {"Floor_CycleReads19Reports", load(19, false, ""), raw},
      {"Plugin_Cycle19Reports", load(19, false, ""), cycle},
      {"Plugin_Cycle19ReportsOtherCell", load(19, true, ""), cycle},
      {"Floor_CycleReads90Reports", load(kDatagramReads, false, ""), raw},
      {"Plugin_Cycle90Reports", load(kDatagramReads, false, ""), cycle},
      {"Floor_CycleReads19Reports3Notices", load(19, false, notices), raw},
      {"Plugin_Cycle19Reports3Notices", load(19, false, notices), cycle},
  };
}

// Warms the paths first: statics, first-use lookups, the model notice's first load.
void Warm() {
  for (int i = 0; i < 3; ++i) {
    rig->DrawPlanes();
    Load(rig->MakeReports(19, false), rig->Notices());
    rig->PacketProcess();
  }
  rig->peer().drainDatagrams();
}

// Named, so that a profile can collect it alone (--toggle-collect=*TwoFrames*).
__attribute__((noinline)) void TwoFrames() {
  rig->DrawPlanes();
  rig->PacketProcess();
  if (rig->HasPlaceTraffic()) rig->PlaceTraffic();
  rig->DrawPlanes();
  if (rig->HasPlaceTraffic()) rig->PlaceTraffic();
}

int RunCallgrind() {
  const std::string line = rig->positionLine();
  const sockaddr_in to = ServerAddress();
  auto drain = [] { rig->peer().drainDatagrams(); };
  Warm();
  const int n = 100;
  Section("Floor_SendtoOfPositionLength", n, drain,
          [&] { RawSendto(rig->datagramFd(), line.data(), line.size(), to); });
  Section("Plugin_DrawPlanes", n, drain, [] { rig->DrawPlanes(); });
  char area[kReceiveArea + 1];
  Section("Floor_EmptyDatagramRead", n, [] {}, [&] { RawDatagramRead(rig->datagramFd(), area); });
  for (const CyclePath &p : CyclePaths()) Section(p.name, n, p.prepare, p.call);
  if (rig->HasPlaceTraffic()) {
    for (int i = 0; i < 4; ++i) {
      Load(rig->MakeReports(19, false, PluginRig::NextSent()), "");
      rig->PacketProcess();
    }
    Section(
        "Plugin_PlaceTraffic19", n, [] {}, [] { rig->PlaceTraffic(); });
  }
  // Two frames at 60 fps while 19 aircraft report at 60 Hz: two reports a slot waiting for the
  // one packet cycle of the two frames, the broadcast and the placement in each.
  Section(
      "Plugin_TwoFrames19At60Hz", n,
      [] {
        Load(rig->MakeReports(19, false, PluginRig::NextSent()), "");
        Load(rig->MakeReports(19, false, PluginRig::NextSent()), "");
        rig->peer().drainDatagrams();
      },
      TwoFrames);
  return 0;
}

// Each cycle path between two marker calls that a system-call trace shows with their text: the
// calls of the main thread between "begin NAME xN" and "end" are the path's, N times over.
void Marker(const std::string &text) { ::access(("/skytether-syscalls/" + text).c_str(), F_OK); }

int RunSyscalls() {
  Warm();
  const int n = 20;
  for (const CyclePath &p : CyclePaths()) {
    for (int i = 0; i < n; ++i) {
      p.prepare();
      Marker(std::string("begin ") + p.name + " x" + std::to_string(n));
      p.call();
      Marker("end");
    }
  }
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
  int frames = 0;  // frames and seconds are summed over blocks
  double cpuSeconds = 0, wallSeconds = 0;
  std::vector<double> perFrameUs;
  std::vector<double> cycleFrameUs, otherFrameUs;  // frames with and without a packet cycle
};

// Calls so far of the flight loop registered with this first interval.
int LoopCalls(const skyhost::Host &host, float firstInterval) {
  for (const auto &f : host.flightLoops())
    if (std::fabs(f.firstInterval - firstInterval) < 1e-6f) return f.calls;
  return 0;
}

// Runs frames at fps in real time for the given seconds, numbering them on from `index`; the CPU
// time of each frame is the thread's (user + system). frame(i) does frame i and says whether a
// packet cycle ran in it.
template <typename Frame>
void RunFrames(FrameFigures &f, int &index, double fps, double seconds, Frame frame) {
  const double start = bench::Now();
  double next = start;
  while (next < start + seconds) {
    SleepUntil(next);
    const double c0 = bench::ThreadCpu();
    const bool cycle = frame(index++);
    const double used = bench::ThreadCpu() - c0;
    f.cpuSeconds += used;
    f.perFrameUs.push_back(used * 1e6);
    (cycle ? f.cycleFrameUs : f.otherFrameUs).push_back(used * 1e6);
    ++f.frames;
    next += 1.0 / fps;
  }
  f.wallSeconds += bench::Now() - start;
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

void WriteFigures(FILE *f, const char *name, const FrameFigures &x) {
  std::fprintf(f,
               " \"%s\": {\"frames\": %d, \"seconds\": %.3f, \"us_per_frame\": %.3f, \"median_frame_us\": %.3f,"
               " \"p99_frame_us\": %.3f, \"frames_with_cycle\": %zu, \"median_frame_with_cycle_us\": %.3f,"
               " \"median_frame_without_cycle_us\": %.3f}",
               name, x.frames, x.wallSeconds, x.frames ? x.cpuSeconds / x.frames * 1e6 : 0.0, Median(x.perFrameUs),
               Quantile(x.perFrameUs, 0.99), x.cycleFrameUs.size(), Median(x.cycleFrameUs), Median(x.otherFrameUs));
}

// The whole plugin at 60 fps while 19 aircraft report at 60 Hz, beside the same frames done raw:
// one sendto of the position line's length each frame and, every other frame (where the plugin's
// cycle runs), one batched read of the datagrams waiting and one stream read on the plugin's
// sockets, which take the same reports. A third kind of frame adds the host calls the plugin
// must make: 24 reads a frame, and 25 writes for each slot a run brought a report for.
// They alternate in blocks of two seconds so all see the same machine.
int RunFramesMode(double seconds, const char *out, bool smoothOff) {
  constexpr double kFps = 60.0;
  constexpr int kAircraft = 19;
  constexpr double kRate = 60.0;
  constexpr double kBlock = 2.0;

  // The empty host first: the same frames with nothing loaded, the host's own cost.
  FrameFigures empty;
  {
    skyhost::TempDir dir("skytether-bench-empty-");
    skyhost::HostOptions options;
    options.root = dir.path();
    skyhost::Host bare(options);
    int index = 0;
    RunFrames(empty, index, kFps, std::min(seconds, 5.0), [&](int) {
      bare.runFrame(1.0 / kFps);
      return false;
    });
  }

  std::string error;
  PluginRig local;
  local.smoothOff = smoothOff;
  if (!local.Start(&error)) {
    std::fprintf(stderr, "plugin_bench: %s\n", error.c_str());
    return 1;
  }
  rig = &local;
  // The server's side: 19 aircraft at 60 Hz each, spread over the period, and a reader for the
  // plugin's own datagrams. The peer sleeps between sends, so the plugin never wakes it.
  std::atomic<bool> stop{false};
  std::atomic<long> sent{0};
  std::thread server([&] {
    const double t0 = bench::Now();
    long k = 0;
    std::vector<std::string> one(1), reports;
    while (!stop.load()) {
      SleepUntil(t0 + double(k) / (kAircraft * kRate));
      // Each round sent at its own time, as pilots' reports are.
      if (k % kAircraft == 0) reports = local.MakeReports(kAircraft, false, bench::Now() - t0);
      one[0] = reports[size_t(k % kAircraft)];
      local.peer().sendDatagrams(one);
      ++k;
      sent.store(k);
      if (k % kAircraft == 0) local.peer().drainDatagrams();
    }
  });
  const std::string line = local.positionLine();
  const sockaddr_in to = ServerAddress();
  const long drops0 = local.DatagramDrops();
  const long sent0 = sent.load();
  const HostCalls calls;
  FrameFigures raw, rawHost, loaded;
  int rawIndex = 0, rawHostIndex = 0, loadedIndex = 0;
  for (double done = 0; done < seconds; done += kBlock) {
    RunFrames(raw, rawIndex, kFps, kBlock, [&](int i) {
      RawSendto(local.datagramFd(), line.data(), line.size(), to);
      if (i % 2 == 0) return false;
      RawCycleReads();
      return true;
    });
    // The same, plus the host calls the plugin makes for what it sends and receives.
    RunFrames(rawHost, rawHostIndex, kFps, kBlock, [&](int i) {
      benchmark::DoNotOptimize(calls.Reads());
      RawSendto(local.datagramFd(), line.data(), line.size(), to);
      if (i % 2 == 0) return false;
      const int got = RawBatchRead(local.datagramFd());
      bool slot[20] = {};
      for (int k = 0; k < got; ++k) slot[std::atoi(rawBatch.area[k]) % 20] = true;
      for (int n = 1; n < 20; ++n)
        if (slot[n]) calls.Writes(n, float(n));
      char area[kReceiveArea + 1];
      for (int k = 0; k < kStreamReads && RawStreamRead(local.streamFd(), area) > 0; ++k) {
      }
      return true;
    });
    RunFrames(loaded, loadedIndex, kFps, kBlock, [&](int) {
      const int cycles = LoopCalls(local.host(), 0.03f);
      local.host().runFrame(1.0 / kFps);
      return LoopCalls(local.host(), 0.03f) != cycles;
    });
  }
  const long sentDuring = sent.load() - sent0;
  const long drops = local.DatagramDrops() - drops0;
  stop.store(true);
  server.join();
  local.Stop();

  const double emptyPerFrame = empty.cpuSeconds / empty.frames * 1e6;
  const double loadedPerFrame = loaded.cpuSeconds / loaded.frames * 1e6;
  const double rawPerFrame = raw.cpuSeconds / raw.frames * 1e6;
  const double rawHostPerFrame = rawHost.cpuSeconds / rawHost.frames * 1e6;
  const double pluginPerFrame = loadedPerFrame - emptyPerFrame;
  const double share = pluginPerFrame * 1e-6 * loaded.frames / loaded.wallSeconds * 100.0;
  const double rawShare = rawPerFrame * 1e-6 * raw.frames / raw.wallSeconds * 100.0;
  FILE *f = std::fopen(out, "w");
  if (f == nullptr) return 1;
  std::fprintf(f,
               "{\"fps\": %.0f, \"aircraft\": %d, \"rate_hz\": %.0f, \"reports_sent\": %ld,"
               " \"reports_dropped_by_kernel\": %ld,\n"
               " \"plugin_us_per_frame\": %.3f, \"plugin_share_of_core_percent\": %.4f,\n"
               " \"raw_us_per_frame\": %.3f, \"raw_share_of_core_percent\": %.4f, \"plugin_vs_raw\": %.3f,\n"
               " \"raw_with_host_calls_us_per_frame\": %.3f, \"plugin_vs_raw_with_host_calls\": %.3f,\n",
               kFps, kAircraft, kRate, sentDuring, drops, pluginPerFrame, share, rawPerFrame, rawShare,
               rawPerFrame > 0 ? pluginPerFrame / rawPerFrame : 0.0, rawHostPerFrame,
               rawHostPerFrame > 0 ? pluginPerFrame / rawHostPerFrame : 0.0);
  WriteFigures(f, "empty_host", empty);
  std::fprintf(f, ",\n");
  WriteFigures(f, "host_with_plugin", loaded);
  std::fprintf(f, ",\n");
  WriteFigures(f, "raw", raw);
  std::fprintf(f, ",\n");
  WriteFigures(f, "raw_with_host_calls", rawHost);
  std::fprintf(f, "}\n");
  std::fclose(f);
  std::printf("whole plugin: %.2f us per frame (host with plugin %.2f, empty host %.2f), %.3f %% of one core; "
              "raw frames %.2f us (%.3f %%), with the host calls %.2f us\n",
              pluginPerFrame, loadedPerFrame, emptyPerFrame, share, rawPerFrame, rawShare, rawHostPerFrame);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--frames") == 0) {
    if (argc < 4) {
      std::fprintf(stderr, "usage: plugin_bench --frames SECONDS FILE [--smooth-off]\n");
      return 2;
    }
    return RunFramesMode(std::atof(argv[2]), argv[3], argc >= 5 && std::strcmp(argv[4], "--smooth-off") == 0);
  }
  std::string error;
  PluginRig local;
  // --callgrind --smooth-off: the same paths with smoothing off.
  local.smoothOff = argc >= 3 && std::strcmp(argv[2], "--smooth-off") == 0;
  if (!local.Start(&error)) {
    std::fprintf(stderr, "plugin_bench: %s\n", error.c_str());
    return 1;
  }
  rig = &local;
  int status = 0;
  if (argc >= 2 && (std::strcmp(argv[1], "--callgrind") == 0 || std::strcmp(argv[1], "--profile") == 0)) {
    clientRequests = std::strcmp(argv[1], "--callgrind") == 0;
    status = RunCallgrind();
  } else if (argc >= 2 && std::strcmp(argv[1], "--syscalls") == 0) {
    status = RunSyscalls();
  } else {
    Register();
    benchmark::AddCustomContext("plugin_file", bench::PluginFile());
    benchmark::AddCustomContext("position_line_bytes", std::to_string(local.positionLine().size()));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
  }
  local.Stop();
  return status;
}
