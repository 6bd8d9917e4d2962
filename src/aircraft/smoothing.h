#pragma once
// Smooth motion of one remote aircraft between its reports. Reports are put in the order their
// sender made them (the sender's microseconds, placed in time by their arrival); between reports
// the aircraft moves on as its last reports say, for a short while, and then holds; a report that
// disagrees with where the aircraft is shown is blended in over a short time, unless the
// difference is too large to be motion, which is jumped at once.
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
};

// How much later (seconds; negative: earlier) the sender made report b than report a, from their
// microseconds, which wrap each second: of the values the microseconds allow, the one closest to
// the difference of their arrivals.
double SenderSeconds(long microsA, double arrivalA, long microsB, double arrivalB);

class SmoothTrack {
 public:
  // Takes a report. A timed report older than the newest taken is dropped: returns false.
  bool Take(const TrackReport &r);
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

  // Reports kept for the rates: enough to span the rate baseline at one report a frame.
  static constexpr int kKept = 24;

 private:
  struct Entry {
    double sent;     // sender's time, seconds on this track's own scale
    double arrival;  // receiver's clock
    long micros;
    Pose pose;
  };
  Pose Predicted(double now) const;
  void EstimateRates();
  double Offset() const { return offsetPrevious_ < offsetCurrent_ ? offsetPrevious_ : offsetCurrent_; }

  Entry entries_[kKept];
  int count_ = 0;
  int newest_ = 0;
  bool timed_ = false;
  // Motion per second of position and angles, from the newest report and one about a baseline older.
  Pose rate_{};
  double rateSpan_ = 0;  // seconds between the two reports the rates come from
  // Sender's clock to receiver's: the least (arrival - sent) seen, over two windows so that a
  // drifting clock is followed; the report that came fastest stands for "no delay".
  double offsetPrevious_ = 0, offsetCurrent_ = 0, windowStart_ = 0;
  // What is being blended away: shown minus predicted when the last report came, and then.
  Pose correction_{};
  double correctionAt_ = 0;
};
