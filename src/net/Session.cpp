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
#include "aircraft/Traffic.h"
#include "net/net.h"
#include "net/wire.h"
#include "plugin/SkytetherSE.h"
#include "ui/ui.h"

namespace {

const char kServerAddressText[] = SKYTETHER_SERVER_ADDRESS;
constexpr uint16_t kServerPort = 49556;
// A server that does not answer the connect is given up after this long. Nothing waits for it:
// the receive runs look whether the connect is done.
constexpr int kConnectWaitMs = 3000;

void CloseSockets() {
  tcpSendRest.clear();
  if (tsockfd > 0) ::close(tsockfd);
  if (sockfd > 0) ::close(sockfd);
  tsockfd = 0;
  sockfd = 0;
  tcpconnecting = 0;
  std::memset(&serverAddress, 0, sizeof serverAddress);
}

long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return long(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

long connectDeadlineMs = 0;  // a connect still in progress then is given up

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

sockaddr_in BuiltInServerAddress() {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(kServerPort);
  ::inet_pton(AF_INET, kServerAddressText, &address.sin_addr);
  return address;
}

int ConnectToServer() {
  if (tcpconnected != 0 || tcpconnecting != 0) return tcpconnected;
  BeginConnect(BuiltInServerAddress());
  return tcpconnected;
}

void BeginConnect(const sockaddr_in &address) {
  if (tcpconnected != 0 || tcpconnecting != 0) return;
  tsockfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 6);
  sockfd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 17);
  serverAddress = address;
  // On a pilot's machine this bind fails and the socket takes an ephemeral port at its first send.
  status = ::bind(sockfd, reinterpret_cast<sockaddr *>(&serverAddress), sizeof serverAddress);
  if (tsockfd < 0 || sockfd < 0) {
    CloseSockets();
    return;
  }
  // The kernel stamps each datagram as it arrives: a report's age is then known to the
  // microsecond, however late in the frame the receive run reads it.
  const int on = 1;
  ::setsockopt(sockfd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  status = ::connect(tsockfd, reinterpret_cast<sockaddr *>(&serverAddress), sizeof serverAddress);
  if (status == 0) {
    FinishConnect();
  } else if (errno == EINPROGRESS || errno == EINTR) {
    tcpconnecting = 1;
    connectDeadlineMs = NowMs() + kConnectWaitMs;
  } else {
    CloseSockets();
  }
}

void AdvanceConnect() {
  if (tcpconnecting == 0) return;
  pollfd p{tsockfd, POLLOUT, 0};
  if (::poll(&p, 1, 0) > 0) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(tsockfd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) {
      FinishConnect();
    } else {
      CloseSockets();
    }
  } else if (NowMs() >= connectDeadlineMs) {
    CloseSockets();
  }
  if (tcpconnecting == 0) SessionChanged();
}

void FinishConnect() {
  tcpconnecting = 0;
  std::string token = LoginToken(uniqueID, userID, password);
  std::string line = BuildLoginLine(uniqueID, userID, token);
  tcptx = "Tx";
  SendStreamLine(line);
  if (status > 0) {
    tcpconnected = 1;
    AcquirePlanes();
  } else {
    CloseSockets();
  }
  SessionChanged();
}

int DisconnectFromServer() {
  if (tcpconnecting != 0) {
    CloseSockets();
    SessionChanged();
    return 1;
  }
  if (tcpconnected == 0) return 1;
  SendStreamLine(BuildLogoutLine(uniqueID));
  CloseSockets();
  tcpconnected = 0;
  ReleasePlanes();
  SessionChanged();
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
