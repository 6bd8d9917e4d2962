#pragma once
// A thread for the file work the relay thread must never wait on (writing the ban file, reading
// the accounts): tasks run one after the other, in the order given.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace skytether {

class Worker {
 public:
  Worker();
  // Runs what was given before, then joins.
  ~Worker();
  Worker(const Worker &) = delete;
  Worker &operator=(const Worker &) = delete;

  void Run(std::function<void()> task);

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::thread thread_;  // last: it starts once the rest is ready
};

}  // namespace skytether
