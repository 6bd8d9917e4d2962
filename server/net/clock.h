#pragma once
// The server's one clock. Everything that measures time on the relay thread (the registry's
// timeouts and allowances, the sessions' gates, the cluster's and Redis link's deadlines) and the
// HTTP thread's bounds reads Now(); the wall clock is only for what leaves the process.
#include <cstdint>

namespace skytether {

// Seconds on the steady clock since the process started.
double Now();
// Seconds since 1970 by the wall clock: the feed's times.
double WallSeconds();
// Microseconds since 1970 by the wall clock: a position's arrival, as other nodes compare it.
std::int64_t WallMicros();

}  // namespace skytether
