// The server session: both sockets, login and logout, and the periodic announcements.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "XPLMPlanes.h"
#include "net/net.h"
#include "net/wire.h"
#include "plugin/SkytetherSE.h"

namespace {

const char kServerAddressText[] = SKYTETHER_SERVER_ADDRESS;
constexpr uint16_t kServerPort = 49556;
// The connect runs on the host's main thread: a server that does not answer may hold the
// simulator's frame for at most this long.
constexpr int kConnectWaitMs = 3000;

void CloseSockets() {
  tcpSendRest.clear();
  if (tsockfd > 0) ::close(tsockfd);
  if (sockfd > 0) ::close(sockfd);
  tsockfd = 0;
  sockfd = 0;
  std::memset(&serverAddress, 0, sizeof serverAddress);
}

long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return long(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Connects fd (left non-blocking) to the server, waiting at most kConnectWaitMs. Returns 0 when
// the connection is made, -1 otherwise.
int BoundedConnect(int fd) {
  if (fd < 0) return -1;
  ::fcntl(fd, F_SETFL, O_NONBLOCK);
  if (::connect(fd, reinterpret_cast<sockaddr *>(&serverAddress), sizeof serverAddress) == 0) return 0;
  if (errno != EINPROGRESS && errno != EINTR) return -1;
  long deadline = NowMs() + kConnectWaitMs;
  for (;;) {
    long left = deadline - NowMs();
    if (left <= 0) return -1;
    pollfd p{fd, POLLOUT, 0};
    int r = ::poll(&p, 1, int(left));
    if (r > 0) break;
    if (r == 0) return -1;
    if (errno != EINTR) return -1;
  }
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return -1;
  return 0;
}

// A server that stops reading fills the stream; past this much waiting, new lines are dropped.
constexpr size_t kSendRestCap = 64 * 1024;

// Hands text to the non-blocking stream; returns the bytes it took (0 when it is full or broken).
size_t SendSome(const char *data, size_t length) {
  // MSG_NOSIGNAL: a stream the server closed must not stop the host with SIGPIPE.
  status = int(::sendto(tsockfd, data, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&serverAddress),
                        sizeof serverAddress));
  return status > 0 ? size_t(status) : 0;
}

}  // namespace

void FlushStreamLines() {
  if (tcpSendRest.empty()) return;
  tcpSendRest.erase(0, SendSome(tcpSendRest.data(), tcpSendRest.size()));
}

void SendStreamLine(const std::string &line) {
  // A full stream may take part of a line: the rest waits in tcpSendRest, and later lines behind
  // it, so the server never gets half a line joined to the next.
  FlushStreamLines();
  if (!tcpSendRest.empty()) {
    if (tcpSendRest.size() + line.size() <= kSendRestCap) tcpSendRest += line;
    return;
  }
  size_t sent = SendSome(line.data(), line.size());
  if (sent < line.size() && (sent > 0 || errno == EAGAIN || errno == EWOULDBLOCK))
    tcpSendRest = line.substr(sent);
}

int ConnectToServer() {
  if (tcpconnected != 0) return tcpconnected;

  tsockfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 6);
  sockfd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 17);

  std::memset(&serverAddress, 0, sizeof serverAddress);
  serverAddress.sin_family = AF_INET;
  serverAddress.sin_port = htons(kServerPort);
  ::inet_pton(AF_INET, kServerAddressText, &serverAddress.sin_addr);

  // On a pilot's machine this bind fails and the socket takes an ephemeral port at its first send.
  status = ::bind(sockfd, reinterpret_cast<sockaddr *>(&serverAddress), sizeof serverAddress);
  ::fcntl(sockfd, F_SETFL, O_NONBLOCK);

  status = BoundedConnect(tsockfd);
  if (status != 0) {
    CloseSockets();
    return tcpconnected;
  }

  std::string token = LoginToken(uniqueID, userID, password);
  std::string line = BuildLoginLine(uniqueID, userID, token);
  tcptx = "Tx";
  SendStreamLine(line);
  if (status > 0) {
    tcpconnected = 1;
  } else {
    CloseSockets();
  }
  return tcpconnected;
}

int DisconnectFromServer() {
  if (tcpconnected == 0) return 1;
  SendStreamLine(BuildLogoutLine(uniqueID));
  CloseSockets();
  tcpconnected = 0;
  return 1;
}

float SkytetherProcessAirplaneCallback(float, float, int, void *) {
  if (tcpconnected == 0) return 1.0f;

  // The sizes the SDK asks for: the host writes up to 256 bytes of file name and 512 of path.
  char fileName[256] = {0};
  char path[512] = {0};
  XPLMGetNthAircraftModel(0, fileName, path);
  path[sizeof path - 1] = '\0';

  if (viewOnly != 1) {
    tcptx = "Tx";
    SendStreamLine(BuildModelLine(uniqueID, path));
  }
  tcptx = "Tx";
  SendStreamLine(BuildCallsignLine(uniqueID, myCallsign, viewOnly == 1));
  return 10.0f;
}
