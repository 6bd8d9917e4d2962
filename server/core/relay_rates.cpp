#include "core/relay_rates.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "core/geometry.h"

namespace skytether {
namespace {

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

bool RelayRates::Parse(std::string_view text, std::string *error) {
  if (text == "off" || text == "on") {
    *this = RelayRates();
    on = text == "on";
    return true;
  }
  std::vector<RelayStep> read;
  while (true) {
    const std::size_t comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    const std::size_t colon = item.find(':');
    RelayStep s{kAnyDistance, 0};
    double km = 0;
    if (colon != std::string_view::npos) {
      if (!ReadNumber(item.substr(0, colon), &km) || !(km > 0) || km > 20000) {
        *error = "a range must be kilometres above 0: \"" + std::string(item) + "\"";
        return false;
      }
      s.within_m = km * 1000;
    }
    if (!ReadNumber(item.substr(colon == std::string_view::npos ? 0 : colon + 1), &s.per_second) ||
        s.per_second < kLowestRate || s.per_second > kHighestRate) {
      *error = "a rate must be reports a second from " + Number(kLowestRate) + " to " + Number(kHighestRate) +
               ": \"" + std::string(item) + "\"";
      return false;
    }
    if (!read.empty() && (s.within_m <= read.back().within_m || s.per_second > read.back().per_second)) {
      *error = "steps go outward, each no faster than the one before: \"" + std::string(item) + "\"";
      return false;
    }
    read.push_back(s);
    if (comma == std::string_view::npos) break;
    if (colon == std::string_view::npos) {
      *error = "only the last step, the floor, goes without a range";
      return false;
    }
    text.remove_prefix(comma + 1);
  }
  if (read.back().within_m != kAnyDistance) {
    *error = "the last step is the floor, a rate without a range (as in 10:40,50:10,2)";
    return false;
  }
  on = true;
  steps = std::move(read);
  return true;
}

std::string RelayRates::Describe() const {
  if (!on) return "off";
  std::string out;
  for (const RelayStep &s : steps) {
    if (!out.empty()) out += ", ";
    out += s.within_m == kAnyDistance ? (steps.size() == 1 ? "any distance " : "beyond ")
                                      : "up to " + Number(s.within_m / 1000) + " km ";
    out += Number(s.per_second) + "/s";
  }
  return out;
}

RelayPacer::RelayPacer(const RelayRates &rates) : on_(rates.on && !rates.steps.empty()) {
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

}  // namespace skytether
