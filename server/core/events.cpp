#include "core/events.h"

namespace skytether {

EventLog::EventLog(double burst, double interval)
    : interval_(interval), kinds_(static_cast<int>(Event::kCount), Kind(burst)) {}

void EventLog::Note(Event kind, double now, std::string line, std::vector<std::string> *out) {
  Kind &k = kinds_[static_cast<int>(kind)];
  ++k.total;
  if (k.total == k.accounted + 1 && k.gate.Take(now)) {
    k.accounted = k.total;
    out->push_back(std::move(line));
  } else {
    k.last = std::move(line);
  }
}

void EventLog::Flush(double now, std::vector<std::string> *out) {
  for (int i = 0; i < static_cast<int>(Event::kCount); ++i) {
    Kind &k = kinds_[i];
    if (k.total == k.accounted || now < k.next_summary) continue;
    out->push_back(std::to_string(k.total - k.accounted) + " x " + EventName(static_cast<Event>(i)) +
                   " not logged (total " + std::to_string(k.total) + "), the last: " + k.last);
    k.accounted = k.total;
    k.next_summary = now + interval_;
    k.last.clear();
  }
}

}  // namespace skytether
