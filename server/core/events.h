#pragma once
// The log's limits. Whatever a client can make happen again is logged within an allowance per
// kind (a burst, then one line a second), and what is not logged line by line is summed up at
// most once an interval. Pure: time comes in as an argument; lines go out into a vector.
#include <cstdint>
#include <string>
#include <vector>

#include "core/counters.h"
#include "core/rate.h"

namespace skytether {

class EventLog {
 public:
  // burst lines of a kind at once, then one a second; summaries every interval seconds.
  explicit EventLog(double burst = 20, double interval = 1.0);

  // Counts one event; its line is appended to *out while its kind has allowance left.
  void Note(Event kind, double now, std::string line, std::vector<std::string> *out);
  // Appends "N x KIND not logged (total T), the last: LINE" for each kind with events not
  // logged, at most once an interval per kind.
  void Flush(double now, std::vector<std::string> *out);

  std::uint64_t total(Event kind) const { return kinds_[static_cast<int>(kind)].total; }

 private:
  struct Kind {
    explicit Kind(double burst) : gate(burst, 1.0) {}
    FloodGate gate;
    std::uint64_t total = 0, accounted = 0;  // accounted: logged in full or summarised
    double next_summary = 0;
    std::string last;  // the last line not logged
  };
  double interval_;
  std::vector<Kind> kinds_;
};

// Counts that are never logged one by one: "dropped N x NAME (total T)" for each that grew since
// its last line, all of them at most once an interval (0: at every flush).
class DropSummary {
 public:
  DropSummary(std::size_t kinds, double interval) : logged_(kinds), interval_(interval) {}

  // totals[k] is kind k's count so far, name(k) its words.
  template <typename Name>
  void Flush(double now, const std::uint64_t *totals, Name name, std::vector<std::string> *out) {
    if (now < next_) return;
    bool any = false;
    for (std::size_t k = 0; k < logged_.size(); ++k) {
      if (totals[k] == logged_[k]) continue;
      out->push_back("dropped " + std::to_string(totals[k] - logged_[k]) + " x " + name(k) + " (total " +
                     std::to_string(totals[k]) + ")");
      logged_[k] = totals[k];
      any = true;
    }
    if (any) next_ = now + interval_;
  }

 private:
  std::vector<std::uint64_t> logged_;
  double interval_;
  double next_ = 0;
};

}  // namespace skytether
