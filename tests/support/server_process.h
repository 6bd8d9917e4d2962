#pragma once
// The real skytether-server as a child process on 127.0.0.1, ready once it says it listens.
// Every wait is bounded; the process is killed from the destructor whatever happens.
#include <sys/resource.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

namespace harness {

using Clock = std::chrono::steady_clock;

inline int MsLeft(Clock::time_point deadline) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return ms < 0 ? 0 : static_cast<int>(ms);
}
inline Clock::time_point After(double s) {
  return Clock::now() + std::chrono::milliseconds(long(s * 1000));
}

class ServerProcess {
 public:
  // Starts the server (binary: this build's) on 127.0.0.1 with args and waits for its
  // "listening on" line. nofile > 0 caps its descriptors (soft and hard limit), as a small
  // system or service would; a fixed port another run holds is waited for up to busy_wait
  // seconds.
  explicit ServerProcess(std::vector<std::string> args, rlim_t nofile = 0, double busy_wait = 0,
                         std::string binary = SKYTETHER_SERVER_BIN) {
    args.insert(args.begin(), {std::move(binary), "--listen", "127.0.0.1"});
    ChildProcess::Options o;
    o.nofile = nofile;
    o.stop_grace = -1;
    o.time_limit = kTimeLimit;
    for (const auto deadline = After(busy_wait);;) {
      std::string line;
      if (!process_.Start(args, o)) return;
      if (process_.WaitForLine("listening on *", 10, 0, &line, true)) {
        port_ = std::stoi(line.substr(line.rfind(':') + 1));
        return;
      }
      // Exit 1: the port is taken (another checkout's tests, say).
      if (process_.Wait(2) != 1 || Clock::now() > deadline) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
  }

  // A server a test forgot, or one that hangs, ends by itself after this long.
  static constexpr double kTimeLimit = 600;

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  // The log's length now: take it before the action whose line WaitForLine looks for.
  LogMark Mark() const { return process_.Mark(); }
  // Waits for a line written after mark whose text (past the time stamp) matches pattern whole,
  // '*' standing for any run of characters: "login 2222 *" is the login, never "refused login
  // 2222 ...". *found gets the whole line.
  bool WaitForLine(const std::string &pattern, double timeout, LogMark mark = 0,
                   std::string *found = nullptr) {
    return process_.WaitForLine(pattern, timeout, mark, found, true);
  }
  // Older form: a log line containing needle, anywhere in the log. Prefer WaitForLine.
  bool WaitForLog(const std::string &needle, double timeout, std::string *found = nullptr) {
    return process_.WaitForLog(needle, timeout, found);
  }
  std::string Log() const { return process_.Log(); }
  std::string LogSince(LogMark mark) const { return process_.LogSince(mark); }
  // The end of the log, for failure messages.
  std::string Tail() const { return process_.LogTail(); }
  // Sends sig and waits for the exit: the exit code, -1 when killed by a signal or still running.
  int Signal(int sig, double timeout = 5) {
    process_.Signal(sig);
    const int status = process_.Wait(timeout);
    return status >= 128 ? -1 : status;
  }
  bool Running() { return process_.Running(); }
  void Pause() { process_.Pause(); }
  void Resume() { process_.Resume(); }
  // Sends sig (SIGHUP, say) and goes on at once.
  void Kill(int sig) { process_.Signal(sig); }
  pid_t pid() const { return process_.pid(); }

 private:
  ChildProcess process_;
  int port_ = 0;
};

}  // namespace harness
