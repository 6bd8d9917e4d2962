#include "net/log.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>

namespace skytether {

void LogLine(const std::string &line) {
  timeval tv;
  gettimeofday(&tv, nullptr);
  tm t;
  gmtime_r(&tv.tv_sec, &t);
  char stamp[96];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(tv.tv_usec / 1000));
  // One fprintf per line: stderr is unbuffered, so each line reaches the log whole.
  std::fprintf(stderr, "%s %s\n", stamp, line.c_str());
}

}  // namespace skytether
