#pragma once
// Which of one pilot's reports go to one recipient. A plugin sends a report every frame (60 to 120
// a second on fast machines), each one a datagram per recipient, and the kernel's cost per
// datagram is nearly all of the server's: the fewer datagrams, the more pilots a core holds.
//
// Two rules, both by the distance between sender and recipient:
// - changes (the default): a report goes when the recipient, moving the aircraft on from what it
//   was last sent, would show it off by more than the step's tolerance (place, heading, attitude,
//   controls, lights), or when the step's heartbeat falls due; never more often than the step's
//   cap. A parked aircraft costs its heartbeat, a steady turn a few reports a second, and one
//   manoeuvring near others every report up to the cap.
// - steps: at most a rate that falls with the distance, whatever the aircraft does.
// Pure: no clock, no sockets.
#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace skytether {

struct RelayStep {
  double within_m;    // up to this distance (the last step: any distance)
  double per_second;  // at most this many reports a second (the cap)
  // The change rule only: a report goes when the recipient's picture would be off by more than
  // this many metres (angles and controls by as much, see ChangeTolerance), or when heartbeat
  // seconds have passed since the last one.
  double metres = 0;
  double heartbeat = 0;
};

struct RelayRates {
  static constexpr double kAnyDistance = std::numeric_limits<double>::infinity();
  enum class Rule { kSteps, kChanges };
  bool on = true;  // off: every report goes to every holder
  Rule rule = Rule::kChanges;
  // Nearest first, ranges growing, caps no faster and tolerances no tighter than the step before.
  // The first cap holds even for the nearest pair (above the receiver's cycles, so each cycle
  // finds a fresh report).
  std::vector<RelayStep> steps = ChangeSteps();

  static std::vector<RelayStep> ChangeSteps();
  static std::vector<RelayStep> RateSteps();

  // "off"; "on" or "changes" (the change rule, steps above); "steps" (the rate steps); a rule
  // with steps of its own: "changes:KM:RATE:METRES:HEARTBEAT,...,RATE:METRES:HEARTBEAT" or
  // "steps:KM:RATE,...,RATE" (also without "steps:", as before the change rule). False, with a
  // message and nothing changed, on anything else.
  bool Parse(std::string_view text, std::string *error);
  // For the log: "off", "steps: up to 10 km 40/s, ..., beyond 2/s" or "changes: up to 10 km 40/s,
  // 0.1 m or every 2 s; ...".
  std::string Describe() const;
};

// The pacing of one (sender, recipient) pair. A fresh one lets the next report go at once.
struct PairPace {
  static constexpr double kNever = -std::numeric_limits<double>::infinity();
  double clock = kNever;  // when the last report was due, at its step's pace
  double cap = kNever;    // the same at the nearest step's pace, whatever the step: the pair's cap
  double near_at = kNever;  // when the pair was last in step near_step
  int step = 0;             // the step it was paced by
  int near_step = 0;        // the nearest step it was in within the last second (about)
};

// One report as the change rule reads it.
struct Motion {
  double sent = 0;  // seconds on the sender's own clock (its microseconds, placed by arrival)
  // Where receivers put the aircraft: degrees and metres above sea level. The sender's local x, y, z
  // are its own frame's, which jumps whenever its host moves its origin.
  double lat = 0, lon = 0, elevation = 0;
  // The step of the sender's latitude and longitude texts, in metres: a plugin that writes them as
  // floats moves an aircraft in steps of up to a metre or two, and no tolerance is finer than that.
  double quantum = 0;
  bool fine = false;  // the sender has written degrees with more digits than a float carries
  // The sender's reports carry no time a receiver can move its aircraft on by (none, or the same
  // time while the aircraft moves): receivers show each as it comes.
  bool held = false;
  double theta = 0, phi = 0, psi = 0;  // pitch, roll, heading, degrees
  // Flaps, second flaps, speed brake, slats, sweep, yoke pitch, roll and yaw; ten gear; five
  // lights; eight throttles.
  std::array<float, 31> controls{};
  std::uint32_t controls_version = 0;  // moves on whenever the controls differ from the report before
};
constexpr int kGearControls = 8, kLightControls = 18, kThrottleControls = 23;

// What a recipient was last sent of a pilot at one step: the reports its plugin fits the path to,
// that path, and the controls it shows.
struct ChangeTrack {
  // As many reports as the plugin keeps: a second of them at the caps people set.
  static constexpr int kKept = 64;
  struct Sent {
    double sent, lat, lon, elevation, psi;
  };
  // The path fitted to the reports: at sender time `at` (the newest report's) the aircraft is x
  // metres east, z metres south of the newest report at elevation y heading psi (turning psi_rate
  // degrees a second), moving with vx, vz over the ground (the velocity turning at turn radians a
  // second) and vy up.
  struct Path {
    double at = 0;
    double x = 0, y = 0, z = 0, psi = 0, psi_rate = 0;
    double vx = 0, vy = 0, vz = 0, turn = 0;
  };
  int count = 0;   // reports kept, up to kKept
  int newest = 0;  // the newest's index in kept
  Path path;
  double theta = 0, phi = 0;
  std::array<float, 31> controls{};
  std::uint32_t controls_version = 0;
  double clock = PairPace::kNever;  // when the last report was due at the step's cap
  Sent kept[kKept]{};

  const Sent &Newest() const { return kept[newest]; }
  const Sent &Back(int k) const { return kept[(newest - k + kKept) % kKept]; }
};

class RelayPacer {
 public:
  explicit RelayPacer(const RelayRates &rates);
  bool on() const { return on_; }
  bool changes() const { return changes_; }
  int steps() const { return static_cast<int>(period_.size()); }
  // The step of a pair whose unit vectors lie chord2 apart (squared chord); negative when a
  // position is not known yet, which counts as near.
  int StepOf(double chord2) const;
  // The rate steps: whether a report arriving at t goes to the pair (its pace then moves on).
  // Nothing is queued: a report held back is gone, and the next one to arrive after the pair is
  // due goes instead. No pair gets more than the nearest step's rate, however its distance changes.
  bool Take(PairPace *pace, int step, double t) const;
  // The change rule, once per report and step: whether report m, arrived at t, goes to the step's
  // pairs (the track then holds it).
  bool Changed(ChangeTrack *track, int step, const Motion &m, double t) const;
  // The change rule for one pair, after the step's word: the step's report (changed), or the first
  // to a pair just given or come nearer, within the pair's cap.
  bool Pass(PairPace *pace, int step, bool changed, double t) const;

 private:
  bool on_, changes_;
  std::vector<double> chord2_;  // each step's range as a squared chord
  std::vector<double> period_;  // each step's seconds per report
  std::vector<RelayStep> steps_;
};

// Fits the track's path to its reports as the plugin does: over the newest window seconds of them
// (1 s for a sender whose positions come in float steps, 0.4 s otherwise) and at least two, a
// steady turn at a steady climb by least squares.
void FitPath(ChangeTrack *t, double window);
// Where a recipient that was sent the track's reports shows the aircraft at sender time u: along
// the fitted path, flown on at full speed for a second past the newest report and then slowing to a
// stop a second later, as the plugin moves it. Metres east, the elevation, metres south of the
// newest report, and the heading.
std::array<double, 4> Predicted(const ChangeTrack &t, double u);
// Metres east and south of the track's newest report (on a sphere: over the few kilometres the rule
// compares, a tenth of a per cent off at most, a millimetre on a metre).
void OffsetFrom(const ChangeTrack &t, double lat, double lon, double *east, double *south);
// The metres between neighbouring float values of latitude or longitude there, the larger of the two.
double FloatDegreeStep(double lat, double lon);
// The significant digits of a decimal text ("0.0120" has three).
int SignificantDigits(std::string_view text);

}  // namespace skytether
