// skytether-host: loads a plugin file into the simulated host, runs it for a while (optionally
// following a script of timed actions) and reports what the host saw.

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#include <shellapi.h>
#endif

#include "skyhost/Host.h"
#include "skyhost/Script.h"

namespace fs = std::filesystem;

namespace {

void usage(std::ostream &out) {
  out << "usage: skytether-host --plugin FILE --root DIR [--seconds S] [--fps F] [--realtime]\n"
         "                      [--script FILE] [--dump FILE] [--separator SEP] [--screen WxH]\n"
         "                      [--ui-scale PERCENT] [--screenshot FILE.png] [--font FILE] [--legacy-3d]\n"
         "                      [--aircraft PATH] [--start LAT,LON,ELEV_M] [--origin LAT,LON]\n"
         "                      [--planes N] [--load-ms MS] [--trace FILE] [--control FILE]\n";
}

std::string absolute(const std::string &p) {
  std::error_code ec;
  fs::path a = fs::absolute(fs::u8path(p), ec);
  return ec ? p : a.lexically_normal().u8string();
}

bool positiveNumber(const char *text, double *out) {
  char *end = nullptr;
  const double v = std::strtod(text, &end);
  if (!end || *end || !(v > 0)) return false;
  *out = v;
  return true;
}

// One line a frame: the wall-clock time the frame began (microseconds since the epoch), the
// simulated time, the user's latitude, longitude, elevation, heading, pitch and roll, then for each
// active multiplayer plane within 100 km of the user its index, latitude, longitude, elevation,
// heading, pitch and roll.
FILE *openFile(const std::string &path, const char *mode) {
#if defined(_WIN32)
  return _wfopen(fs::u8path(path).wstring().c_str(), fs::u8path(mode).wstring().c_str());
#else
  return std::fopen(path.c_str(), mode);
#endif
}

#if defined(_WIN32)
std::vector<std::string> wideArguments() {
  int count = 0;
  wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(fs::path(wide[i]).u8string());
  LocalFree(wide);
  return out;
}
#endif

class FrameTrace {
 public:
  bool open(const std::string &path) {
    file_ = openFile(path, "w");
    return file_ != nullptr;
  }
  ~FrameTrace() {
    if (file_) std::fclose(file_);
  }
  void write(const skyhost::Host &host, long long wallMicros) {
    if (!file_) return;
    const std::string own = "sim/flightmodel/position/";
    std::fprintf(file_, "%lld %.6f %.9f %.9f %.4f %.4f %.4f %.4f", wallMicros, host.elapsed(),
                 host.getd(own + "latitude"), host.getd(own + "longitude"), host.getd(own + "elevation"),
                 host.getd(own + "psi"), host.getd(own + "theta"), host.getd(own + "phi"));
    const double ux = host.getd(own + "local_x"), uy = host.getd(own + "local_y"),
                 uz = host.getd(own + "local_z");
    for (int n = 1; n < std::min(host.activeAircraftCount(), host.totalAircraft()); ++n) {
      const std::string p = "sim/multiplayer/position/plane" + std::to_string(n) + "_";
      const double x = host.getd(p + "x"), y = host.getd(p + "y"), z = host.getd(p + "z");
      if (std::hypot(x - ux, y - uy, z - uz) > 100e3) continue;
      double lat, lon, el;
      host.localToWorld(x, y, z, &lat, &lon, &el);
      std::fprintf(file_, " %d %.9f %.9f %.4f %.4f %.4f %.4f", n, lat, lon, el, host.getd(p + "psi"),
                   host.getd(p + "the"), host.getd(p + "phi"));
    }
    std::fputc('\n', file_);
  }

 private:
  FILE *file_ = nullptr;
};

// Actions a test hands the runner while it runs: lines appended to a file ("VERB ARGS", as in a
// script without the time), each run before the next frame, one a frame; "quit" ends the run.
class ControlFile {
 public:
  explicit ControlFile(std::string path) : path_(std::move(path)) {}
  bool active() const { return !path_.empty(); }
  // The next line to run, or false when none is waiting.
  bool next(std::string *line) {
    std::error_code ec;
    const uintmax_t size = active() ? fs::file_size(fs::u8path(path_), ec) : 0;
    if (active() && !ec && size > read_) {
      std::ifstream in(fs::u8path(path_), std::ios::binary);
      in.seekg(static_cast<std::streamoff>(read_));
      std::string more(static_cast<size_t>(size) - read_, '\0');
      in.read(&more[0], static_cast<std::streamsize>(more.size()));
      more.resize(static_cast<size_t>(in.gcount()));
      // Only whole lines: the rest waits for its line feed.
      const size_t end = more.rfind('\n');
      if (end != std::string::npos) {
        read_ += end + 1;
        std::istringstream lines(more.substr(0, end + 1));
        for (std::string l; std::getline(lines, l);)
          if (!l.empty()) waiting_.push_back(l);
      }
    }
    if (waiting_.empty()) return false;
    *line = waiting_.front();
    waiting_.pop_front();
    return true;
  }

 private:
  std::string path_;
  size_t read_ = 0;
  std::deque<std::string> waiting_;
};

long long wallMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

int main(int argc, char **argv) {
#if defined(_WIN32)
  // The arguments as UTF-8 (a root with any letters): Windows hands main them in its ANSI code
  // page.
  std::vector<std::string> utf8Args = wideArguments();
  std::vector<char *> utf8Argv;
  for (std::string &a : utf8Args) utf8Argv.push_back(&a[0]);
  argc = int(utf8Argv.size());
  argv = utf8Argv.data();
  std::string separator = "\\";  // the host's own on Windows
#else
  std::string separator = "/";
#endif
  std::string plugin, root, scriptFile, dumpFile, screenshotFile, fontFile, traceFile, controlFile;
  double seconds = 15, fps = 60;
  bool realtime = false, legacy3d = false;
  std::string aircraft;
  int screenW = 1024, screenH = 768;
  skyhost::HostOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&](const char *what) -> const char * {
      if (i + 1 >= argc) {
        std::cerr << "skytether-host: " << arg << " wants " << what << "\n";
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--plugin") {
      plugin = next("FILE");
    } else if (arg == "--root") {
      root = next("DIR");
    } else if (arg == "--seconds") {
      if (!positiveNumber(next("S"), &seconds)) {
        std::cerr << "skytether-host: --seconds wants a positive number\n";
        return 2;
      }
    } else if (arg == "--fps") {
      if (!positiveNumber(next("F"), &fps)) {
        std::cerr << "skytether-host: --fps wants a positive number\n";
        return 2;
      }
    } else if (arg == "--realtime") {
      realtime = true;
    } else if (arg == "--legacy-3d") {
      legacy3d = true;
    } else if (arg == "--aircraft") {
      aircraft = next("PATH");
    } else if (arg == "--script") {
      scriptFile = next("FILE");
    } else if (arg == "--dump") {
      dumpFile = next("FILE");
    } else if (arg == "--screenshot") {
      screenshotFile = next("FILE.png");
    } else if (arg == "--font") {
      fontFile = next("FILE");
    } else if (arg == "--separator") {
      separator = next("SEP");
    } else if (arg == "--screen") {
      const char *v = next("WxH");
      if (std::sscanf(v, "%dx%d", &screenW, &screenH) != 2 || screenW <= 0 || screenH <= 0) {
        std::cerr << "skytether-host: --screen wants WIDTHxHEIGHT, e.g. 1280x1024\n";
        return 2;
      }
    } else if (arg == "--ui-scale") {
      const char *v = next("PERCENT");
      char *end = nullptr;
      const double percent = std::strtod(v, &end);
      if (*end != '\0' || !(percent >= 50 && percent <= 400)) {
        std::cerr << "skytether-host: --ui-scale wants the interface scale in percent, 50 to 400\n";
        return 2;
      }
      options.interfaceScale = percent / 100;
    } else if (arg == "--start") {
      if (std::sscanf(next("LAT,LON,ELEV_M"), "%lf,%lf,%lf", &options.startLatitude, &options.startLongitude,
                      &options.startElevation) != 3 ||
          !(std::fabs(options.startLatitude) <= 89.5) || !(std::fabs(options.startLongitude) <= 180) ||
          !std::isfinite(options.startElevation)) {
        std::cerr << "skytether-host: --start wants LAT,LON,ELEV_M, e.g. 47.45,8.55,500\n";
        return 2;
      }
    } else if (arg == "--origin") {
      if (std::sscanf(next("LAT,LON"), "%lf,%lf", &options.originLatitude, &options.originLongitude) != 2 ||
          !(std::fabs(options.originLatitude) <= 89.5) || !(std::fabs(options.originLongitude) <= 180)) {
        std::cerr << "skytether-host: --origin wants LAT,LON in degrees, e.g. 47.45,8.55\n";
        return 2;
      }
    } else if (arg == "--planes") {
      const char *v = next("N");
      char *end = nullptr;
      const long n = std::strtol(v, &end, 10);
      if (*end != '\0' || n < 1 || n > 20) {
        std::cerr << "skytether-host: --planes wants a count from 1 to 20, the user's aircraft included\n";
        return 2;
      }
      options.totalAircraft = int(n);
    } else if (arg == "--load-ms") {
      const char *v = next("MS");
      char *end = nullptr;
      const double ms = std::strtod(v, &end);
      if (*end != '\0' || !(ms >= 0 && ms <= 60000)) {
        std::cerr << "skytether-host: --load-ms wants milliseconds from 0 to 60000\n";
        return 2;
      }
      options.modelLoadSeconds = ms / 1000;
    } else if (arg == "--trace") {
      traceFile = next("a file");
    } else if (arg == "--control") {
      controlFile = next("FILE");
    } else if (arg == "--help" || arg == "-h") {
      usage(std::cout);
      return 0;
    } else {
      std::cerr << "skytether-host: unknown option " << arg << "\n";
      usage(std::cerr);
      return 2;
    }
  }
  if (plugin.empty() || root.empty()) {
    usage(std::cerr);
    return 2;
  }

  // The host enters its root folder; every path given on the command line is taken from here.
  const std::string startDir = fs::current_path().u8string();
  plugin = absolute(plugin);
  root = absolute(root);
  if (!dumpFile.empty()) dumpFile = absolute(dumpFile);
  if (!screenshotFile.empty()) screenshotFile = absolute(screenshotFile);
  FrameTrace trace;
  if (!traceFile.empty() && !trace.open(absolute(traceFile))) {
    std::cerr << "skytether-host: cannot write " << traceFile << "\n";
    return 2;
  }

  skyhost::Script script;
  if (!scriptFile.empty()) {
    script = skyhost::parseScriptFile(absolute(scriptFile));
    if (!script.errors.empty()) {
      for (const auto &e : script.errors) std::cerr << "skytether-host: " << scriptFile << ": " << e << "\n";
      return 2;
    }
  }

  options.root = root;
  options.directorySeparator = separator;
  options.screenWidth = screenW;
  options.screenHeight = screenH;
  if (!fontFile.empty()) options.fontFile = absolute(fontFile);
  options.legacy3d = legacy3d;
  if (!aircraft.empty()) {
    // Kept as given, however long: the host hands out what fits the SDK's buffers.
    options.userModelPath = aircraft;
    const size_t cut = aircraft.find_last_of("/\\");
    options.userModelFile = cut == std::string::npos ? aircraft : aircraft.substr(cut + 1);
  }
  skyhost::Host host(options);
  if (!host.load(plugin)) {
    std::cerr << "skytether-host: cannot load " << plugin << ": " << host.lastError() << "\n";
    return 1;
  }
  host.enable();

  int failures = 0;
  size_t nextAction = 0;
  auto runDue = [&]() {
    while (nextAction < script.actions.size() && script.actions[nextAction].at <= host.elapsed() + 1e-9) {
      const skyhost::ScriptAction &a = script.actions[nextAction++];
      const std::string why = skyhost::runScriptAction(host, a, startDir);
      if (!why.empty()) {
        ++failures;
        std::cerr << "skytether-host: " << scriptFile << " line " << a.line << " (" << a.verb << "): " << why
                  << "\n";
      }
    }
  };
  ControlFile control(controlFile.empty() ? "" : absolute(controlFile));
  bool quit = false;
  auto runControl = [&]() {
    std::string line;
    if (!control.next(&line)) return;
    if (line == "quit") {
      quit = true;
      return;
    }
    const skyhost::Script one = [&] {
      std::istringstream in("0 " + line);
      return skyhost::parseScript(in);
    }();
    const std::string why = one.actions.empty() ? (one.errors.empty() ? "nothing to do" : one.errors[0])
                                                : skyhost::runScriptAction(host, one.actions[0], startDir);
    if (!why.empty()) {
      ++failures;
      std::cerr << "skytether-host: " << controlFile << ": " << line << ": " << why << "\n";
    }
  };
  const long frames = std::lround(seconds * fps);
  const double dt = 1.0 / fps;
  const auto wallStart = std::chrono::steady_clock::now();
  for (long k = 0; k < frames; ++k) {
    runControl();
    if (quit) break;
    runDue();
    const long long frameStart = wallMicros();
    host.runFrame(dt);
    trace.write(host, frameStart);
    // A stall is the host's own time, not frames to catch up on.
    if (realtime)
      std::this_thread::sleep_until(wallStart +
                                    std::chrono::duration<double>((k + 1) * dt + host.stalledSeconds()));
  }
  if (!quit) runDue();
  for (; nextAction < script.actions.size() && !quit; ++nextAction)
    std::cerr << "skytether-host: " << scriptFile << " line " << script.actions[nextAction].line
              << ": after the end of the run, not done\n";

  // What the host saw while the plugin ran, before shutting it down.
  const std::string json = host.dumpJson();
  const std::string report = host.report();
  const bool shot = screenshotFile.empty() || host.screenshot(screenshotFile);
  if (!shot) std::cerr << "skytether-host: " << host.screenshotError() << "\n";

  host.disable();
  host.stop();
  const bool gone = host.unload();

  if (!dumpFile.empty()) {
    std::ofstream out(fs::u8path(dumpFile));
    out << json;
    if (!out) {
      std::cerr << "skytether-host: cannot write " << dumpFile << "\n";
      return 1;
    }
  } else {
    std::cout << report;
    std::cout << "\nShutdown: disable, stop, unload: " << (gone ? "unloaded" : "STILL MAPPED") << "\n";
    if (host.leftoversAtUnload().empty()) {
      std::cout << "  nothing left registered\n";
    } else {
      for (const auto &l : host.leftoversAtUnload()) std::cout << "  left behind: " << l << "\n";
    }
    std::ifstream prefs(fs::u8path(root) / "Resources" / "plugins" / "stprefs.txt");
    if (prefs) {
      std::cout << "\nResources/plugins/stprefs.txt:\n";
      std::stringstream text;
      text << prefs.rdbuf();
      std::cout << text.str();
      if (!text.str().empty() && text.str().back() != '\n') std::cout << "\n";
    }
  }
  if (!gone) return 3;
  if (failures) return 4;
  return shot ? 0 : 5;
}
