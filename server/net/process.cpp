#include "net/process.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>

namespace skytether {

ProcessFigures ReadProcessFigures() {
  ProcessFigures f;
  rusage ru{};
  if (getrusage(RUSAGE_SELF, &ru) == 0) {
    f.cpu_seconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                    1e-6 * static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
  }
  std::ifstream statm("/proc/self/statm");
  double pages_virtual = 0, pages_resident = 0;
  if (statm >> pages_virtual >> pages_resident) {
    const double page = static_cast<double>(sysconf(_SC_PAGESIZE));
    f.virtual_bytes = pages_virtual * page;
    f.resident_bytes = pages_resident * page;
  }
  if (DIR *d = opendir("/proc/self/fd")) {
    int n = 0;
    while (const dirent *e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    f.open_fds = n - 1;  // the directory's own descriptor
  }
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0) f.max_fds = static_cast<double>(rl.rlim_cur);
  return f;
}

}  // namespace skytether
