#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace e2e {

namespace {
double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
}  // namespace

ChildProcess::~ChildProcess() {
  stop(1.0);
}

bool ChildProcess::start(const std::vector<std::string> &argv, const std::string &logPath,
                         const std::string &cwd, const std::vector<std::string> &env) {
  logPath_ = logPath;
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    for (const auto &e : env) putenv(const_cast<char *>(e.c_str()));
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  status_ = -1;
  return true;
}

bool ChildProcess::running() {
  if (pid_ <= 0) return false;
  int st = 0;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    pid_ = -1;
    return false;
  }
  return true;
}

std::string ChildProcess::log() const {
  std::ifstream in(logPath_);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool ChildProcess::waitForLog(const std::string &needle, double timeoutSeconds) {
  auto start = std::chrono::steady_clock::now();
  while (Since(start) < timeoutSeconds) {
    if (log().find(needle) != std::string::npos) return true;
    if (!running()) return log().find(needle) != std::string::npos;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void ChildProcess::signal(int sig) {
  if (pid_ > 0) ::kill(pid_, sig);
}

int ChildProcess::wait(double timeoutSeconds) {
  auto start = std::chrono::steady_clock::now();
  while (running()) {
    if (Since(start) > timeoutSeconds) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status_;
}

void ChildProcess::stop(double graceSeconds) {
  if (!running()) return;
  signal(SIGTERM);
  if (wait(graceSeconds) == -1) {
    signal(SIGKILL);
    wait(5.0);
  }
}

}  // namespace e2e
