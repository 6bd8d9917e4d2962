#pragma once
// How often one pilot's reports go to one recipient: at most a rate that falls with the distance
// between them. A receiver shows one report per slot per cycle (about 33 a second) and a far
// aircraft is a few pixels: every report a sender makes (60 to 120 a second on fast machines) is
// more than anyone can see, and each one costs the server a datagram per recipient.
// Pure: no clock, no sockets.
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace skytether {

struct RelayStep {
  double within_m;    // up to this distance (the last step: any distance)
  double per_second;  // at most this many reports a second
};

struct RelayRates {
  static constexpr double kAnyDistance = std::numeric_limits<double>::infinity();
  bool on = true;  // off: every report goes to every holder
  // Nearest first, ranges growing and rates falling. The first rate caps even the nearest pair
  // (above the receiver's cycles, so each cycle finds a fresh report); the last is the floor.
  std::vector<RelayStep> steps = {{10000, 40}, {50000, 10}, {kAnyDistance, 2}};

  // "off", "on" (the steps above) or "KM:RATE,...,RATE" (e.g. "10:40,50:10,2": up to 10 km 40 a
  // second, up to 50 km 10, beyond 2). False, with a message and nothing changed, on anything else.
  bool Parse(std::string_view text, std::string *error);
  // For the log: "off" or "up to 10 km 40/s, up to 50 km 10/s, beyond 2/s".
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

class RelayPacer {
 public:
  explicit RelayPacer(const RelayRates &rates);
  bool on() const { return on_; }
  // The step of a pair whose unit vectors lie chord2 apart (squared chord); negative when a
  // position is not known yet, which counts as near.
  int StepOf(double chord2) const;
  // Whether a report arriving at t goes to the pair (its pace then moves on). Nothing is queued:
  // a report held back is gone, and the next one to arrive after the pair is due goes instead.
  // No pair gets more than the nearest step's rate, however its distance changes.
  bool Take(PairPace *pace, int step, double t) const;

 private:
  bool on_;
  std::vector<double> chord2_;  // each step's range as a squared chord
  std::vector<double> period_;  // each step's seconds per report
};

}  // namespace skytether
