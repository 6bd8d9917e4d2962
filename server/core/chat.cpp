#include "core/chat.h"

#include <utility>

namespace skytether {

bool ChatQueue::Push(std::string text, bool local) {
  if (queue_.size() >= capacity_) return false;
  queue_.push_back(QueuedChat{std::move(text), local});
  return true;
}

bool ChatQueue::Next(double now, QueuedChat *out) {
  if (queue_.empty() || !budget_.Take(now)) return false;
  *out = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

}  // namespace skytether
