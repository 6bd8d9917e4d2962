#pragma once
// Rate limits. Pure: time comes in as an argument, in seconds.
#include <cstddef>
#include <vector>

namespace skytether {

// A token bucket: `burst` at once, then `per_second`. Guards stream lines (an honest plugin
// sends a few every 10 s, so a connection that empties it is flooding), announcements, the
// chat budget, log lines and HTTP requests per address.
class FloodGate {
 public:
  FloodGate(double burst, double per_second) : burst_(burst), rate_(per_second), tokens_(burst) {}
  // Takes one token at time now; false when none is left.
  bool Take(double now);
  // Whether it holds its whole burst at time now: as good as a new one.
  bool Full(double now) const { return !started_ || tokens_ + (now - last_) * rate_ >= burst_; }

 private:
  double burst_, rate_, tokens_;
  double last_ = 0;
  bool started_ = false;
};

// At most n events in any window: the times of the last n accepted ones, in a ring.
class RecentTimes {
 public:
  // Takes now unless all n of the last accepted times fall within window seconds of it.
  bool Take(int n, double window, double now);

 private:
  std::vector<double> ring_;
  std::size_t next_ = 0;
};

}  // namespace skytether
