#pragma once
// Smooth motion of one remote aircraft between its reports. Reports are put in the order their
// sender made them (the sender's microseconds, placed in time by their arrival). The path is a fit
// over the recent reports (a steady turn at a steady climb, by least squares), so that neither
// noise in the positions nor jitter in their arrival reaches the rates. Between reports the
// aircraft flies on along that path through a gap for as long as one can last, and then holds.
// The aircraft shown never moves against its direction of travel unless the reports turn back:
// shown ahead of the path it slows, down to holding, until the path catches up; behind, it
// catches up at a bounded extra speed; sideways it is drawn in at a bounded speed. A difference
// too large to be motion is jumped at once. Pitch and roll are never carried past what was
// reported: each report's values are reached within a report's interval and held.
// Pure: the caller gives every time and position; nothing here talks to the host.

// Where an aircraft is and how it lies: this host's local frame (metres) and degrees.
struct Pose {
  double x, y, z;
  double theta, phi, psi;
};

// One report as the receiver reads it.
struct TrackReport {
  double arrival;  // receiver's clock when it was read, seconds
  bool timed;      // carries the sender's microseconds; an untimed report is shown as it comes
  long micros;     // the sender's microseconds within its second, 0..999999
  Pose pose;       // where it puts the aircraft in this host's frame, as it is now
  // The step (metres) in which its position comes: a sender that writes latitude and longitude as
  // floats places its aircraft in steps of over a metre far east or west; 0 for finer ones.
  double quantum = 0;
};

// The step (metres) in which a sender places its aircraft when its latitude and longitude are
// exactly floats (a sender that writes them as floats, as older ones do); 0 when either is finer.
double DegreeQuantum(double lat, double lon);

// How much later (seconds; negative: earlier) the sender made report b than report a, from their
// microseconds, which wrap each second: of the values the microseconds allow, the one closest to
// the difference of their arrivals.
double SenderSeconds(long microsA, double arrivalA, long microsB, double arrivalB);

class SmoothTrack {
 public:
  // Takes a report at the receiver's time now (what is shown from now on goes on from where the
  // aircraft is shown at now). A timed report older than the newest taken is dropped: returns
  // false; one of the same moment is taken and changes nothing.
  bool Take(const TrackReport &r, double now);
  bool Take(const TrackReport &r) { return Take(r, r.arrival); }
  // Whether Take would take a timed report with these microseconds and arrival.
  bool IsNewer(double arrival, long micros) const;
  // Nothing taken since the last reset.
  bool Empty() const { return count_ == 0; }
  // Where to show the aircraft at the receiver's time now (the track must not be empty).
  Pose At(double now) const;
  // The newest report taken, as it came.
  const Pose &Newest() const { return entries_[newest_].pose; }
  // The host's frame moved: every position held shifts by this much.
  void Shift(double dx, double dy, double dz);
  void Reset();

  // Reports kept for the fit: its window at up to 150 reports a second.
  static constexpr int kKept = 64;

 private:
  struct Entry {
    double sent;     // sender's time, seconds on this track's own scale
    double arrival;  // receiver's clock
    long micros;
    Pose pose;
    double quantum;
  };
  // The fitted path: at sender time `at` the aircraft is at x, y, z heading psi (turning psiRate
  // degrees a second), moving with vx, vz over the ground (the velocity turning at `turn`,
  // radians a second) and vy up.
  struct Path {
    double at;
    double x, y, z, psi, psiRate;
    double vx, vy, vz, turn;
  };
  // Where the path puts the aircraft at sender time u (moving on through a gap, then holding), and
  // its velocity there.
  Pose PathAt(const Path &p, double u, double velocity[3]) const;
  const Entry &Back(int k) const { return entries_[(newest_ - k + kKept) % kKept]; }
  // Fits the path to the newest reports since the current manoeuvres began. reports: how many
  // the fit over the ground took; span: the seconds they cover.
  Path Fit(int &reports, double &span);
  void Start(const TrackReport &r, double now);
  void NoteOffset(double arrival, double sent);
  // Looks whether the newest report leaves the path fitted before it, and where a new manoeuvre
  // began when it is the second in a row to do so.
  void NoteManoeuvres(const Pose &q, double sent, double quantum);
  // What is shown from now on, going on from `shown` along the new path.
  void Rebase(const Pose &shown, double now);
  double Offset() const { return offsetPrevious_ < offsetCurrent_ ? offsetPrevious_ : offsetCurrent_; }

  Entry entries_[kKept];
  int count_ = 0;
  int newest_ = 0;
  bool timed_ = false;
  Path path_{};
  // Where the current manoeuvre began, over the ground and in height: the fit looks no further back.
  double groundSince_ = 0, heightSince_ = 0;
  // How far the reports strayed from the path fitted before each arrived, and which way, when the
  // last one did by more than the noise; whether it strayed from where the path took it through a
  // gap by a good part of the way (then the fit does not reach back across the gap); the noise of
  // each fit, followed slowly.
  bool groundAway_ = false, heightAway_ = false;
  bool groundLost_ = false, heightLost_ = false;
  double awayX_ = 0, awayZ_ = 0, awayY_ = 0;
  double groundNoise_ = 0, heightNoise_ = 0;
  // The direction of travel the aircraft was last shown in (unit vector; zero: none yet), and
  // since when (receiver's clock) the path has stood still.
  double heading_[3] = {0, 0, 0};
  double stillSince_ = 0;
  // Seconds between reports, followed slowly.
  double interval_ = 0.02;
  // Sender's clock to receiver's: the least (arrival - sent) seen, over two windows so that a
  // drifting clock is followed; the report that came fastest stands for "no delay".
  double offsetPrevious_ = 0, offsetCurrent_ = 0, windowStart_ = 0;
  // What is shown, from the receiver's time `since` on: the path at the sender's time that
  // corresponds to now plus a lead (seconds; shrinking or growing at a bounded rate to none), plus
  // an offset that shrinks at a bounded speed, plus one that stays (shown ahead of a path that
  // stopped); heading likewise; pitch and roll going from where they were to the newest report's
  // at a rate that gets there within a report's interval.
  double since_ = 0;
  double lead_ = 0, leadRate_ = 1;
  double drawIn_[3] = {0, 0, 0}, drawInSpeed_ = 1;
  double stays_[3] = {0, 0, 0};
  double psiOffset_ = 0;
  double thetaFrom_ = 0, phiFrom_ = 0, thetaRate_ = 0, phiRate_ = 0;
};
