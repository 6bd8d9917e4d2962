#include "core/relay_rates.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>

#include "core/geometry.h"

namespace skytether {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kMetresPerDegree = 6371008.8 * kPi / 180;

constexpr double kLowestRate = 0.2;  // one report in 5 s: a far aircraft still moves
constexpr double kHighestRate = 1000;

bool ReadNumber(std::string_view text, double *out) {
  if (text.empty() || text.size() > 31) return false;
  char buf[32];
  text.copy(buf, text.size());
  buf[text.size()] = '\0';
  char *end = nullptr;
  const double v = std::strtod(buf, &end);
  if (end != buf + text.size() || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

std::string Number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

}  // namespace

std::vector<RelayStep> RelayRates::ChangeSteps() {
  // Near, where pilots fly formation and taxi side by side, a tenth of a metre; a few kilometres
  // out an aircraft is a few pixels, and tens of kilometres out a dot.
  return {{10000, 40, 0.1, 2}, {50000, 10, 2, 3}, {kAnyDistance, 2, 20, 5}};
}

std::vector<RelayStep> RelayRates::RateSteps() { return {{10000, 40}, {50000, 10}, {kAnyDistance, 2}}; }

bool RelayRates::Parse(std::string_view text, std::string *error) {
  if (text == "off" || text == "on" || text == "changes" || text == "steps") {
    *this = RelayRates();
    on = text != "off";
    if (text == "steps") {
      rule = Rule::kSteps;
      steps = RateSteps();
    }
    return true;
  }
  Rule read_rule = Rule::kSteps;
  if (text.substr(0, 8) == "changes:") {
    read_rule = Rule::kChanges;
    text.remove_prefix(8);
  } else if (text.substr(0, 6) == "steps:") {
    text.remove_prefix(6);
  }
  const bool changes = read_rule == Rule::kChanges;
  std::vector<RelayStep> read;
  while (true) {
    const std::size_t comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    std::vector<std::string_view> parts;
    for (std::string_view rest = item;;) {
      const std::size_t colon = rest.find(':');
      parts.push_back(rest.substr(0, colon));
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
    const std::size_t plain = changes ? 3 : 1;  // the values of the floor
    if (parts.size() != plain && parts.size() != plain + 1) {
      *error = changes ? "a step is KM:RATE:METRES:HEARTBEAT, the floor RATE:METRES:HEARTBEAT: \"" +
                             std::string(item) + "\""
                       : "a step is KM:RATE, the floor RATE: \"" + std::string(item) + "\"";
      return false;
    }
    const bool ranged = parts.size() == plain + 1;
    RelayStep s{kAnyDistance, 0};
    double km = 0;
    if (ranged) {
      if (!ReadNumber(parts[0], &km) || !(km > 0) || km > 20000) {
        *error = "a range must be kilometres above 0: \"" + std::string(item) + "\"";
        return false;
      }
      s.within_m = km * 1000;
    }
    if (!ReadNumber(parts[ranged], &s.per_second) || s.per_second < kLowestRate || s.per_second > kHighestRate) {
      *error = "a rate must be reports a second from " + Number(kLowestRate) + " to " + Number(kHighestRate) +
               ": \"" + std::string(item) + "\"";
      return false;
    }
    if (changes) {
      if (!ReadNumber(parts[ranged + 1], &s.metres) || s.metres < 0.01 || s.metres > 10000) {
        *error = "a tolerance must be metres from 0.01 to 10000: \"" + std::string(item) + "\"";
        return false;
      }
      // A plugin takes a slot for gone after 10 s without a report.
      if (!ReadNumber(parts[ranged + 2], &s.heartbeat) || s.heartbeat < 1 / s.per_second || s.heartbeat > 8) {
        *error = "a heartbeat must be seconds from one report at the step's rate to 8: \"" + std::string(item) +
                 "\"";
        return false;
      }
    }
    if (!read.empty() && (s.within_m <= read.back().within_m || s.per_second > read.back().per_second ||
                          s.metres < read.back().metres)) {
      *error = "steps go outward, each no faster and no tighter than the one before: \"" + std::string(item) +
               "\"";
      return false;
    }
    read.push_back(s);
    if (comma == std::string_view::npos) break;
    if (read.size() == 8) {
      *error = "at most 8 steps";
      return false;
    }
    if (!ranged) {
      *error = "only the last step, the floor, goes without a range";
      return false;
    }
    text.remove_prefix(comma + 1);
  }
  if (read.back().within_m != kAnyDistance) {
    *error = changes ? "the last step is the floor, without a range (as in changes:10:40:0.1:1,2:20:5)"
                     : "the last step is the floor, a rate without a range (as in 10:40,50:10,2)";
    return false;
  }
  on = true;
  rule = read_rule;
  steps = std::move(read);
  return true;
}

std::string RelayRates::Describe() const {
  if (!on) return "off";
  const bool changes = rule == Rule::kChanges;
  std::string out = changes ? "changes: " : "steps: ";
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const RelayStep &s = steps[i];
    if (i > 0) out += changes ? "; " : ", ";
    out += s.within_m == kAnyDistance ? (steps.size() == 1 ? "any distance " : "beyond ")
                                      : "up to " + Number(s.within_m / 1000) + " km ";
    out += Number(s.per_second) + "/s";
    if (changes) out += ", " + Number(s.metres) + " m or every " + Number(s.heartbeat) + " s";
  }
  return out;
}

RelayPacer::RelayPacer(const RelayRates &rates)
    : on_(rates.on && !rates.steps.empty()),
      changes_(rates.rule == RelayRates::Rule::kChanges),
      steps_(rates.steps) {
  for (const RelayStep &s : rates.steps) {
    // The registry orders pilots by the chord between unit vectors: compare in the same measure
    // (no chord is longer than the earth's diameter, 2, squared 4).
    chord2_.push_back(s.within_m == RelayRates::kAnyDistance ? 5.0 : MetersToChord2(s.within_m));
    period_.push_back(1.0 / s.per_second);
  }
}

int RelayPacer::StepOf(double chord2) const {
  int step = 0;
  while (chord2 > chord2_[step] && step + 1 < static_cast<int>(chord2_.size())) ++step;
  return step;
}

bool RelayPacer::Take(PairPace *pace, int step, double t) const {
  // Nearer than before: the faster rate applies from this report on, not from the slower due time,
  // unless the pair was that near within the last second (a pair that flips between two steps
  // would otherwise be due at once on every flip), and then its pace goes on from now.
  const bool was_near = pace->near_step <= step && t - pace->near_at < 1.0;
  if (step < pace->step) pace->clock = was_near ? std::min(pace->clock, t) : PairPace::kNever;
  pace->step = step;
  if (step <= pace->near_step || !was_near) {
    pace->near_step = step;
    pace->near_at = t;
  }
  // Due once a period after the last report was due, less half a period: a sender's uneven frames
  // cost no report, while over any stretch no more than one per period goes.
  const double period = period_[step];
  if (t < pace->clock + period / 2 || t < pace->cap + period_[0] / 2) return false;
  pace->clock = std::max(pace->clock + period, t);
  pace->cap = std::max(pace->cap + period_[0], t);
  return true;
}

namespace {

// The recipient's picture, as the plugin moves it: the path is fitted over the reports of the last
// kWindow seconds (kQuantumWindow for positions in float steps, whose staircase the longer window
// averages out) and at least two; flown on at full speed for kCoast past the newest report, then
// slowing evenly to a stop at kCoastEnd; a turn rate beyond kMaxTurn is not followed. A report
// farther than kJumpMetres from the path is no motion: the plugin starts again from it alone.
constexpr double kWindow = 0.4, kQuantumWindow = 1.0;
constexpr double kStrayMetres = 0.05;  // a float step above this takes the longer window
constexpr double kMinSpan = 0.015;
constexpr double kCoast = 1.0, kCoastEnd = 2.0;
constexpr double kMaxTurn = 1.0;
constexpr double kJumpMetres = 50;
// A moving aircraft (faster than kStill) gets its next report kArriving before the recipient's
// plugin, slowing it down, would show it off by the step's tolerance, whatever the heartbeat: the
// report's way and the recipient's frame take a few hundredths of a second, a jittery link a tenth
// more. Near, that is before the slowing starts.
constexpr double kStill = 0.3;
constexpr double kArriving = 0.15;
// A gear that starts to move goes at once, whatever the step.
constexpr float kGearTolerance = 0.01f;

double Wrapped(double degrees) { return degrees - 360.0 * std::floor((degrees + 180.0) / 360.0); }

// Angles and controls are judged by the step's tolerance in metres: an aircraft about 20 m across
// is off by that much at its tips when its heading or attitude is off by metres / 10 m radians.
double AngleTolerance(double metres) { return std::clamp(metres / 10 * 180 / kPi, 0.25, 10.0); }
float ControlTolerance(double metres) { return static_cast<float>(std::clamp(0.2 * metres, 0.02, 0.25)); }

// The path's m(u) of a steady turn at turn radians a second: the place u seconds on, per unit of
// the velocity at the start (as complex numbers x + iz).
std::complex<double> TurnFactor(double turn, double u) {
  if (std::fabs(turn) < 1e-9) return {u, 0};
  const double half = std::sin(turn * u / 2);
  return {std::sin(turn * u) / turn, 2 * half * half / turn};
}

}  // namespace

void OffsetFrom(const ChangeTrack &k, double lat, double lon, double *east, double *south) {
  const ChangeTrack::Sent &n = k.Newest();
  *east = Wrapped(lon - n.lon) * kMetresPerDegree * std::cos(n.lat * kPi / 180);
  *south = (n.lat - lat) * kMetresPerDegree;
}

double FloatDegreeStep(double lat, double lon) {
  // A float's step at v is 2^(e - 24) for v = m 2^e, m in [0.5, 1).
  auto step = [](double v) {
    int e = 0;
    std::frexp(v, &e);
    return std::ldexp(1.0, e - 24);
  };
  return std::max(step(lat), step(lon) * std::cos(lat * kPi / 180)) * kMetresPerDegree;
}

int SignificantDigits(std::string_view text) {
  int digits = 0;
  bool leading = true;
  for (const char c : text) {
    if (c == 'e' || c == 'E') break;
    if (c < '0' || c > '9') continue;
    if (c == '0' && leading) continue;
    leading = false;
    ++digits;
  }
  return digits;
}

void FitPath(ChangeTrack *k, double window) {
  const ChangeTrack::Sent &n = k->Newest();
  ChangeTrack::Path p;
  p.at = n.sent;
  p.y = n.elevation;
  p.psi = n.psi;
  // The newest reports within the window, and at least two.
  int g = 1;
  while (g < k->count && (n.sent - k->Back(g).sent <= window || g < 2)) ++g;
  if (g < 2 || !(n.sent - k->Back(g - 1).sent >= kMinSpan)) {
    k->path = p;
    return;
  }
  // Heading and its rate; then the positions on a turn at that rate, A + m(u) V with u the time
  // from the newest report; the height on a line.
  double st = 0, sw = 0, stt = 0, stw = 0, sy = 0, sty = 0;
  for (int i = 0; i < g; ++i) {
    const ChangeTrack::Sent &e = k->Back(i);
    const double t = e.sent - n.sent, w = Wrapped(e.psi - n.psi), y = e.elevation - n.elevation;
    st += t;
    sw += w;
    stt += t * t;
    stw += t * w;
    sy += y;
    sty += t * y;
  }
  const double det = g * stt - st * st;
  if (det > 0) {
    p.psi_rate = (g * stw - st * sw) / det;
    p.psi = n.psi + (sw - p.psi_rate * st) / g;
    p.vy = (g * sty - st * sy) / det;
    p.y = n.elevation + (sy - p.vy * st) / g;
  }
  const double turn = std::clamp(p.psi_rate * kPi / 180, -kMaxTurn, kMaxTurn);
  std::complex<double> sm, sp, smp;
  double smm = 0;
  for (int i = 0; i < g; ++i) {
    const ChangeTrack::Sent &e = k->Back(i);
    const std::complex<double> m = TurnFactor(turn, e.sent - n.sent);
    double east = 0, south = 0;
    OffsetFrom(*k, e.lat, e.lon, &east, &south);
    const std::complex<double> pk(east, south);
    sm += m;
    sp += pk;
    smp += std::conj(m) * pk;
    smm += std::norm(m);
  }
  const double d = g * smm - std::norm(sm);
  if (d > 0) {
    const std::complex<double> v = (double(g) * smp - std::conj(sm) * sp) / d, a = (sp - sm * v) / double(g);
    p.x = a.real();
    p.z = a.imag();
    p.vx = v.real();
    p.vz = v.imag();
    p.turn = turn;
  }
  k->path = p;
}

std::array<double, 4> Predicted(const ChangeTrack &k, double u) {
  const ChangeTrack::Path &p = k.path;
  if (k.count == 0) return {0, 0, 0, 0};
  // Seconds flown along the path: all of it up to kCoast, then slowing to a stop at kCoastEnd.
  const double g = u - p.at;
  double e = g;
  if (g >= kCoastEnd) {
    e = (kCoast + kCoastEnd) / 2;
  } else if (g > kCoast) {
    const double h = g - kCoast;
    e = kCoast + h - h * h / (2 * (kCoastEnd - kCoast));
  }
  const std::complex<double> at = std::complex<double>(p.x, p.z) + TurnFactor(p.turn, e) * std::complex<double>(p.vx, p.vz);
  return {at.real(), p.y + p.vy * e, at.imag(), p.psi + p.psi_rate * e};
}

bool RelayPacer::Changed(ChangeTrack *k, int step, const Motion &m, double t) const {
  const RelayStep &s = steps_[step];
  // The recipients show the newest report they have: an older one would change nothing.
  if (k->count > 0 && !(m.sent > k->Newest().sent)) return false;
  if (t < k->clock + period_[step] / 2) return false;
  double off2 = 0;
  bool go = k->count == 0;
  if (!go) {
    const ChangeTrack::Path &path = k->path;
    const double metres = std::max(s.metres, m.quantum);
    // Slowing evenly to a stop over (kCoastEnd - kCoast) from speed v, the aircraft falls behind by
    // v h^2 / 2 in the first h seconds.
    const double speed = m.held ? 0 : std::sqrt(path.vx * path.vx + path.vy * path.vy + path.vz * path.vz);
    const double slowed = speed >= kStill ? kCoast - kArriving + std::sqrt(2 * metres * (kCoastEnd - kCoast) / speed)
                                          : s.heartbeat;
    const std::array<double, 4> p =
        m.held ? std::array<double, 4>{0, k->Newest().elevation, 0, k->Newest().psi} : Predicted(*k, m.sent);
    double east = 0, south = 0;
    OffsetFrom(*k, m.lat, m.lon, &east, &south);
    const double dx = east - p[0], dy = m.elevation - p[1], dz = south - p[2];
    off2 = dx * dx + dy * dy + dz * dz;
    const double angle = AngleTolerance(s.metres);
    go = m.sent - k->Newest().sent >= std::min(s.heartbeat, slowed) || !(off2 <= metres * metres) ||
         !(std::fabs(Wrapped(m.psi - p[3])) <= angle) || !(std::fabs(Wrapped(m.theta - k->theta)) <= angle) ||
         !(std::fabs(Wrapped(m.phi - k->phi)) <= angle);
  }
  if (!go && m.controls_version != k->controls_version) {
    const float tolerance = ControlTolerance(s.metres);
    for (int i = 0; i < static_cast<int>(m.controls.size()) && !go; ++i) {
      const float d = std::fabs(m.controls[i] - k->controls[i]);
      go = i >= kLightControls && i < kThrottleControls ? d != 0
           : i >= kGearControls && i < kLightControls   ? d > kGearTolerance
                                                        : d > tolerance;
    }
  }
  if (!go) return false;
  k->clock = std::max(k->clock + period_[step], t);
  // A report the path cannot have come to starts the recipient's track again (or a non-finite one).
  if (!(off2 <= kJumpMetres * kJumpMetres)) k->count = 0;
  k->newest = (k->newest + 1) % ChangeTrack::kKept;
  k->count = std::min(k->count + 1, ChangeTrack::kKept);
  k->kept[k->newest] = ChangeTrack::Sent{m.sent, m.lat, m.lon, m.elevation, m.psi};
  FitPath(k, m.quantum > kStrayMetres ? kQuantumWindow : kWindow);
  k->theta = m.theta;
  k->phi = m.phi;
  k->controls = m.controls;
  k->controls_version = m.controls_version;
  return true;
}

bool RelayPacer::Pass(PairPace *pace, int step, bool changed, double t) const {
  const bool fresh = pace->clock == PairPace::kNever;
  // Nearer than before: the recipient's picture came from a looser step, so the next report goes
  // at once, unless the pair was that near within the last second (a pair flipping between two
  // steps would otherwise get every report).
  const bool was_near = pace->near_step <= step && t - pace->near_at < 1.0;
  const bool nearer = step < pace->step && !was_near;
  pace->step = step;
  if (step <= pace->near_step || !was_near) {
    pace->near_step = step;
    pace->near_at = t;
  }
  if (!(changed || fresh || nearer) || t < pace->cap + period_[0] / 2) return false;
  pace->cap = std::max(pace->cap + period_[0], t);
  pace->clock = t;
  return true;
}

}  // namespace skytether
