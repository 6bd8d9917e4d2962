// The layer on POSIX systems. Built two ways: for Linux, with the calls only Linux has where they
// are faster (one call for a batch of datagrams, descriptors made non-blocking as they are made,
// nanosecond arrival stamps, getrandom); and portable, with only what macOS has as well (a loop of
// recvmsg, fcntl, microsecond stamps, getentropy), which the Linux build tests too.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>
#if defined(SKYTETHER_PLATFORM_LINUX)
#include <sys/random.h>
#elif defined(__APPLE__)
#include <sys/random.h>
#endif

#include <cstring>

#include "platform/platform.h"

namespace platform {

Error ErrorOf(int code) {
  Failure f = Failure::Other;
  switch (code) {
    case 0: f = Failure::None; break;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      f = Failure::WouldBlock;
      break;
    case EINPROGRESS: f = Failure::InProgress; break;
    case EINTR: f = Failure::Interrupted; break;
    case ECONNREFUSED: f = Failure::Refused; break;
    case ECONNRESET: f = Failure::Reset; break;
    case ETIMEDOUT: f = Failure::TimedOut; break;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case EADDRNOTAVAIL:
    case EAFNOSUPPORT: f = Failure::Unreachable; break;
    case EBADF:
    case ENOTSOCK: f = Failure::NotSocket; break;
    default: break;
  }
  return Error{f, code};
}

std::string ErrorText(const Error &error) {
  return std::strerror(error.code);
}

bool NetworkStart(Error &error) {
  error = Error();
  return true;
}

void NetworkStop() {}

Socket OpenSocket(int family, bool stream, Error &error) {
  const int type = stream ? SOCK_STREAM : SOCK_DGRAM;
  const int protocol = stream ? IPPROTO_TCP : IPPROTO_UDP;
#if defined(SKYTETHER_PLATFORM_LINUX)
  const int s = ::socket(family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
  if (s < 0) {
    error = ErrorOf(errno);
    return -1;
  }
#else
  const int s = ::socket(family, type, protocol);
  if (s < 0) {
    error = ErrorOf(errno);
    return -1;
  }
  if (::fcntl(s, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK) != 0) {
    error = ErrorOf(errno);
    ::close(s);
    return -1;
  }
#endif
  const int on = 1;
#if defined(SO_NOSIGPIPE)
  // Where sends take no MSG_NOSIGNAL, the socket itself must not raise SIGPIPE.
  ::setsockopt(s, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
  if (!stream) {
    // The kernel stamps each datagram as it arrives: a report's age is then known to the
    // microsecond, however late in the frame the receive run reads it.
#if defined(SKYTETHER_PLATFORM_LINUX)
    ::setsockopt(s, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
#else
    ::setsockopt(s, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
#endif
  }
  error = Error();
  return s;
}

void CloseSocket(Socket s) {
  ::close(s);
}

int Bind(Socket s, const sockaddr_storage &address, socklen_t length) {
  return ::bind(s, reinterpret_cast<const sockaddr *>(&address), length);
}

Error StartConnect(Socket s, const sockaddr_storage &address, socklen_t length) {
  if (::connect(s, reinterpret_cast<const sockaddr *>(&address), length) == 0) return Error();
  // A signal during a non-blocking connect leaves it going on, as EINPROGRESS does.
  if (errno == EINTR) return Error{Failure::InProgress, EINPROGRESS};
  return ErrorOf(errno);
}

ConnectState PollConnect(Socket s, Error &error) {
  pollfd p{s, POLLOUT, 0};
  if (::poll(&p, 1, 0) <= 0) return ConnectState::Waiting;
  int code = 0;
  socklen_t length = sizeof code;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &code, &length) != 0) code = errno;
  error = ErrorOf(code);
  return code == 0 ? ConnectState::Connected : ConnectState::Failed;
}

// ---- A batch of datagrams ----

#if defined(SKYTETHER_PLATFORM_LINUX)

DatagramBatch::DatagramBatch() : message_() {
  for (int i = 0; i < kBatchMax; ++i) {
    vector_[i] = {area_[i], kDatagramArea};
    message_[i].msg_hdr.msg_name = &from_[i];
    message_[i].msg_hdr.msg_namelen = sizeof from_[i];
    message_[i].msg_hdr.msg_iov = &vector_[i];
    message_[i].msg_hdr.msg_iovlen = 1;
    message_[i].msg_hdr.msg_control = control_[i];
    message_[i].msg_hdr.msg_controllen = sizeof control_[i];
  }
}

int DatagramBatch::Receive(Socket s) {
  // Only the entries a run received into were written by the kernel.
  for (int i = 0; i < used_; ++i) {
    message_[i].msg_hdr.msg_namelen = sizeof from_[i];
    message_[i].msg_hdr.msg_controllen = sizeof control_[i];
  }
  int count = 0;
  for (int calls = 0; calls < kBatchMax && count < kBatchMax; ++calls) {
    // MSG_TRUNC: each length is the datagram's own, so one cut by the receive area shows.
    const int got = ::recvmmsg(s, &message_[count], unsigned(kBatchMax - count), MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EBADF || errno == ENOTSOCK) break;
      continue;
    }
    count += got;
  }
  used_ = count;
  return count;
}

double DatagramBatch::Arrival(int i) const {
  msghdr &h = const_cast<msghdr &>(message_[i].msg_hdr);
  for (cmsghdr *c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec t;
    std::memcpy(&t, CMSG_DATA(c), sizeof t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
  }
  return -1;
}

#else

DatagramBatch::DatagramBatch() : message_(), length_() {
  for (int i = 0; i < kBatchMax; ++i) {
    vector_[i].iov_base = area_[i];
    vector_[i].iov_len = kDatagramArea;
    message_[i].msg_name = &from_[i];
    message_[i].msg_iov = &vector_[i];
    message_[i].msg_iovlen = 1;
    message_[i].msg_control = control_[i];
  }
}

int DatagramBatch::Receive(Socket s) {
  int count = 0;
  for (int calls = 0; calls < kBatchMax && count < kBatchMax; ++calls) {
    msghdr &m = message_[count];
    m.msg_namelen = sizeof from_[count];
    m.msg_controllen = sizeof control_[count];
    m.msg_flags = 0;
    const ssize_t got = ::recvmsg(s, &m, 0);
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EBADF || errno == ENOTSOCK) break;
      continue;
    }
    length_[count++] = int(got);
  }
  return count;
}

double DatagramBatch::Arrival(int i) const {
  msghdr &h = const_cast<msghdr &>(message_[i]);
  for (cmsghdr *c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMP) continue;
    timeval t;
    std::memcpy(&t, CMSG_DATA(c), sizeof t);
    return double(t.tv_sec) + double(t.tv_usec) * 1e-6;
  }
  return -1;
}

#endif

// ---- Clocks and random bits ----

bool RandomBits(void *buffer, size_t length) {
  char *p = static_cast<char *>(buffer);
  while (length > 0) {
#if defined(SKYTETHER_PLATFORM_LINUX)
    const ssize_t got = getrandom(p, length, GRND_NONBLOCK);
    if (got <= 0) return false;
    p += got;
    length -= size_t(got);
#else
    const size_t part = length < 256 ? length : 256;  // getentropy's most at once
    if (getentropy(p, part) != 0) return false;
    p += part;
    length -= part;
#endif
  }
  return true;
}

unsigned ProcessId() {
  return unsigned(getpid());
}

// ---- Small files ----

namespace {
// O_NONBLOCK: a named pipe in the file's place must not hold the host.
int OpenForReading(const std::string &path) {
  return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}
bool Regular(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}
}  // namespace

bool ReadSmallFile(const std::string &path, char *buffer, size_t max, size_t &got) {
  got = 0;
  const int fd = OpenForReading(path);
  if (fd < 0) return false;
  const bool regular = Regular(fd);
  while (regular && got < max) {
    const ssize_t n = ::read(fd, buffer + got, max - got);
    if (n <= 0) break;
    got += size_t(n);
  }
  ::close(fd);
  return regular;
}

bool WritePrivateFile(const std::string &path, const std::string &text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd < 0) return false;
  if (!Regular(fd) || ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return false;
  }
  ::fchmod(fd, S_IRUSR | S_IWUSR);
  const char *p = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n <= 0) break;
    p += n;
    left -= size_t(n);
  }
  ::close(fd);
  return left == 0;
}

bool IsRegularFile(const std::string &path) {
  const int fd = OpenForReading(path);
  if (fd < 0) return false;
  const bool regular = Regular(fd);
  ::close(fd);
  return regular;
}

bool Opens(const std::string &path) {
  const int fd = OpenForReading(path);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

}  // namespace platform
