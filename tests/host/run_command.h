#pragma once
// Runs a shell command for the runner tests.

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace hosttest {

// Exit status of a shell command (-1 when it did not exit), with its standard output.
inline int run(const std::string &command, std::string *out) {
  FILE *p = popen(command.c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
  const int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace hosttest
