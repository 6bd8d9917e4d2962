#pragma once
// What the plugin asks of the operating system, one way on every system: sockets, name lookups,
// clocks, random bits and small files. Three builds answer it: Linux (the fastest calls Linux
// has), portable POSIX (only what macOS has too) and Windows (Winsock and Win32). Nothing here
// blocks and nothing calls back: every wait is a question the host's main thread asks again
// later. All of it runs on the host's main thread.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/socket_types.h"

namespace platform {

// ---- Errors ----

// What went wrong, named one way on every system. code keeps the system's own number (errno, or
// the Winsock error) for the text of an error without a name here.
enum class Failure {
  None,
  WouldBlock,    // nothing to read now, or no room to send
  InProgress,    // a connect goes on in the background
  Interrupted,   // a signal cut the call short: ask again
  Refused,       // nobody listens there
  Reset,         // the peer reset the connection
  TimedOut,      // the peer never answered
  Unreachable,   // no route to the peer, or no address of this family here
  NotSocket,     // the descriptor is closed or no socket
  Other,
};
struct Error {
  Failure failure = Failure::None;
  int code = 0;
};
// The system's text for an error (its message for code).
std::string ErrorText(const Error &error);
// The error a system code names (errno, or a Winsock error).
Error ErrorOf(int code);

// ---- Sockets ----

// A socket descriptor; 0 is never one the session holds (it means "closed").
using Socket = int;

// Readies the system's sockets (Winsock's start-up on Windows); balanced by NetworkStop. False,
// with why, when sockets cannot be had.
bool NetworkStart(Error &error);
void NetworkStop();

// A non-blocking socket (stream or datagram) of the family, kept from child processes; a send on
// it never raises SIGPIPE. A datagram socket stamps each datagram with its arrival time where the
// system can, and survives an ICMP port-unreachable answer to an earlier send. -1 on failure.
Socket OpenSocket(int family, bool stream, Error &error);
void CloseSocket(Socket s);
// 0 when bound, -1 otherwise.
int Bind(Socket s, const sockaddr_storage &address, socklen_t length);
// Starts a connect: None when it completed at once, InProgress when it goes on, else why it failed.
Error StartConnect(Socket s, const sockaddr_storage &address, socklen_t length);
enum class ConnectState { Waiting, Connected, Failed };
// Whether a connect in progress has ended; Failed fills error (a refusal among others).
ConnectState PollConnect(Socket s, Error &error);
// Sends at most length bytes (to the address, on a datagram socket); the count taken, or -1 with
// error set.
long SendTo(Socket s, const void *data, size_t length, const sockaddr_storage *to, socklen_t toLength,
            Error &error);
// Reads at most length bytes of a stream: the count, 0 when the peer closed it, -1 with error.
long Receive(Socket s, void *data, size_t length, Error &error);

// ---- A batch of datagrams ----

constexpr int kBatchMax = 90;        // datagrams one receive run reads at most
constexpr int kDatagramArea = 1400;  // bytes of each datagram read

// The datagrams one receive run read, in arrival order. Large: keep it static.
class DatagramBatch {
 public:
  DatagramBatch();
  // Reads up to kBatchMax datagrams waiting on s, in as few calls as the system allows; the reads
  // end at the first call that finds nothing. An error the socket holds (an ICMP answer to an
  // earlier send) is taken and the reads go on. Returns the count read.
  int Receive(Socket s);
  // Datagram i's bytes, with one spare byte after the area for a terminator.
  char *Data(int i) { return area_[i]; }
  // The bytes it holds: its own length, or kDatagramArea when the area cut it (Cut).
  int Length(int i) const;
  bool Cut(int i) const;
  const sockaddr_storage &From(int i) const { return from_[i]; }
  socklen_t FromLength(int i) const;
  // The wall-clock time (seconds since 1970) the system stamped it with on arrival; negative when
  // the system gave no stamp.
  double Arrival(int i) const;

 private:
  char area_[kBatchMax][kDatagramArea + 1];
  sockaddr_storage from_[kBatchMax];
#if defined(SKYTETHER_PLATFORM_LINUX)
  iovec vector_[kBatchMax];
  mmsghdr message_[kBatchMax];
  alignas(cmsghdr) char control_[kBatchMax][CMSG_SPACE(sizeof(timespec))];
  int used_ = 0;  // entries the last run received into, whose lengths the kernel rewrote
#elif defined(SKYTETHER_PLATFORM_POSIX)
  iovec vector_[kBatchMax];
  msghdr message_[kBatchMax];
  alignas(cmsghdr) char control_[kBatchMax][CMSG_SPACE(sizeof(timeval))];
  int length_[kBatchMax];
#else
  int length_[kBatchMax];
  int fromLength_[kBatchMax];
  bool cut_[kBatchMax];
  double arrival_[kBatchMax];
#endif
};

#if defined(SKYTETHER_PLATFORM_LINUX)
inline int DatagramBatch::Length(int i) const {
  const int n = int(message_[i].msg_len);
  return n > kDatagramArea ? kDatagramArea : n;
}
inline bool DatagramBatch::Cut(int i) const {
  return int(message_[i].msg_len) > kDatagramArea || (message_[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
}
inline socklen_t DatagramBatch::FromLength(int i) const { return message_[i].msg_hdr.msg_namelen; }
#elif defined(SKYTETHER_PLATFORM_POSIX)
inline int DatagramBatch::Length(int i) const { return length_[i] > kDatagramArea ? kDatagramArea : length_[i]; }
inline bool DatagramBatch::Cut(int i) const {
  return length_[i] > kDatagramArea || (message_[i].msg_flags & MSG_TRUNC) != 0;
}
inline socklen_t DatagramBatch::FromLength(int i) const { return message_[i].msg_namelen; }
#else
inline int DatagramBatch::Length(int i) const { return length_[i]; }
inline bool DatagramBatch::Cut(int i) const { return cut_[i]; }
inline socklen_t DatagramBatch::FromLength(int i) const { return socklen_t(fromLength_[i]); }
inline double DatagramBatch::Arrival(int i) const { return arrival_[i]; }
#endif

// ---- Name lookups ----

struct ServerCandidate {
  sockaddr_storage address;
  socklen_t length;
};
enum class LookupResult { Waiting, Done, Failed };
// Starts looking name up, by the system's resolver, without waiting for it; false, with why in
// failure, when it cannot start. Replaces a lookup still running.
bool StartLookup(const std::string &name, std::string &failure);
// Whether the lookup has ended: Done fills candidates (in the resolver's order, each with port);
// Failed says why (no such name, no answer from the name server after 10 s, ...).
LookupResult PollLookup(uint16_t port, std::vector<ServerCandidate> &candidates, std::string &failure);
// Stops waiting for the lookup in progress, if any.
void CancelLookup();
// At plugin stop: stops waiting for every lookup.
void ReleaseLookups();

// ---- Clocks and random bits ----

// A clock that never steps, in seconds and in milliseconds.
double SteadySeconds();
long SteadyMs();
// The wall clock: seconds since 1970 and microseconds of that second.
void WallClock(long &seconds, long &micros);
double WallSeconds();
// Fills buffer from the system's entropy source; false when it cannot.
bool RandomBits(void *buffer, size_t length);
// This process's id.
unsigned ProcessId();

// ---- Small files, by UTF-8 path ----

// Reads up to max bytes of a regular file; false when it does not open or is no regular file.
// Opening never waits (a named pipe in its place does not hold the host).
bool ReadSmallFile(const std::string &path, char *buffer, size_t max, size_t &got);
// Replaces the file's content with text, the file readable and writable by its owner only
// (created so, and made so when it exists). False when it is no regular file or cannot be written.
bool WritePrivateFile(const std::string &path, const std::string &text);
// A regular file that opens for reading.
bool IsRegularFile(const std::string &path);
// Anything that opens for reading at the path.
bool Opens(const std::string &path);

}  // namespace platform

#if !defined(_WIN32)
// On POSIX systems the calls of every frame are the system's own, inline.
#include <errno.h>
#include <sys/time.h>

namespace platform {

inline long SendTo(Socket s, const void *data, size_t length, const sockaddr_storage *to, socklen_t toLength,
                   Error &error) {
#if defined(MSG_NOSIGNAL)
  constexpr int kFlags = MSG_NOSIGNAL;  // elsewhere the socket itself is made so
#else
  constexpr int kFlags = 0;
#endif
  const ssize_t n = ::sendto(s, data, length, kFlags, reinterpret_cast<const sockaddr *>(to), toLength);
  if (n < 0) error = ErrorOf(errno);
  return long(n);
}

inline long Receive(Socket s, void *data, size_t length, Error &error) {
  const ssize_t n = ::recv(s, data, length, 0);
  if (n < 0) error = ErrorOf(errno);
  return long(n);
}

inline double SteadySeconds() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

inline long SteadyMs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return long(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

inline void WallClock(long &seconds, long &micros) {
  timeval now;
  gettimeofday(&now, nullptr);
  seconds = long(now.tv_sec);
  micros = long(now.tv_usec);
}

inline double WallSeconds() {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

}  // namespace platform
#endif
