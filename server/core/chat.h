#pragma once
// Chat lines on their way: a queue of bounded length, emptied no faster than a server-wide
// budget, so a flood of chat delays or drops only chat. Pure.
#include <cstddef>
#include <deque>
#include <string>

#include "core/rate.h"

namespace skytether {

struct QueuedChat {
  std::string text;  // "callsign: words"
  bool local;        // from a client here: the other nodes get it when it goes out
};

class ChatQueue {
 public:
  // capacity lines wait at most; per_second go out a second, as many at once.
  ChatQueue(std::size_t capacity, double per_second) : capacity_(capacity), budget_(per_second, per_second) {}

  // False (and nothing is queued) when the queue is full.
  bool Push(std::string text, bool local);
  // The next line, when one waits and the budget lets it go now.
  bool Next(double now, QueuedChat *out);

 private:
  std::size_t capacity_;
  FloodGate budget_;
  std::deque<QueuedChat> queue_;
};

}  // namespace skytether
