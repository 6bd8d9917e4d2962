#include "session.h"

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <fstream>
#include <sstream>

#include "skyhost/Host.h"

namespace e2e {

namespace {

// How long a pilot flies on after the moment its dump shows.
constexpr double kTailSeconds = 2;

void Write(const std::string &path, const std::string &content) {
  for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
    ::mkdir(path.substr(0, at).c_str(), 0755);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

// What the runner writes in its root (the trace as its buffer fills, snapshots as they are renamed
// into place, everything as it exits): a wait for one of those wakes when it happens.
class RootWatch {
 public:
  explicit RootWatch(const std::string &root) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ >= 0) inotify_add_watch(fd_, root.c_str(), IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE);
  }
  ~RootWatch() {
    if (fd_ >= 0) ::close(fd_);
  }
  RootWatch(const RootWatch &) = delete;
  RootWatch &operator=(const RootWatch &) = delete;
  // Until something in the root changed, or until deadline; false at the deadline.
  bool wait(harness::Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - harness::Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, int(left.count()) + 1) <= 0) return false;
    char events[4096];
    while (::read(fd_, events, sizeof events) > 0) {
    }
    return true;
  }

 private:
  int fd_;
};

std::string Num(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

}  // namespace

double PlacementError(const Pilot &viewer, int slot, const Pilot &other) {
  skyhost::HostOptions options;  // no root: the projection only
  static skyhost::Host projector(options);
  const std::string p = "sim/multiplayer/position/plane" + std::to_string(slot) + "_";
  const std::string own = "sim/flightmodel/position/";
  double a[3], b[3];
  projector.worldToLocal(viewer.dataref(p + "lat"), viewer.dataref(p + "lon"), viewer.dataref(p + "el"),
                         &a[0], &a[1], &a[2]);
  projector.worldToLocal(other.dataref(own + "latitude"), other.dataref(own + "longitude"),
                         other.dataref(own + "elevation"), &b[0], &b[1], &b[2]);
  return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) +
                   (a[2] - b[2]) * (a[2] - b[2]));
}

std::string WindowsBuild() {
  const char *build = std::getenv("SKYTETHER_WINDOWS_BUILD");
  return build ? build : "";
}

Pilot::Pilot(const PilotSetup &setup)
    : setup_(setup),
      root_(std::make_unique<skyhost::TempDir>(setup.windows ? "skytether-e2e-w\xC3\xAFn-" : "skytether-e2e-")) {}

std::string Pilot::hostPath(const std::string &linuxPath) const {
  if (!setup_.windows) return linuxPath;
  std::string path = "Z:" + linuxPath;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

bool Pilot::start() {
  const std::string r = root_->path();
  Write(
      r + "/Resources/plugins/stprefs.txt",
      "callsign=" + setup_.name + ";userID=" + setup_.name + ";password=" + setup_.password +
          ";flightMode=0;cockpitPosition=0;crewID=;connectAtStartup=" +
          (setup_.connectAtStartup ? "1" : "0") + ";" +
          (setup_.port != 0 ? "server=" + (setup_.server.empty() ? std::string("127.0.0.1") : setup_.server) +
                                  ":" + std::to_string(setup_.port) + ";"
           : setup_.server.empty() ? ""
                                   : "server=" + setup_.server + ";") +
          (setup_.smooth ? "" : "smoothTraffic=0;"));
  // Every pilot has the default model on disk, so a model notice for it can be loaded.
  Write(r + "/Aircraft/General Aviation/Cessna 172SP/Cessna_172SP.acf", "model");
  if (setup_.observer) Write(r + "/Resources/plugins/viewonly.txt", "");

  std::string script;
  script += "0.1 menu Skytether > Toggle Plane List\n";
  for (std::string line : setup_.script) {
    for (size_t at = line.find("{root}"); at != std::string::npos; at = line.find("{root}"))
      line.replace(at, 6, hostPath(r));
    script += line + "\n";
  }
  // The pilots start one after the other: one that ended first would log out and blank its slot
  // in the others' plane lists before they show them. So each shows its state at its own
  // end time and keeps flying a while after (a held pilot flies until the test is done).
  dumpPath_ = r + "/dump.json";
  if (!setup_.held) script += Num(setup_.seconds) + " dump " + hostPath(dumpPath_) + "\n";
  Write(r + "/script.txt", script);
  Write(r + "/control.txt", "");

  std::vector<std::string> env;
  if (!setup_.source.empty()) {
    const char *asan = std::getenv("ASAN_OPTIONS");
    // A sanitizer build wants its runtime first among preloaded libraries; ours only wraps two calls.
    env = {std::string("LD_PRELOAD=") + SKYTETHER_SOURCE_SHIM, "SKYTETHER_TEST_SOURCE=" + setup_.source,
           std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0"};
  }
  const bool chosen = std::isfinite(setup_.originLat) && std::isfinite(setup_.originLon);
  harness::ChildProcess::Options options;
  options.log = r + "/runner.log";
  options.env = env;
  const double seconds = setup_.held ? kHeldSeconds : setup_.seconds + kTailSeconds;
  options.time_limit = seconds + 120;  // a host that hangs, or one the test forgot, ends by itself
  std::vector<std::string> argv = {SKYTETHER_HOST_RUNNER, "--plugin", SKYTETHER_PLUGIN_FILE};
  if (setup_.windows) {
    // The environment ./run windows set up: wine's prefix and its one server for the run.
    options.search_path = true;
    argv = {"wine", WindowsBuild() + "/bin/skytether-host.exe", "--plugin",
            hostPath(WindowsBuild() + "/Skytether/win_x64/Skytether.xpl")};
  }
  for (const std::string &a :
       {std::string("--root"), hostPath(r), std::string("--seconds"), Num(seconds), std::string("--control"),
        hostPath(r + "/control.txt"), std::string("--fps"), std::to_string(setup_.fps), std::string("--realtime"),
        std::string("--trace"), hostPath(r + "/trace.txt"), std::string("--script"), hostPath(r + "/script.txt"),
        std::string("--start"), Num(setup_.lat) + "," + Num(setup_.lon) + "," + Num(setup_.elevation),
        std::string("--origin"),
        chosen ? Num(setup_.originLat) + "," + Num(setup_.originLon) : Num(setup_.lat) + "," + Num(setup_.lon)})
    argv.push_back(a);
  return process_.Start(argv, options);
}

bool Pilot::finish(double extraSeconds) {
  if (setup_.held) return quit(extraSeconds);
  int status = process_.Wait(setup_.seconds + kTailSeconds + extraSeconds);
  if (status == -1) process_.Stop();
  return status == 0 && ParseJsonFile(dumpPath_, dump_);
}

void Pilot::act(const std::string &action) {
  std::ofstream out(root_->path() + "/control.txt", std::ios::app);
  out << action << "\n";
}

bool Pilot::snapshot(double timeout) {
  const std::string path = root_->path() + "/snapshot-" + std::to_string(++snapshots_) + ".json";
  RootWatch watch(root_->path());
  act("dump " + hostPath(path));
  for (auto deadline = harness::After(timeout);;) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return ParseJsonFile(path, dump_);
    if (!process_.Running() || !watch.wait(deadline)) return false;
  }
}

bool Pilot::framesUntil(const std::function<bool(const std::vector<Frame> &)> &done, double timeout) {
  RootWatch watch(root_->path());
  for (auto deadline = harness::After(timeout);;) {
    if (done(frames())) return true;
    if (!process_.Running() || !watch.wait(deadline)) return false;
  }
}

bool Pilot::quit(double timeout) {
  if (process_.Running()) act("quit");
  const int status = process_.Wait(timeout);
  if (status == -1) process_.Stop();
  return status == 0;
}

void Pilot::kill() {
  process_.Kill();
}

std::vector<Pilot::Frame> Pilot::frames() const {
  std::vector<Frame> out;
  std::ifstream in(root_->path() + "/trace.txt");
  std::string line;
  // A last line without its end is still being written: it is left for the next read.
  while (std::getline(in, line) && !in.eof()) {
    std::istringstream s(line);
    long long micros;
    double skip;
    Frame f;
    if (!(s >> micros >> skip >> f.own[0] >> f.own[1] >> f.own[2] >> skip >> skip >> skip)) continue;
    f.wall = double(micros) * 1e-6;
    std::array<double, 4> p;
    while (s >> p[0] >> p[1] >> p[2] >> p[3] >> skip >> skip >> skip) f.planes.push_back(p);
    out.push_back(f);
  }
  return out;
}

double Pilot::dataref(const std::string &name) const {
  return dump_["datarefs"][name].number;
}

std::vector<std::string> Pilot::strings() const {
  std::vector<std::string> out;
  for (const auto &op : dump_["drawing"].items)
    if (op["kind"].text == "string") out.push_back(op["text"].text);
  return out;
}

int Pilot::slotOf(const std::string &callsign) const {
  for (int n = 1; n <= 19; ++n) {
    std::string prefix = std::to_string(n) + ": " + callsign + " ";
    if (row(n).rfind(prefix, 0) == 0) return n;
  }
  return -1;
}

std::string Pilot::row(int slot) const {
  std::string prefix = std::to_string(slot) + ": ";
  for (const auto &s : strings())
    if (s.rfind(prefix, 0) == 0) return s;
  return "";
}

std::vector<std::string> Pilot::chatHistory() const {
  std::vector<std::string> out;
  for (const auto &op : dump_["drawing"].items) {
    if (op["kind"].text != "string") continue;
    const Json &rgb = op["rgb"];
    if (rgb[0].number == 0.5 && rgb[1].number == 1.0 && rgb[2].number == 0.5) out.push_back(op["text"].text);
  }
  return out;
}

bool Pilot::widgetVisible(const std::string &descriptor) const {
  for (const auto &w : dump_["widgets"].items)
    if (w["descriptor"].text == descriptor)
      return w["shown"].type == Json::Bool ? w["shown"].boolean : w["visible"].boolean;
  return false;
}

bool Server::start() {
  std::vector<std::string> args = {"--port", std::to_string(port_)};
  args.insert(args.end(), args_.begin(), args_.end());
  // A port given again may still be held a moment by the one before: the start is retried.
  process_ = std::make_unique<harness::ServerProcess>(args, 0, port_ == 0 ? 0 : 30);
  return process_->ok();
}

}  // namespace e2e
