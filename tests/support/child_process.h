#pragma once
// Child processes for tests, benches and load tools: the server, redis-server, simulated hosts.
// Each writes its stdout and stderr to a log file (its own, in a folder of its own, unless one is
// named), and is always stopped when the object dies, so a failing test never leaves a process
// or a bound port behind. A wait on its log starts from a mark taken before the action it waits
// for, and matches whole lines: nothing written earlier, and no line that merely holds the words,
// can stand in for the line awaited.
#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace harness {

// A place in a log: its length in bytes when the mark was taken.
using LogMark = std::size_t;

// Whether line matches pattern whole: '*' stands for any run of characters (none included), every
// other character for itself.
bool LineMatches(const std::string &line, const std::string &pattern);

// Sets the niceness of the calling process's scheduling group (its session's autogroup); false if
// the kernel has no such groups or refuses.
bool SetGroupNice(int nice);

class ChildProcess {
 public:
  struct Options {
    std::string log;               // file its output is appended to; empty: a file of its own
    std::string cwd;               // its working directory; empty: this process's
    std::vector<std::string> env;  // "NAME=value", added to its environment
    rlim_t nofile = 0;             // > 0: its descriptor limit (soft and hard)
    double time_limit = 0;         // > 0: killed (SIGKILL) when still running this many seconds
                                   // after its start, whatever the test does meanwhile
    int cpu = -1;                  // >= 0: pinned to this CPU
    bool search_path = false;      // argv[0] is looked up in PATH
    double stop_grace = 1.0;       // seconds the destructor waits after SIGTERM before SIGKILL
                                   // (< 0: SIGKILL at once)
    // For benchmarks on a shared machine: a session (and so a scheduling group) of its own, whose
    // niceness is set (nice does not rank a process against other sessions' groups), or the
    // real-time class at this priority (> 0; root): FIFO, or round robin, where the process's own
    // threads take turns when one of them never waits.
    bool own_session = false;
    int group_nice = 0;
    int realtime_priority = 0;
    bool round_robin = false;
  };

  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  // Starts argv; false if it could not be started. It dies with this process whatever happens.
  bool Start(const std::vector<std::string> &argv, const Options &options);
  bool Start(const std::vector<std::string> &argv) { return Start(argv, Options()); }
  bool Running();
  // The log's length now: take it before the action whose line a wait looks for.
  LogMark Mark() const;
  // Waits until a whole line written after mark matches pattern (LineMatches; with stamped, the
  // line is taken from its first blank on, past a time stamp); *line gets the line. False on
  // timeout, or if the process ended without writing it.
  bool WaitForLine(const std::string &pattern, double timeout, LogMark mark = 0, std::string *line = nullptr,
                   bool stamped = false);
  // Older form: waits until the log, from its start, holds needle anywhere (*line: the whole
  // line). Prefer WaitForLine, which a line written before the action or one holding the same
  // words cannot satisfy.
  bool WaitForLog(const std::string &needle, double timeout, std::string *line = nullptr);
  std::string Log() const;
  std::string LogSince(LogMark mark) const;
  // The last bytes of the log (whole lines), for a failure message: what went wrong is at its end.
  std::string LogTail(std::size_t bytes = 6000) const;
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

// A fresh folder of its own under $TMPDIR (or /tmp), removed with everything in it when the object
// dies: every file a test writes goes into one, so two runs at once never share a name.
class TempFolder {
 public:
  explicit TempFolder(const std::string &prefix = "skytether-test-");
  ~TempFolder();
  TempFolder(const TempFolder &) = delete;
  TempFolder &operator=(const TempFolder &) = delete;
  const std::string &path() const { return path_; }
  // path() + "/" + name
  std::string File(const std::string &name) const { return path_ + "/" + name; }
  // Writes text to the named file (mode: its permissions) and gives its path.
  std::string Write(const std::string &name, const std::string &text, int mode = 0600) const;

 private:
  std::string path_;
};

// Runs a shell command to its end, or for timeout seconds at most (then it is killed, and the
// status is that of coreutils' timeout: 124): its exit status (-1 when it did not exit), with its
// standard output in *out (what was there is replaced) unless out is null.
int RunCommand(const std::string &command, std::string *out = nullptr, double timeout = 120);

}  // namespace harness
