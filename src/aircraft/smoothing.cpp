#include "aircraft/smoothing.h"

#include <cmath>
#include <complex>
#include <limits>

namespace {

// The fit looks this far back over the reports (and at least at two). Longer is steadier against
// noise in positions and times; shorter follows a change of speed sooner. A turn does not lag:
// the fit turns with the heading. Positions that come in steps of a quantum need the longer
// window to average their staircase out.
constexpr double kWindow = 0.4;
constexpr double kQuantumWindow = 1.0;
// Reports spanning less than this give no rates (the first reports of a track, or of a manoeuvre).
constexpr double kMinSpan = 0.015;
// Through a gap in the reports the aircraft flies on along its path at full speed for this long,
// then slows down evenly to stand still at kCoastEnd. A link that drops out for a second is
// bridged without error; a sender whose simulator hung that long was meanwhile shown flying on,
// and the aircraft then waits for its path to come by (it never goes back for it).
constexpr double kCoast = 1.0;
constexpr double kCoastEnd = 2.0;
// A report strays from the path fitted before it when it lies farther from it than this, plus four
// times the fit's own noise, plus what the path flies in kLateSeconds (a sender's frame a little
// late or early is no manoeuvre); two in a row, on the same side, start a new manoeuvre (a stop, a
// touchdown, a roll-out): the fit then forgets the reports before it. After a gap, a report that
// strays by more than kLostShare of the way the path flew through the gap is not fitted together
// with the reports before the gap (the sender's simulator hung, say); after a path that stood, it
// is.
constexpr double kStrayMetres = 0.05;
constexpr double kNoiseTimes = 4;
constexpr double kLateSeconds = 0.005;
constexpr double kLostShare = 0.2;
// Slower than this the path stands: it has no direction of travel.
constexpr double kStill = 0.3;
// The path turns back (a pushback) only once a fit of at least this many reports over at least
// this long shows it; until then the last path stays.
constexpr int kReversalReports = 3;
constexpr double kReversalSpan = 0.1;
// Shown ahead of the path, the aircraft slows down (to holding, at the most) and shown behind it
// speeds up (by at most kCatchUp of its speed: no step over twice the steady one), each time
// constant taking the difference away, in seconds along the path.
constexpr double kLeadSeconds = 0.15;
constexpr double kCatchUp = 0.75;
// The lead kept at most; a larger one stays as an offset ahead.
constexpr double kMaxLead = 4.0;
// A difference across the path is drawn in with this time constant, at no more than this share
// of the aircraft's speed (and never slower than kDrawInMin).
constexpr double kDrawInSeconds = 0.25;
constexpr double kDrawInShare = 0.25;
constexpr double kDrawInMin = 2.0;
// Shown ahead of where a path stopped, the aircraft holds. Once it has stood for kSettle, a
// difference over kSettleKeep is taken back at kSettleSpeed: an aircraft that stopped during a gap
// is not shown far past its stop for good.
constexpr double kSettle = 3.0;
constexpr double kSettleKeep = 1.0;
constexpr double kSettleSpeed = 2.0;
// Time constant of the heading's correction.
constexpr double kPsiSeconds = 0.2;
// A difference larger than this is not motion (a pilot put elsewhere): jumped, and the track
// starts again from that report. Before a track has a direction, a report is as far as an
// aircraft this fast can fly (reports come twice a second from far away).
constexpr double kJumpMetres = 50;
constexpr double kFastest = 350;
// Each window of the clock offset; the offset is the least of the last two.
constexpr double kOffsetWindow = 2;
// Turn rates beyond this (radians a second) are not followed by the path: a pilot spinning on the
// spot moves nowhere.
constexpr double kMaxTurn = 1.0;

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kPi = 3.14159265358979323846;

// An angle difference brought into -180..180.
double Wrapped(double degrees) {
  return degrees - 360.0 * std::floor((degrees + 180.0) / 360.0);
}

double Length(const double v[3]) {
  return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

// How much of x0 is left t seconds later, when it shrinks with time constant tau but never faster
// than rate a second.
double Shrunk(double x0, double rate, double tau, double t) {
  const double a = std::fabs(x0);
  if (t <= 0 || a == 0) return x0;
  double left;
  const double knee = rate * tau;
  if (a <= knee) {
    left = a * std::exp(-t / tau);
  } else {
    const double linear = (a - knee) / rate;
    left = t <= linear ? a - rate * t : knee * std::exp(-(t - linear) / tau);
  }
  return x0 < 0 ? -left : left;
}

// From `from` toward `to` at `rate` a second, t seconds on, never past it.
double Toward(double from, double to, double rate, double t) {
  const double d = to - from, step = rate * (t > 0 ? t : 0);
  return std::fabs(d) <= step ? to : from + (d < 0 ? -step : step);
}

}  // namespace

double DegreeQuantum(double lat, double lon) {
  const float la = float(lat), lo = float(lon);
  if (double(la) != lat || double(lo) != lon || !std::isfinite(la) || !std::isfinite(lo)) return 0;
  constexpr double kMetresPerDegree = 111320;
  const double north = (double(std::nextafter(std::fabs(la), 1e9f)) - std::fabs(la)) * kMetresPerDegree;
  const double east = (double(std::nextafter(std::fabs(lo), 1e9f)) - std::fabs(lo)) * kMetresPerDegree *
                      std::cos(lat * kPi / 180);
  return std::fmax(north, east);
}

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
  path_ = Path{};
  groundSince_ = heightSince_ = -kInfinity;
  groundAway_ = heightAway_ = groundLost_ = heightLost_ = false;
  awayX_ = awayZ_ = awayY_ = 0;
  groundNoise_ = heightNoise_ = 0;
  for (double &h : heading_) h = 0;
  stillSince_ = 0;
  interval_ = 0.02;
  offsetPrevious_ = offsetCurrent_ = kInfinity;
  windowStart_ = 0;
  since_ = 0;
  lead_ = 0;
  leadRate_ = 1;
  for (int k = 0; k < 3; ++k) drawIn_[k] = stays_[k] = 0;
  drawInSpeed_ = kDrawInMin;
  psiOffset_ = 0;
  thetaFrom_ = phiFrom_ = thetaRate_ = phiRate_ = 0;
}

void SmoothTrack::NoteOffset(double arrival, double sent) {
  if (arrival - windowStart_ >= 2 * kOffsetWindow) {
    offsetPrevious_ = offsetCurrent_ = kInfinity;
    windowStart_ = arrival;
  } else if (arrival - windowStart_ >= kOffsetWindow) {
    offsetPrevious_ = offsetCurrent_;
    offsetCurrent_ = kInfinity;
    windowStart_ = arrival;
  }
  if (arrival - sent < offsetCurrent_) offsetCurrent_ = arrival - sent;
}

// The first report of a track is shown as it came, and stands until a second gives it rates.
void SmoothTrack::Start(const TrackReport &r, double now) {
  Reset();
  timed_ = true;
  entries_[0] = Entry{0, r.arrival, r.micros, r.pose, r.quantum};
  count_ = 1;
  NoteOffset(r.arrival, 0);
  const Pose &q = r.pose;
  path_ = Path{0, q.x, q.y, q.z, q.psi, 0, 0, 0, 0, 0};
  since_ = stillSince_ = now;
  thetaFrom_ = q.theta;
  phiFrom_ = q.phi;
}

bool SmoothTrack::Take(const TrackReport &r, double now) {
  const Pose &q = r.pose;
  const bool finite = std::isfinite(q.x) && std::isfinite(q.y) && std::isfinite(q.z) &&
                      std::isfinite(q.theta) && std::isfinite(q.phi) && std::isfinite(q.psi);
  // A report that cannot be moved on from is shown as it came, and the track starts again after it.
  if (!r.timed || !finite) {
    Reset();
    entries_[0] = Entry{0, r.arrival, 0, r.pose, 0};
    count_ = 1;
    return true;
  }
  if (count_ == 0 || !timed_) {
    Start(r, now);
    return true;
  }
  if (!IsNewer(r.arrival, r.micros)) return false;
  const Entry &last = entries_[newest_];
  const double sent = last.sent + SenderSeconds(last.micros, last.arrival, r.micros, r.arrival);
  // The same moment again (a datagram that came twice): nothing new to fit.
  if (sent == last.sent) return true;
  const Pose shown = At(now);

  // A report the path cannot have come to is not motion: across it or past it by more than the
  // jump, or back behind the last report by more than that (a path that stopped in a gap is still
  // on the way).
  double v[3];
  const Pose expected = PathAt(path_, sent, v);
  const double d[3] = {q.x - expected.x, q.y - expected.y, q.z - expected.z};
  const double along = d[0] * heading_[0] + d[1] * heading_[1] + d[2] * heading_[2];
  const double across = std::sqrt(std::fmax(0.0, d[0] * d[0] + d[1] * d[1] + d[2] * d[2] - along * along));
  // A track without a direction yet may have gone anywhere an aircraft can in the time.
  const bool going = heading_[0] != 0 || heading_[1] != 0 || heading_[2] != 0;
  const double reach =
      (going ? std::hypot(std::hypot(path_.vx, path_.vz), path_.vy) : kFastest) * (sent - path_.at);
  const double jump = going ? kJumpMetres : kJumpMetres + reach;
  if (!(across <= jump && along <= kJumpMetres && along >= -(reach + kJumpMetres))) {
    Start(r, now);
    return true;
  }

  NoteManoeuvres(q, sent, r.quantum);
  const double step = sent - last.sent;
  if (step > 0 && step < 0.2) interval_ += 0.2 * (step - interval_);
  newest_ = (newest_ + 1) % kKept;
  if (count_ < kKept) ++count_;
  entries_[newest_] = Entry{sent, r.arrival, r.micros, q, r.quantum};
  NoteOffset(r.arrival, sent);

  int reports = 0;
  double span = 0;
  const Path fitted = Fit(reports, span);
  const double velocity[3] = {fitted.vx, fitted.vy, fitted.vz};
  const double speed = Length(velocity);
  const bool wasStill = std::hypot(std::hypot(path_.vx, path_.vz), path_.vy) < kStill;
  if (speed >= kStill) {
    const double ahead = velocity[0] * heading_[0] + velocity[1] * heading_[1] + velocity[2] * heading_[2];
    // Turning back: only once several reports show it. Until then the last path stays.
    if (ahead < 0 && !(reports >= kReversalReports && span >= kReversalSpan)) {
      Rebase(shown, now);
      return true;
    }
    for (int k = 0; k < 3; ++k) heading_[k] = velocity[k] / speed;
  } else if (!wasStill) {
    stillSince_ = now;
  }
  path_ = fitted;
  Rebase(shown, now);
  return true;
}

void SmoothTrack::NoteManoeuvres(const Pose &q, double sent, double quantum) {
  double v[3];
  const Pose expected = PathAt(path_, sent, v);
  const double dx = q.x - expected.x, dz = q.z - expected.z, dy = q.y - expected.y;
  const Entry &previous = entries_[newest_];
  const double flat = std::hypot(path_.vx, path_.vz), gap = sent - previous.sent;
  const double off = std::hypot(dx, dz);
  const bool ground = off > kStrayMetres + kNoiseTimes * groundNoise_ + quantum + kLateSeconds * flat;
  if (ground && groundAway_ && dx * awayX_ + dz * awayZ_ > 0) groundSince_ = previous.sent;
  groundAway_ = ground;
  // A path that stood flew no way through the gap: a report away from it is the aircraft setting
  // off (or one fitted from a single report getting its second), whose rates span the gap.
  groundLost_ = ground && flat >= kStill && off > kLostShare * flat * gap;
  awayX_ = dx;
  awayZ_ = dz;
  const double climb = std::fabs(path_.vy);
  const bool height = std::fabs(dy) > kStrayMetres + kNoiseTimes * heightNoise_ + kLateSeconds * climb;
  if (height && heightAway_ && dy * awayY_ > 0) heightSince_ = previous.sent;
  heightAway_ = height;
  heightLost_ = height && climb >= kStill && std::fabs(dy) > kLostShare * climb * gap;
  awayY_ = dy;
}

SmoothTrack::Path SmoothTrack::Fit(int &reports, double &span) {
  const Entry &n = entries_[newest_];
  Path p{n.sent, n.pose.x, n.pose.y, n.pose.z, n.pose.psi, 0, 0, 0, 0, 0};
  // The newest reports since the manoeuvre began, the window's worth and at least two; but not
  // back across a gap to a report the newest one strayed from.
  const double window = n.quantum > kStrayMetres ? kQuantumWindow : kWindow;
  auto count = [&](double since, bool lost) {
    int k = 1;
    for (; k < count_; ++k) {
      const Entry &e = Back(k);
      if (e.sent < since) break;
      if (n.sent - e.sent > window && (k >= 2 || lost)) break;
    }
    return k;
  };

  const int ground = count(groundSince_, groundLost_);
  reports = ground;
  span = n.sent - Back(ground - 1).sent;
  if (ground >= 2 && span >= kMinSpan) {
    // Heading and its rate, then the positions on a turn at that rate: with u the time from the
    // newest report and w the turn, the path is A + m(u) V over the ground (as complex numbers x +
    // iz), m(u) = (sin(wu) + i(1 - cos(wu))) / w, so that the velocity at u is V turned by wu.
    double st = 0, sw = 0, stt = 0, stw = 0;
    for (int k = 0; k < ground; ++k) {
      const Entry &e = Back(k);
      const double t = e.sent - n.sent, w = Wrapped(e.pose.psi - n.pose.psi);
      st += t;
      sw += w;
      stt += t * t;
      stw += t * w;
    }
    const double g = ground, det = g * stt - st * st;
    p.psiRate = det > 0 ? (g * stw - st * sw) / det : 0;
    p.psi = n.pose.psi + (sw - p.psiRate * st) / g;
    double turn = p.psiRate * (kPi / 180);
    turn = turn > kMaxTurn ? kMaxTurn : turn < -kMaxTurn ? -kMaxTurn : turn;
    std::complex<double> sm, sp, smp, ms[kKept];
    double smm = 0;
    for (int k = 0; k < ground; ++k) {
      const Entry &e = Back(k);
      const double t = e.sent - n.sent, half = turn * t / 2, sh = std::sin(half), ch = std::cos(half);
      ms[k] = std::fabs(turn) < 1e-9 ? std::complex<double>(t, 0)
                                     : std::complex<double>(2 * sh * ch / turn, 2 * sh * sh / turn);
      const std::complex<double> pk(e.pose.x - n.pose.x, e.pose.z - n.pose.z);
      sm += ms[k];
      sp += pk;
      smp += std::conj(ms[k]) * pk;
      smm += std::norm(ms[k]);
    }
    const double d = g * smm - std::norm(sm);
    if (d > 0) {
      const std::complex<double> v = (g * smp - std::conj(sm) * sp) / d, a = (sp - sm * v) / g;
      p.x += a.real();
      p.z += a.imag();
      p.vx = v.real();
      p.vz = v.imag();
      p.turn = turn;
      if (ground > 2) {
        double r2 = 0;
        for (int k = 0; k < ground; ++k) {
          const Entry &e = Back(k);
          r2 += std::norm(std::complex<double>(e.pose.x - n.pose.x, e.pose.z - n.pose.z) - a - ms[k] * v);
        }
        groundNoise_ += 0.1 * (std::sqrt(r2 / (g - 2)) - groundNoise_);
      }
    }
  }

  const int height = count(heightSince_, heightLost_);
  const double heightSpan = n.sent - Back(height - 1).sent;
  if (height >= 2 && heightSpan >= kMinSpan) {
    double st = 0, sy = 0, stt = 0, sty = 0;
    for (int k = 0; k < height; ++k) {
      const Entry &e = Back(k);
      const double t = e.sent - n.sent, y = e.pose.y - n.pose.y;
      st += t;
      sy += y;
      stt += t * t;
      sty += t * y;
    }
    const double g = height, det = g * stt - st * st;
    if (det > 0) {
      p.vy = (g * sty - st * sy) / det;
      const double b = (sy - p.vy * st) / g;
      p.y += b;
      if (height > 2) {
        double r2 = 0;
        for (int k = 0; k < height; ++k) {
          const Entry &e = Back(k);
          const double r = e.pose.y - n.pose.y - b - p.vy * (e.sent - n.sent);
          r2 += r * r;
        }
        heightNoise_ += 0.1 * (std::sqrt(r2 / (g - 2)) - heightNoise_);
      }
    }
  }
  return p;
}

Pose SmoothTrack::PathAt(const Path &p, double u, double velocity[3]) const {
  // Seconds flown along the path: all of the time up to kCoast past the newest report, then
  // slowing down evenly to a stop at kCoastEnd.
  double g = u - p.at, e = g, pace = 1;
  if (g < -kCoastEnd) {
    e = -kCoastEnd;
    pace = 0;
  } else if (g >= kCoastEnd) {
    e = (kCoast + kCoastEnd) / 2;
    pace = 0;
  } else if (g > kCoast) {
    const double h = g - kCoast, slowing = kCoastEnd - kCoast;
    e = kCoast + h - h * h / (2 * slowing);
    pace = 1 - h / slowing;
  }
  const double w = p.turn, c = std::cos(w * e), s = std::sin(w * e);
  double along, across;
  if (std::fabs(w) < 1e-9) {
    along = e;
    across = 0;
  } else {
    const double half = std::sin(w * e / 2);
    along = s / w;
    across = 2 * half * half / w;
  }
  velocity[0] = (p.vx * c - p.vz * s) * pace;
  velocity[1] = p.vy * pace;
  velocity[2] = (p.vx * s + p.vz * c) * pace;
  return Pose{p.x + along * p.vx - across * p.vz,
              p.y + p.vy * e,
              p.z + across * p.vx + along * p.vz,
              0,
              0,
              p.psi + p.psiRate * e};
}

void SmoothTrack::Rebase(const Pose &shown, double now) {
  since_ = now;
  const double u = now - Offset();
  double v[3];
  const Pose at = PathAt(path_, u, v);
  const double speed = Length(v);
  // Along the path: how far ahead (or behind) in seconds of its own motion.
  double lead = 0;
  if (speed >= kStill) {
    lead = ((shown.x - at.x) * v[0] + (shown.y - at.y) * v[1] + (shown.z - at.z) * v[2]) / (speed * speed);
    lead = lead > kMaxLead ? kMaxLead : lead < -kCoastEnd ? -kCoastEnd : lead;
  }
  double w[3];
  const Pose there = PathAt(path_, u + lead, w);
  const double rest[3] = {shown.x - there.x, shown.y - there.y, shown.z - there.z};
  // What is left ahead along the direction of travel stays; the rest is drawn in.
  const double ahead = std::fmax(0.0, rest[0] * heading_[0] + rest[1] * heading_[1] + rest[2] * heading_[2]);
  for (int k = 0; k < 3; ++k) {
    stays_[k] = ahead * heading_[k];
    drawIn_[k] = rest[k] - stays_[k];
  }
  const Pose &n = entries_[newest_].pose;
  if (Length(drawIn_) > kJumpMetres || -lead * speed > kJumpMetres) {
    lead = 0;
    for (int k = 0; k < 3; ++k) drawIn_[k] = stays_[k] = 0;
    psiOffset_ = 0;
    thetaFrom_ = n.theta;
    phiFrom_ = n.phi;
  } else {
    psiOffset_ = Wrapped(shown.psi - there.psi);
    thetaFrom_ = shown.theta;
    phiFrom_ = shown.phi;
  }
  lead_ = lead;
  leadRate_ = lead > 0 ? 1 : kCatchUp;
  drawInSpeed_ = std::fmax(kDrawInShare * speed, kDrawInMin);
  thetaRate_ = std::fabs(Wrapped(n.theta - thetaFrom_)) / interval_;
  phiRate_ = std::fabs(Wrapped(n.phi - phiFrom_)) / interval_;
}

Pose SmoothTrack::At(double now) const {
  const Pose &n = entries_[newest_].pose;
  if (!timed_) return n;
  const double t = now - since_;
  double v[3];
  Pose p = PathAt(path_, now - Offset() + Shrunk(lead_, leadRate_, kLeadSeconds, t), v);
  const double drawn = Length(drawIn_);
  const double drawnLeft = drawn > 0 ? Shrunk(drawn, drawInSpeed_, kDrawInSeconds, t) / drawn : 0;
  // Ahead of a path that has stood still a while, the aircraft is taken back to it.
  double staysLeft = 1;
  const double stays = Length(stays_);
  if (stays > kSettleKeep && std::hypot(std::hypot(path_.vx, path_.vz), path_.vy) < kStill) {
    const double from = since_ > stillSince_ + kSettle ? since_ : stillSince_ + kSettle;
    const double left = stays - kSettleSpeed * std::fmax(0.0, now - from);
    staysLeft = (left > kSettleKeep ? left : kSettleKeep) / stays;
  }
  p.x += drawIn_[0] * drawnLeft + stays_[0] * staysLeft;
  p.y += drawIn_[1] * drawnLeft + stays_[1] * staysLeft;
  p.z += drawIn_[2] * drawnLeft + stays_[2] * staysLeft;
  p.psi += psiOffset_ * (t > 0 ? std::exp(-t / kPsiSeconds) : 1.0);
  // Pitch and roll reach the newest report's within a report's interval and hold there. Angles
  // stay near the reported ones, which the host takes in any range (350 + 15 is 365).
  p.theta = n.theta + Toward(Wrapped(thetaFrom_ - n.theta), 0, thetaRate_, t);
  p.phi = n.phi + Toward(Wrapped(phiFrom_ - n.phi), 0, phiRate_, t);
  return p;
}

void SmoothTrack::Shift(double dx, double dy, double dz) {
  for (int k = 0; k < count_; ++k) {
    Pose &p = entries_[k].pose;
    p.x += dx;
    p.y += dy;
    p.z += dz;
  }
  path_.x += dx;
  path_.y += dy;
  path_.z += dz;
}
