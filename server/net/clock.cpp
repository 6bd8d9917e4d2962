#include "net/clock.h"

#include <time.h>

#include <chrono>

namespace skytether {
namespace {

const std::chrono::steady_clock::time_point kStart = std::chrono::steady_clock::now();

}  // namespace

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - kStart).count();
}

double WallSeconds() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

std::int64_t WallMicros() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

}  // namespace skytether
