#include "net/worker.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace skytether {

Worker::Worker()
    : thread_([this] {
        // File work (a ban list of 300,000 lines is 20 MB) yields the processor to the relay.
        setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10);
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
          wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
          if (tasks_.empty()) return;
          std::function<void()> task = std::move(tasks_.front());
          tasks_.pop_front();
          lock.unlock();
          task();
          lock.lock();
        }
      }) {}

Worker::~Worker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void Worker::Run(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

}  // namespace skytether
