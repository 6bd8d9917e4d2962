#include "child_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
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

// The bytes of a file from offset on (all of them when it is shorter).
std::string ReadFrom(const std::string &path, std::size_t offset) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size <= 0 || std::size_t(size) <= offset) return "";
  in.seekg(std::streamoff(offset));
  std::string out(std::size_t(size) - offset, '\0');
  in.read(&out[0], std::streamsize(out.size()));
  out.resize(std::size_t(in.gcount()));
  return out;
}

void RemoveTree(const std::string &path) {
  if (DIR *d = opendir(path.c_str())) {
    while (dirent *e = readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      const std::string child = path + "/" + name;
      struct stat st;
      if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        RemoveTree(child);
      else
        unlink(child.c_str());
    }
    closedir(d);
  }
  rmdir(path.c_str());
}

}  // namespace

bool LineMatches(const std::string &line, const std::string &pattern) {
  // Greedy match with one step back to the last '*': linear enough for log lines.
  std::size_t l = 0, p = 0, star = std::string::npos, resume = 0;
  while (l < line.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = l;
    } else if (p < pattern.size() && pattern[p] == line[l]) {
      ++p;
      ++l;
    } else if (star != std::string::npos) {
      p = star + 1;
      l = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

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

bool SetGroupNice(int nice) {
  const int fd = open("/proc/self/autogroup", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[16];
  const int n = std::snprintf(text, sizeof text, "%d", nice);
  const bool ok = write(fd, text, static_cast<std::size_t>(n)) == n;
  close(fd);
  return ok;
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
    // Its own limit, whatever becomes of the test: a child that hangs ends by itself.
    if (options.time_limit > 0) alarm(static_cast<unsigned>(std::ceil(options.time_limit)));
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
    if (options.own_session && setsid() >= 0 && options.group_nice != 0) SetGroupNice(options.group_nice);
    if (options.realtime_priority > 0) {
      sched_param param{};
      param.sched_priority = options.realtime_priority;
      sched_setscheduler(0, options.round_robin ? SCHED_RR : SCHED_FIFO, &param);
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

LogMark ChildProcess::Mark() const {
  struct stat st;
  return stat(log_.c_str(), &st) == 0 ? LogMark(st.st_size) : 0;
}

std::string ChildProcess::LogSince(LogMark mark) const {
  return ReadFrom(log_, mark);
}

std::string ChildProcess::LogTail(std::size_t bytes) const {
  const LogMark end = Mark();
  if (end <= bytes) return Log();
  std::string tail = ReadFrom(log_, end - bytes);
  const std::size_t nl = tail.find('\n');
  return "[... the log's first " + std::to_string(end - bytes) + " bytes left out ...]\n" +
         (nl == std::string::npos ? tail : tail.substr(nl + 1));
}

bool ChildProcess::WaitForLine(const std::string &pattern, double timeout, LogMark mark, std::string *line,
                               bool stamped) {
  std::string pending;  // the start of a line not yet ended
  for (auto start = std::chrono::steady_clock::now();;) {
    const bool ended = !Running();  // before reading: what it wrote before it ended is there
    const std::string more = ReadFrom(log_, mark);
    mark += more.size();
    pending += more;
    for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
      const std::string whole = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      const std::size_t blank = stamped ? whole.find(' ') : std::string::npos;
      const std::string text = blank == std::string::npos ? whole : whole.substr(blank + 1);
      if (LineMatches(text, pattern)) {
        if (line != nullptr) *line = whole;
        return true;
      }
    }
    if (ended || Since(start) > timeout) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
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

TempFolder::TempFolder(const std::string &prefix) {
  const char *tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + prefix + "XXXXXX";
  if (mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
}

TempFolder::~TempFolder() {
  if (!path_.empty()) RemoveTree(path_);
}

std::string TempFolder::Write(const std::string &name, const std::string &text, int mode) const {
  const std::string path = File(name);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
  }
  ::chmod(path.c_str(), mode_t(mode));
  return path;
}

int RunCommand(const std::string &command, std::string *out, double timeout) {
  // Bounded by coreutils' timeout: a command that hangs is killed, never the test's whole budget.
  char limit[64];
  std::snprintf(limit, sizeof limit, "timeout -k 5 %.0f ", std::ceil(timeout));
  std::string quoted = "'";
  for (char c : command) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  FILE *p = popen((limit + std::string("sh -c ") + quoted).c_str(), "r");
  if (p == nullptr) return -1;
  std::string text;
  char buf[4096];
  for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
  const int status = pclose(p);
  if (out != nullptr) *out = std::move(text);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace harness
