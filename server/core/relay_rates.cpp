#include "core/relay_rates.h"

#include <algorithm>
#include <cmath>
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
  return {{10000, 40, 0.1, 1}, {50000, 10, 2, 2}, {kAnyDistance, 2, 20, 5}};
}

std::vector<RelayStep> RelayRates::RateSteps() { return {{10000, 40}, {50000, 10}, {kAnyDistance, 2}}; }

bool RelayRates::Parse(std::string_view text, std::string *error) {
  if (text == "off" || text == "on" || text == "changes" || text == "steps") {
    *this = RelayRates();
    on = text != "off";
    if (text == "changes") {
      rule = Rule::kChanges;
      steps = ChangeSteps();
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
// few tenths of a second (and at least two); flown on at full speed for kCoast past the newest
// report, then slowing evenly to a stop at kCoastEnd; a turn rate beyond kMaxTurn is not followed.
constexpr double kBaseline = 0.2;  // the older report is kept while the newer ones are this close to it
constexpr double kMinSpan = 0.015;
constexpr double kCoast = 1.0, kCoastEnd = 2.0;
constexpr double kMaxTurn = 1.0;
// A gear that starts to move goes at once, whatever the step.
constexpr float kGearTolerance = 0.01f;

double Wrapped(double degrees) { return degrees - 360.0 * std::floor((degrees + 180.0) / 360.0); }

// Angles and controls are judged by the step's tolerance in metres: an aircraft about 20 m across
// is off by that much at its tips when its heading or attitude is off by metres / 10 m radians.
double AngleTolerance(double metres) { return std::clamp(metres / 10 * 180 / kPi, 0.25, 10.0); }
float ControlTolerance(double metres) { return static_cast<float>(std::clamp(0.2 * metres, 0.02, 0.25)); }

// The path's m(u) of a steady turn at turn radians a second: the place u seconds on, per unit of
// the velocity at the start (as complex numbers x + iz).
void TurnFactor(double turn, double u, double *re, double *im) {
  if (std::fabs(turn) < 1e-9) {
    *re = u;
    *im = 0;
    return;
  }
  const double half = std::sin(turn * u / 2);
  *re = std::sin(turn * u) / turn;
  *im = 2 * half * half / turn;
}

}  // namespace

void OffsetFrom(const ChangeTrack &k, double lat, double lon, double *east, double *south) {
  *east = Wrapped(lon - k.lon[1]) * kMetresPerDegree * std::cos(k.lat[1] * kPi / 180);
  *south = (k.lat[1] - lat) * kMetresPerDegree;
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

std::array<double, 4> Predicted(const ChangeTrack &k, double u) {
  if (k.reports == 0) return {0, 0, 0, 0};
  const double y = k.elevation[1], psi = k.psi[1];
  const double span = k.sent[1] - k.sent[0];
  if (k.reports < 2 || !(span >= kMinSpan)) return {0, y, 0, psi};
  const double psi_rate = Wrapped(k.psi[1] - k.psi[0]) / span;
  const double turn = std::clamp(psi_rate * kPi / 180, -kMaxTurn, kMaxTurn);
  // Seconds flown along the path: all of it up to kCoast, then slowing to a stop at kCoastEnd.
  const double g = u - k.sent[1];
  double e = g;
  if (g >= kCoastEnd) {
    e = (kCoast + kCoastEnd) / 2;
  } else if (g > kCoast) {
    const double h = g - kCoast;
    e = kCoast + h - h * h / (2 * (kCoastEnd - kCoast));
  }
  // The velocity at the newer report that the path through both takes: older = newer + m(-span) V.
  double mr = 0, mi = 0;
  TurnFactor(turn, -span, &mr, &mi);
  const double n2 = mr * mr + mi * mi;
  double dx = 0, dz = 0;
  OffsetFrom(k, k.lat[0], k.lon[0], &dx, &dz);
  const double vr = (dx * mr + dz * mi) / n2, vi = (dz * mr - dx * mi) / n2;
  double er = 0, ei = 0;
  TurnFactor(turn, e, &er, &ei);
  return {er * vr - ei * vi, y + (y - k.elevation[0]) / span * e, er * vi + ei * vr, psi + psi_rate * e};
}

bool RelayPacer::Changed(ChangeTrack *k, int step, const Motion &m, double t) const {
  const RelayStep &s = steps_[step];
  // The recipients show the newest report they have: an older one would change nothing.
  if (k->reports > 0 && !(m.sent > k->sent[1])) return false;
  if (t < k->clock + period_[step] / 2) return false;
  bool go = k->reports == 0 || m.sent - k->sent[1] >= s.heartbeat;
  if (!go) {
    const std::array<double, 4> p = Predicted(*k, m.sent);
    double east = 0, south = 0;
    OffsetFrom(*k, m.lat, m.lon, &east, &south);
    const double dx = east - p[0], dy = m.elevation - p[1], dz = south - p[2];
    const double metres = std::max(s.metres, m.quantum);
    const double angle = AngleTolerance(s.metres);
    go = !(dx * dx + dy * dy + dz * dz <= metres * metres) || !(std::fabs(Wrapped(m.psi - p[3])) <= angle) ||
         !(std::fabs(Wrapped(m.theta - k->theta)) <= angle) || !(std::fabs(Wrapped(m.phi - k->phi)) <= angle);
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
  // The older report stays while the newer ones are close to it, as the plugin's fit spans a few
  // tenths of a second of reports when they come often.
  if (k->reports == 2 && m.sent - k->sent[0] < kBaseline) {
    k->reports = 1;
  } else if (k->reports >= 1) {
    k->sent[0] = k->sent[1];
    k->lat[0] = k->lat[1];
    k->lon[0] = k->lon[1];
    k->elevation[0] = k->elevation[1];
    k->psi[0] = k->psi[1];
  }
  k->reports = k->reports == 0 ? 1 : 2;
  k->sent[1] = m.sent;
  k->lat[1] = m.lat;
  k->lon[1] = m.lon;
  k->elevation[1] = m.elevation;
  k->psi[1] = m.psi;
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
