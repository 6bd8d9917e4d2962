#include "skyhost/Script.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "System.h"
#include "XPStandardWidgets.h"

namespace skyhost {

namespace {

std::string trim(const std::string &s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::vector<std::string> words(const std::string &s) {
  std::istringstream in(s);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

bool parseNumber(const std::string &s, double *out) {
  if (s.empty()) return false;
  char *end = nullptr;
  const double v = std::strtod(s.c_str(), &end);
  if (!end || *end != '\0') return false;
  *out = v;
  return true;
}

bool parseInt(const std::string &s, int *out) {
  double v;
  if (!parseNumber(s, &v) || v != static_cast<double>(static_cast<long>(v)) || v < -1e9 || v > 1e9)
    return false;
  *out = static_cast<int>(v);
  return true;
}

// "tab", "return", ... or one character.
bool keyCode(const std::string &name, char *out) {
  static const struct {
    const char *name;
    char code;
  } named[] = {{"tab", 9},      {"return", 13}, {"enter", 13}, {"backspace", 8},
               {"delete", 127}, {"escape", 27}, {"space", ' '}};
  for (const auto &n : named) {
    if (name == n.name) {
      *out = n.code;
      return true;
    }
  }
  if (name.size() == 1) {
    *out = name[0];
    return true;
  }
  return false;
}

// A leading selector: "quoted text" or one word; the remainder goes to *rest.
std::string leadingSelector(const std::string &s, std::string *rest) {
  if (!s.empty() && s[0] == '"') {
    const size_t close = s.find('"', 1);
    if (close != std::string::npos) {
      *rest = trim(s.substr(close + 1));
      return s.substr(0, close + 1);
    }
  }
  const size_t space = s.find_first_of(" \t");
  *rest = space == std::string::npos ? "" : trim(s.substr(space));
  return s.substr(0, space);
}

// The whole text as one selector, quotes optional.
std::string wholeSelector(const std::string &s) {
  return trim(s);
}

std::vector<std::string> menuPath(const std::string &s) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    const size_t sep = s.find(" > ", start);
    out.push_back(trim(s.substr(start, sep == std::string::npos ? std::string::npos : sep - start)));
    if (sep == std::string::npos) break;
    start = sep + 3;
  }
  return out;
}

bool parseValues(const std::string &s, std::vector<double> *out) {
  std::string item;
  std::istringstream in(s);
  while (std::getline(in, item, ',')) {
    double v;
    if (!parseNumber(trim(item), &v)) return false;
    out->push_back(v);
  }
  return !out->empty();
}

// "circle LAT LON ALT RADIUS SPEED [PHASE]" into its six numbers (phase 0 when left out).
std::string parseCircle(const std::vector<std::string> &w, double out[6]) {
  const char *usage = "fly wants circle LAT LON ALT_M RADIUS_M SPEED_MPS [PHASE_DEG], or stop";
  if (w.size() < 6 || w.size() > 7 || w[0] != "circle") return usage;
  out[5] = 0;
  for (size_t k = 1; k < w.size(); ++k)
    if (!parseNumber(w[k], &out[k - 1])) return usage;
  return Host::circleFlightProblem(out[0], out[1], out[2], out[3], out[4], out[5]);
}

// "steer SPEED TURN CLIMB [bank DEG] [heading DEG]" into speed, turn, climb, bank, heading (NaN
// for those left out).
std::string parseSteer(const std::vector<std::string> &w, double out[5]) {
  const char *usage = "fly wants steer SPEED_MPS TURN_DPS CLIMB_MPS [bank DEG] [heading DEG]";
  if (w.size() < 4 || w.size() % 2 != 0 || w[0] != "steer") return usage;
  out[3] = out[4] = NAN;
  for (size_t k = 1; k < 4; ++k)
    if (!parseNumber(w[k], &out[k - 1]) || !std::isfinite(out[k - 1])) return usage;
  for (size_t k = 4; k + 1 < w.size(); k += 2) {
    const int slot = w[k] == "bank" ? 3 : w[k] == "heading" ? 4 : -1;
    if (slot < 0 || !parseNumber(w[k + 1], &out[slot]) || !std::isfinite(out[slot])) return usage;
  }
  return "";
}

// "jump EAST_M NORTH_M" into its two numbers.
std::string parseJump(const std::vector<std::string> &w, double out[2]) {
  const char *usage = "fly wants jump EAST_M NORTH_M";
  if (w.size() != 3 || w[0] != "jump") return usage;
  for (size_t k = 1; k < 3; ++k)
    if (!parseNumber(w[k], &out[k - 1]) || !std::isfinite(out[k - 1])) return usage;
  return "";
}

// A script's file name: absolute, or taken from baseDir.
std::string pathFrom(const std::string &baseDir, const std::string &name) {
  return sys::isAbsolutePath(name) ? name : baseDir + "/" + name;
}

const char *kClassNames[] = {"None",      "MainWindow", "SubWindow",       "Button",  "TextField",
                             "ScrollBar", "Caption",    "GeneralGraphics", "Progress"};

}  // namespace

bool parseScreenSize(const std::string &text, int *width, int *height) {
  const std::string t = trim(text);
  const size_t x = t.find('x');
  if (x == std::string::npos) return false;
  return parseInt(t.substr(0, x), width) && parseInt(t.substr(x + 1), height) && *width >= 1 &&
         *width <= 8192 && *height >= 1 && *height <= 8192;
}

namespace {

// Why an action's arguments cannot work, or empty.
std::string checkAction(const ScriptAction &a) {
  const std::vector<std::string> w = words(a.rest);
  if (a.verb == "key") {
    char c;
    return w.size() == 1 && keyCode(w[0], &c) ? "" : "key wants one character or tab|return|backspace|delete";
  }
  if (a.verb == "type") return a.rest.empty() ? "type wants text" : "";
  if (a.verb == "menu") return a.rest.empty() ? "menu wants NAME > NAME ..." : "";
  if (a.verb == "mouse") {
    int x, y;
    if (w.size() != 3 || !parseInt(w[0], &x) || !parseInt(w[1], &y)) return "mouse wants X Y down|drag|up";
    return w[2] == "down" || w[2] == "drag" || w[2] == "up" ? "" : "mouse wants X Y down|drag|up";
  }
  if (a.verb == "click") {
    int x, y;
    return w.size() == 2 && parseInt(w[0], &x) && parseInt(w[1], &y) ? "" : "click wants X Y";
  }
  if (a.verb == "set") {
    std::vector<double> v;
    if (w.size() != 2 || !parseValues(w[1], &v)) return "set wants DATAREF VALUE[,VALUE...]";
    static const std::vector<std::string> names = Host::dataRefNames();
    if (std::find(names.begin(), names.end(), w[0]) == names.end()) return "no dataref named " + w[0];
    return "";
  }
  if (a.verb == "enable" || a.verb == "disable" || a.verb == "reload-planes")
    return w.empty() ? "" : a.verb + " takes no arguments";
  if (a.verb == "planes") {
    int n;
    return w.size() == 1 && parseInt(w[0], &n) && n >= 1 && n <= 20 ? ""
                                                                    : "planes wants a count from 1 to 20";
  }
  if (a.verb == "dump") return w.size() == 1 ? "" : "dump wants FILE";
  if (a.verb == "screenshot") return w.size() == 1 ? "" : "screenshot wants FILE.png";
  if (a.verb == "fly") {
    if (w.size() == 1 && w[0] == "stop") return "";
    double c[6];
    if (!w.empty() && w[0] == "steer") return parseSteer(w, c);
    if (!w.empty() && w[0] == "jump") return parseJump(w, c);
    if (w.empty() || w[0] != "circle")
      return "fly wants circle LAT LON ALT_M RADIUS_M SPEED_MPS [PHASE_DEG], steer SPEED_MPS TURN_DPS "
             "CLIMB_MPS [bank DEG] [heading DEG], jump EAST_M NORTH_M, or stop";
    return parseCircle(w, c);
  }
  if (a.verb == "stall") {
    double s = 0;
    return w.size() == 1 && parseNumber(w[0], &s) && s > 0 && s < 3600 ? ""
                                                                       : "stall wants SECONDS (0 to 3600)";
  }
  if (a.verb == "command") {
    const bool phase = w.size() == 2 && (w[1] == "once" || w[1] == "begin" || w[1] == "end");
    return w.size() == 1 || phase ? "" : "command wants NAME [once|begin|end]";
  }
  if (a.verb == "widget-click" || a.verb == "close-box")
    return a.rest.empty() ? a.verb + " wants DESCRIPTOR" : "";
  if (a.verb == "vr") return w.size() == 1 && (w[0] == "on" || w[0] == "off") ? "" : "vr wants on|off";
  if (a.verb == "screen") {
    int width, height;
    return parseScreenSize(a.rest, &width, &height) ? "" : "screen wants WIDTHxHEIGHT, 1 to 8192 each";
  }
  if (a.verb == "ui-scale") {
    double percent;
    return w.size() == 1 && parseNumber(w[0], &percent) && percent >= 50 && percent <= 400
               ? ""
               : "ui-scale wants a percentage from 50 to 400";
  }
  if (a.verb == "camera") {
    double fov = 60;
    if (w.size() == 1 && w[0] == "map") return "";
    if ((w.size() == 1 || w.size() == 2) && w[0] == "cockpit" &&
        (w.size() == 1 || (parseNumber(w[1], &fov) && fov >= 1 && fov <= 170)))
      return "";
    return "camera wants map, or cockpit [FIELD_OF_VIEW_DEG] (1 to 170)";
  }
  if (a.verb == "widget-type") {
    std::string text;
    leadingSelector(a.rest, &text);
    return a.rest.empty() || text.empty() ? "widget-type wants DESCRIPTOR TEXT" : "";
  }
  return "unknown verb " + a.verb;
}

}  // namespace

Script parseScript(std::istream &in) {
  Script s;
  int lineNo = 0;
  for (std::string line; std::getline(in, line);) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string t = trim(line);
    if (t.empty() || t[0] == '#') continue;
    // AT, VERB, one blank, then the rest; type keeps its text exactly, other verbs trim it.
    size_t i = line.find_first_not_of(" \t");
    const size_t atEnd = line.find_first_of(" \t", i);
    const std::string at = line.substr(i, atEnd == std::string::npos ? std::string::npos : atEnd - i);
    i = atEnd == std::string::npos ? line.size() : line.find_first_not_of(" \t", atEnd);
    if (i == std::string::npos) i = line.size();
    const size_t verbEnd = std::min(line.find_first_of(" \t", i), line.size());
    const std::string verb = line.substr(i, verbEnd - i);
    std::string rest = verbEnd < line.size() ? line.substr(verbEnd + 1) : "";
    if (verb != "type") rest = trim(rest);
    ScriptAction a;
    a.line = lineNo;
    a.verb = verb;
    if (!parseNumber(at, &a.at) || a.at < 0) {
      s.errors.push_back("line " + std::to_string(lineNo) + ": the time " + at +
                         " is not a number of seconds");
      continue;
    }
    a.rest = rest;
    const std::string why = checkAction(a);
    if (!why.empty()) {
      s.errors.push_back("line " + std::to_string(lineNo) + ": " + why);
      continue;
    }
    s.actions.push_back(a);
  }
  std::stable_sort(s.actions.begin(), s.actions.end(),
                   [](const ScriptAction &x, const ScriptAction &y) { return x.at < y.at; });
  return s;
}

Script parseScriptFile(const std::string &path) {
  std::ifstream in(std::filesystem::u8path(path));
  if (!in) {
    Script s;
    s.errors.push_back("cannot read " + path);
    return s;
  }
  return parseScript(in);
}

XPWidgetID findWidgetBySelector(const Host &host, const std::string &selectorText) {
  std::string sel = trim(selectorText);
  if (sel.size() >= 2 && sel.front() == '"' && sel.back() == '"')
    return host.findWidget(sel.substr(1, sel.size() - 2));
  const size_t hash = sel.find('#');
  if (hash != std::string::npos) {
    int n;
    const std::string cls = sel.substr(0, hash);
    if (parseInt(sel.substr(hash + 1), &n) && n >= 0) {
      int wanted = -2;
      if (cls.empty()) wanted = -3;
      if (cls == "Custom") wanted = -1;
      for (int c = 0; c < static_cast<int>(sizeof kClassNames / sizeof kClassNames[0]); ++c)
        if (cls == kClassNames[c]) wanted = c;
      if (wanted != -2) {
        int seen = 0;
        for (const Host::Widget &w : host.widgets()) {
          if (wanted != -3 && w.widgetClass != wanted) continue;
          if (seen++ == n) return w.id;
        }
        return nullptr;
      }
    }
  }
  return host.findWidget(sel);
}

std::string runScriptAction(Host &host, const ScriptAction &a, const std::string &baseDir) {
  const std::string why = checkAction(a);
  if (!why.empty()) return why;
  const std::vector<std::string> w = words(a.rest);
  if (a.verb == "key") {
    char c = 0;
    keyCode(w[0], &c);
    host.pressKey(c);
  } else if (a.verb == "type") {
    host.type(a.rest);
  } else if (a.verb == "menu") {
    if (!host.pickMenu(menuPath(a.rest))) return "no menu item " + a.rest;
  } else if (a.verb == "mouse") {
    int x = 0, y = 0;
    parseInt(w[0], &x);
    parseInt(w[1], &y);
    const XPLMMouseStatus st = w[2] == "down"   ? xplm_MouseDown
                               : w[2] == "drag" ? xplm_MouseDrag
                                                : xplm_MouseUp;
    host.mouse(x, y, st);
  } else if (a.verb == "click") {
    int x = 0, y = 0;
    parseInt(w[0], &x);
    parseInt(w[1], &y);
    host.click(x, y);
  } else if (a.verb == "set") {
    std::vector<double> v;
    parseValues(w[1], &v);
    const XPLMDataTypeID type = host.dataRefType(w[0]);
    if (type == xplmType_FloatArray || type == xplmType_IntArray) {
      host.setvf(w[0], std::vector<float>(v.begin(), v.end()));
    } else {
      if (v.size() != 1) return w[0] + " takes one value";
      host.setd(w[0], v[0]);
    }
  } else if (a.verb == "enable") {
    host.enable();
  } else if (a.verb == "disable") {
    host.disable();
  } else if (a.verb == "planes") {
    int n = 0;
    parseInt(w[0], &n);
    host.setTotalAircraft(n);
  } else if (a.verb == "reload-planes") {
    host.reloadPlanes();
  } else if (a.verb == "dump") {
    // Written whole under another name first: whoever waits for the file reads all of it.
    const std::string path = pathFrom(baseDir, w[0]);
    {
      std::ofstream out(std::filesystem::u8path(path + ".part"));
      out << host.dumpJson();
      if (!out) return "cannot write " + path;
    }
    if (!sys::replaceFile(path + ".part", path)) return "cannot write " + path;
  } else if (a.verb == "screenshot") {
    if (!host.screenshot(pathFrom(baseDir, w[0]))) return host.screenshotError();
  } else if (a.verb == "fly") {
    if (w[0] == "stop") {
      host.stopFlying();
    } else if (w[0] == "steer") {
      double c[5];
      parseSteer(w, c);
      host.flySteer(c[0], c[1], c[2], c[3], c[4]);
    } else if (w[0] == "jump") {
      double c[2];
      parseJump(w, c);
      if (!host.jumpSteered(c[0], c[1])) return "fly jump: the aircraft is not steered";
    } else {
      double c[6];
      parseCircle(w, c);
      host.flyCircle(c[0], c[1], c[2], c[3], c[4], c[5]);
    }
  } else if (a.verb == "stall") {
    double s = 0;
    parseNumber(w[0], &s);
    host.stall(s);
  } else if (a.verb == "command") {
    const std::string phase = w.size() == 2 ? w[1] : "once";
    const bool known = phase == "begin" ? host.commandBegin(w[0])
                       : phase == "end" ? host.commandEnd(w[0])
                                        : host.commandOnce(w[0]);
    if (!known) return (phase == "end" ? "no held command " : "no command ") + w[0];
  } else if (a.verb == "vr") {
    host.setVR(w[0] == "on");
  } else if (a.verb == "screen") {
    int width = 0, height = 0;
    parseScreenSize(a.rest, &width, &height);
    host.setScreenSize(width, height);
  } else if (a.verb == "ui-scale") {
    double percent = 100;
    parseNumber(w[0], &percent);
    host.setInterfaceScale(percent / 100);
  } else if (a.verb == "camera") {
    Host::Camera camera;
    camera.mode = w[0] == "map" ? Host::Camera::Map : Host::Camera::Cockpit;
    if (w.size() == 2) parseNumber(w[1], &camera.fovDeg);
    host.setCamera(camera);
  } else if (a.verb == "widget-click") {
    XPWidgetID id = findWidgetBySelector(host, wholeSelector(a.rest));
    if (!id) return "no widget " + a.rest;
    if (!host.clickWidget(id)) return "widget " + a.rest + " is not shown";
  } else if (a.verb == "close-box") {
    XPWidgetID id = findWidgetBySelector(host, wholeSelector(a.rest));
    if (!id) return "no widget " + a.rest;
    if (!host.pressCloseBox(id)) return "widget " + a.rest + " is no shown main window";
  } else if (a.verb == "widget-type") {
    std::string text;
    const std::string sel = leadingSelector(a.rest, &text);
    XPWidgetID id = findWidgetBySelector(host, sel);
    if (!id) return "no widget " + sel;
    if (!host.typeIntoWidget(id, text)) return "widget " + sel + " does not take typing";
  }
  return "";
}

}  // namespace skyhost
