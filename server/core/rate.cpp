#include "core/rate.h"

namespace skytether {

bool FloodGate::Take(double now) {
  if (!started_) {
    started_ = true;
    last_ = now;
  }
  if (now > last_) {
    tokens_ += (now - last_) * rate_;
    if (tokens_ > burst_) tokens_ = burst_;
    last_ = now;
  }
  if (tokens_ < 1.0) return false;
  tokens_ -= 1.0;
  return true;
}

bool RecentTimes::Take(int n, double window, double now) {
  if (ring_.empty()) ring_.assign(n > 0 ? n : 1, -1e300);
  double &oldest = ring_[next_];
  if (now - oldest < window) return false;
  oldest = now;
  next_ = (next_ + 1) % ring_.size();
  return true;
}

}  // namespace skytether
