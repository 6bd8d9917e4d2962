#pragma once
// Child processes for tests, benches and load tools: the server, redis-server, simulated hosts.
// Each writes its stdout and stderr to a log file (its own, in a folder of its own, unless one is
// named), and is always stopped when the object dies, so a failing test never leaves a process
// or a bound port behind.
#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace harness {

class ChildProcess {
 public:
  struct Options {
    std::string log;               // file its output is appended to; empty: a file of its own
    std::string cwd;               // its working directory; empty: this process's
    std::vector<std::string> env;  // "NAME=value", added to its environment
    rlim_t nofile = 0;             // > 0: its descriptor limit (soft and hard)
    int cpu = -1;                  // >= 0: pinned to this CPU
    bool search_path = false;      // argv[0] is looked up in PATH
    double stop_grace = 1.0;       // seconds the destructor waits after SIGTERM before SIGKILL
                                   // (< 0: SIGKILL at once)
  };

  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  // Starts argv; false if it could not be started. It dies with this process whatever happens.
  bool Start(const std::vector<std::string> &argv, const Options &options);
  bool Start(const std::vector<std::string> &argv) { return Start(argv, Options()); }
  bool Running();
  // Waits until the log holds needle (*line: the whole line); false on timeout, or if the
  // process ended without writing it.
  bool WaitForLog(const std::string &needle, double timeout, std::string *line = nullptr);
  std::string Log() const;
  const std::string &LogPath() const { return log_; }
  void Signal(int sig);
  // Waits for the end; its exit status (128 + signal when killed), -1 on timeout.
  int Wait(double timeout);
  // SIGTERM, then SIGKILL if it has not ended within grace seconds; the exit status.
  int Stop(double grace = 3.0);
  // SIGKILL (a paused process too), at once.
  void Kill();
  // Holds the process still (what is sent to it waits in its sockets), then lets it go on.
  void Pause() { Signal(SIGSTOP); }
  void Resume() { Signal(SIGCONT); }
  pid_t pid() const { return pid_; }
  int status() const { return status_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  double grace_ = 1.0;
  std::string log_, dir_;  // dir_: the folder made for the log, removed with it
};

// A TCP port free on 127.0.0.1 at the time of the call.
int FreePort();

// Runs a shell command to its end: its exit status (-1 when it did not exit), with its standard
// output in *out (what was there is replaced) unless out is null.
int RunCommand(const std::string &command, std::string *out = nullptr);

}  // namespace harness
