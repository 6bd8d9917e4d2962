#pragma once
// Child processes for end-to-end tests: started with their output in a log file, and always
// stopped when the object dies, so a failing test never leaves a process or a bound port behind.
#include <sys/types.h>

#include <string>
#include <vector>

namespace e2e {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  // Starts argv[0] with its stdout and stderr appended to logPath, in the working directory cwd
  // (empty: this process's), with env ("NAME=value") added to its environment. False if it could
  // not be started.
  bool start(const std::vector<std::string> &argv, const std::string &logPath, const std::string &cwd = "",
             const std::vector<std::string> &env = {});
  bool running();
  // Waits until the log holds needle; false on timeout or if the process ended first.
  bool waitForLog(const std::string &needle, double timeoutSeconds);
  std::string log() const;
  void signal(int sig);
  // Waits for the process to end; returns its exit status (or 128 + signal), -1 on timeout.
  int wait(double timeoutSeconds);
  // SIGTERM, then SIGKILL if it has not ended within graceSeconds.
  void stop(double graceSeconds = 3.0);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string logPath_;
};

}  // namespace e2e
