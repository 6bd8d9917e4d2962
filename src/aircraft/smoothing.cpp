#include "aircraft/smoothing.h"

#include <cmath>
#include <limits>

namespace {

// How far the aircraft is moved on past its newest report before it holds. Longer bridges longer
// gaps in the reports, and shows a pilot who stopped sending that much farther along.
constexpr double kMaxExtrapolation = 0.5;
// Rates come from the newest report and the newest one at least this much older. Latitude and
// longitude travel as single-precision floats, about 0.4 m apart at mid latitudes: over two
// adjacent reports that is metres per second of noise; over this baseline, under 1 m/s. Longer
// baselines lag in turns.
constexpr double kRateBaseline = 0.2;
// Shorter spans than this give no rates at all (the first reports of a track).
constexpr double kMinRateSpan = 0.05;
// Time constant of the blend that takes away a disagreement between shown and reported.
constexpr double kBlendSeconds = 0.15;
// A disagreement larger than this is not motion (a pilot put elsewhere): jumped, and the track
// starts again from that report.
constexpr double kJumpMetres = 50;
// Each window of the clock offset; the offset is the least of the last two.
constexpr double kOffsetWindow = 2;

// Turn rates beyond this (radians a second) are not followed by the track: a pilot spinning on
// the spot moves nowhere.
constexpr double kMaxTurn = 1.0;

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kPi = 3.14159265358979323846;

// An angle difference brought into -180..180.
double Wrapped(double degrees) {
  return degrees - 360.0 * std::floor((degrees + 180.0) / 360.0);
}

}  // namespace

double SenderSeconds(long microsA, double arrivalA, long microsB, double arrivalB) {
  const double micro = double(microsB - microsA) * 1e-6;
  return micro + std::round((arrivalB - arrivalA) - micro);
}

bool SmoothTrack::IsNewer(double arrival, long micros) const {
  if (count_ == 0 || !timed_) return true;
  // Only a report sent before the newest is old; one of the same moment is taken.
  const Entry &last = entries_[newest_];
  return SenderSeconds(last.micros, last.arrival, micros, arrival) >= 0;
}

void SmoothTrack::Reset() {
  count_ = 0;
  newest_ = 0;
  timed_ = false;
  rate_ = Pose{};
  rateSpan_ = 0;
  correction_ = Pose{};
  correctionAt_ = 0;
  offsetPrevious_ = offsetCurrent_ = kInfinity;
  windowStart_ = 0;
}

bool SmoothTrack::Take(const TrackReport &r) {
  const Pose &q = r.pose;
  const bool finite = std::isfinite(q.x) && std::isfinite(q.y) && std::isfinite(q.z) &&
                      std::isfinite(q.theta) && std::isfinite(q.phi) && std::isfinite(q.psi);
  // A report that cannot be moved on from is shown as it came, and the track starts again after it.
  if (!r.timed || !finite) {
    Reset();
    entries_[0] = Entry{0, r.arrival, 0, r.pose};
    count_ = 1;
    return true;
  }
  double sent = 0;
  const bool following = count_ > 0 && timed_;
  // Until a track has rates it stands still: its reports are shown as they come, not blended in.
  const bool moving = following && rateSpan_ > 0;
  Pose shown{};
  if (following) {
    if (!IsNewer(r.arrival, r.micros)) return false;
    const Entry &last = entries_[newest_];
    sent = last.sent + SenderSeconds(last.micros, last.arrival, r.micros, r.arrival);
    shown = At(r.arrival);
  } else {
    Reset();
    timed_ = true;
  }

  newest_ = count_ == 0 ? 0 : (newest_ + 1) % kKept;
  if (count_ < kKept) ++count_;
  entries_[newest_] = Entry{sent, r.arrival, r.micros, r.pose};

  if (r.arrival - windowStart_ >= 2 * kOffsetWindow) {
    offsetPrevious_ = offsetCurrent_ = kInfinity;
    windowStart_ = r.arrival;
  } else if (r.arrival - windowStart_ >= kOffsetWindow) {
    offsetPrevious_ = offsetCurrent_;
    offsetCurrent_ = kInfinity;
    windowStart_ = r.arrival;
  }
  if (r.arrival - sent < offsetCurrent_) offsetCurrent_ = r.arrival - sent;

  EstimateRates();
  correction_ = Pose{};
  correctionAt_ = r.arrival;
  if (!moving) return true;
  const Pose predicted = Predicted(r.arrival);
  const double dx = shown.x - predicted.x, dy = shown.y - predicted.y, dz = shown.z - predicted.z;
  if (!(dx * dx + dy * dy + dz * dz <= kJumpMetres * kJumpMetres)) {
    const Entry first = entries_[newest_];
    Reset();
    timed_ = true;
    entries_[0] = first;
    entries_[0].sent = 0;
    count_ = 1;
    offsetCurrent_ = r.arrival;
    windowStart_ = r.arrival;
    correctionAt_ = r.arrival;
    return true;
  }
  const double theta = Wrapped(shown.theta - predicted.theta), phi = Wrapped(shown.phi - predicted.phi);
  correction_ = Pose{dx, dy, dz, theta, phi, Wrapped(shown.psi - predicted.psi)};
  return true;
}

void SmoothTrack::EstimateRates() {
  const Entry &last = entries_[newest_];
  const Entry *base = nullptr;
  for (int k = 1; k < count_; ++k) {
    const Entry &e = entries_[(newest_ - k + kKept) % kKept];
    if (last.sent - e.sent < kMinRateSpan) continue;
    base = &e;
    if (last.sent - e.sent >= kRateBaseline) break;
  }
  if (base == nullptr) {
    rate_ = Pose{};
    rateSpan_ = 0;
    return;
  }
  const double dt = last.sent - base->sent;
  rateSpan_ = dt;
  rate_ = Pose{(last.pose.x - base->pose.x) / dt,
               (last.pose.y - base->pose.y) / dt,
               (last.pose.z - base->pose.z) / dt,
               Wrapped(last.pose.theta - base->pose.theta) / dt,
               Wrapped(last.pose.phi - base->pose.phi) / dt,
               Wrapped(last.pose.psi - base->pose.psi) / dt};
}

Pose SmoothTrack::Predicted(double now) const {
  const Entry &last = entries_[newest_];
  double age = now - (last.sent + Offset());
  age = age < 0 ? 0 : age > kMaxExtrapolation ? kMaxExtrapolation : age;
  // In a turn the track turns with the heading (radians a second, clockwise seen from above; x is
  // east and z south). The rates' velocity is the mean over the baseline, the velocity of its
  // middle: turned on by half the baseline it is the newest report's. Moving on along a straight
  // line would put the aircraft outside every turn, and each report would pull it back in.
  double turn = rate_.psi * (kPi / 180);
  turn = turn > kMaxTurn ? kMaxTurn : turn < -kMaxTurn ? -kMaxTurn : turn;
  const double half = turn * rateSpan_ / 2;
  const double vx = rate_.x - half * rate_.z, vz = rate_.z + half * rate_.x;
  const double bend = turn * age * age / 2;
  return Pose{last.pose.x + vx * age - bend * vz, last.pose.y + rate_.y * age,
              last.pose.z + vz * age + bend * vx, last.pose.theta + rate_.theta * age,
              last.pose.phi + rate_.phi * age,    last.pose.psi + rate_.psi * age};
}

Pose SmoothTrack::At(double now) const {
  if (!timed_) return entries_[newest_].pose;
  Pose p = Predicted(now);
  const double since = now - correctionAt_;
  const double keep = since <= 0 ? 1.0 : std::exp(-since / kBlendSeconds);
  p.x += correction_.x * keep;
  p.y += correction_.y * keep;
  p.z += correction_.z * keep;
  // Angles stay near the reported ones, which the host takes in any range (350 + 15 is 365).
  p.theta += correction_.theta * keep;
  p.phi += correction_.phi * keep;
  p.psi += correction_.psi * keep;
  return p;
}

void SmoothTrack::Shift(double dx, double dy, double dz) {
  for (int k = 0; k < count_; ++k) {
    Pose &p = entries_[k].pose;
    p.x += dx;
    p.y += dy;
    p.z += dz;
  }
}
