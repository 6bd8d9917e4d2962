#include "child_process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

namespace harness {
namespace {

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (grace_ < 0)
    Kill();
  else
    Stop(grace_);
  if (!dir_.empty()) {
    std::remove(log_.c_str());
    rmdir(dir_.c_str());
  }
}

bool ChildProcess::Start(const std::vector<std::string> &argv, const Options &options) {
  Kill();
  grace_ = options.stop_grace;
  log_ = options.log;
  if (log_.empty()) {
    if (dir_.empty()) {
      char dir[] = "/tmp/skytether-process-XXXXXX";
      if (mkdtemp(dir) == nullptr) return false;
      dir_ = dir;
    }
    log_ = dir_ + "/log";
  }
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    // Whatever way the test ends, its children end with it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(126);
    int fd = open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    for (const auto &e : options.env) putenv(const_cast<char *>(e.c_str()));
    if (options.nofile > 0) {
      const rlimit limit{options.nofile, options.nofile};
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (options.cpu >= 0) {
      cpu_set_t set;
      CPU_ZERO(&set);
      CPU_SET(options.cpu, &set);
      sched_setaffinity(0, sizeof set, &set);
    }
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    if (options.search_path)
      execvp(args[0], args.data());
    else
      execv(args[0], args.data());
    _exit(127);
  }
  status_ = -1;
  return true;
}

bool ChildProcess::Running() {
  if (pid_ <= 0) return false;
  int st = 0;
  if (waitpid(pid_, &st, WNOHANG) != pid_) return true;
  status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  pid_ = -1;
  return false;
}

std::string ChildProcess::Log() const {
  std::ifstream in(log_, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool ChildProcess::WaitForLog(const std::string &needle, double timeout, std::string *line) {
  for (auto start = std::chrono::steady_clock::now();;) {
    const bool ended = !Running();  // before reading: what it wrote before it ended is there
    const std::string log = Log();
    const std::size_t at = log.find(needle);
    if (at != std::string::npos) {
      if (line != nullptr) {
        const std::size_t begin = at == 0 ? 0 : log.rfind('\n', at - 1) + 1;  // npos + 1 is 0
        *line = log.substr(begin, log.find('\n', at) - begin);
      }
      return true;
    }
    if (ended || Since(start) > timeout) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void ChildProcess::Signal(int sig) {
  if (pid_ > 0) ::kill(pid_, sig);
}

int ChildProcess::Wait(double timeout) {
  for (auto start = std::chrono::steady_clock::now(); Running();) {
    if (Since(start) > timeout) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status_;
}

int ChildProcess::Stop(double grace) {
  if (!Running()) return status_;
  Signal(SIGTERM);
  if (Wait(grace) == -1) Kill();
  return status_;
}

void ChildProcess::Kill() {
  if (!Running()) return;
  Signal(SIGCONT);
  Signal(SIGKILL);
  Wait(5);
}

int FreePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  close(s);
  return port;
}

int RunCommand(const std::string &command, std::string *out) {
  FILE *p = popen(command.c_str(), "r");
  if (p == nullptr) return -1;
  std::string text;
  char buf[4096];
  for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
  const int status = pclose(p);
  if (out != nullptr) *out = std::move(text);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace harness
