// The server session: both sockets, login and logout, and the periodic announcements.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "XPLMPlanes.h"
#include "aircraft/Traffic.h"
#include "net/net.h"
#include "net/server_text.h"
#include "net/wire.h"
#include "plugin/SkytetherSE.h"
#include "ui/ui.h"

namespace {

const char kServerAddressText[] = SKYTETHER_SERVER_ADDRESS;
// A server that does not answer the connect is given up after this long (each of its addresses).
// Nothing waits for it: the receive runs look whether the connect is done.
constexpr int kConnectWaitMs = 3000;
// The longest part of a typed server text a message quotes.
constexpr size_t kQuotedTextMax = 40;

void CloseSockets() {
  tcpSendRest.clear();
  if (tsockfd > 0) ::close(tsockfd);
  if (sockfd > 0) ::close(sockfd);
  tsockfd = 0;
  sockfd = 0;
  std::memset(&serverAddress, 0, sizeof serverAddress);
  serverAddressLength = 0;
}

long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return long(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

long connectDeadlineMs = 0;  // a connect still in progress then is given up

// The attempt in progress: a name lookup, then the addresses in the resolver's order.
bool lookingUp = false;
uint16_t lookupPort = kProtocolPort;
std::vector<ServerCandidate> candidates;
size_t nextCandidate = 0;
std::string lastFailure;  // why the last address tried did not connect
std::string lastShown;    // that address, shown as ServerShown showed it

// A server that stops reading fills the stream; past this much waiting, new lines are dropped.
constexpr size_t kSendRestCap = 64 * 1024;

// Hands text to the non-blocking stream; returns the bytes it took (0 when it is full or broken).
size_t SendSome(const char *data, size_t length) {
  // MSG_NOSIGNAL: a stream the server closed must not stop the host with SIGPIPE.
  status = int(::sendto(tsockfd, data, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&serverAddress),
                        serverAddressLength));
  return status > 0 ? size_t(status) : 0;
}

sockaddr_storage BuiltInServerAddress(socklen_t &length) {
  sockaddr_storage address;
  NumericServerAddress(kServerAddressText, kProtocolPort, address, length);
  return address;
}

std::string SocketFailure(int error) {
  switch (error) {
    case ECONNREFUSED:
      return "connection refused";
    case ECONNRESET:
      return "connection reset";
    case ETIMEDOUT:
      return "no answer";
    case ENETUNREACH:
    case EHOSTUNREACH:
    case EADDRNOTAVAIL:
    case EAFNOSUPPORT:
      return "cannot be reached from here";
    default:
      return std::strerror(error);
  }
}

// Tells the pilot, in the chat window and the plane list, what became of the server.
void TellPilot(const std::string &text) {
  serverStatus = text;
  AppendChatLine(text);
}

// The attempt ends without a session.
void GiveUp(const std::string &text) {
  CloseSockets();
  candidates.clear();
  nextCandidate = 0;
  lookingUp = false;
  tcpconnecting = 0;
  TellPilot(text);
}

// Opens the sockets for one address and starts the connect; false (sockets closed, lastFailure
// set) when it failed at once.
bool OpenAndConnect(const ServerCandidate &candidate) {
  const int family = candidate.address.ss_family;
  tsockfd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 6);
  sockfd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 17);
  const int socketError = errno;
  serverAddress = candidate.address;
  serverAddressLength = candidate.length;
  lastShown = ServerShown();
  if (tsockfd < 0 || sockfd < 0) {
    lastFailure = SocketFailure(socketError);
    CloseSockets();
    return false;
  }
  // The kernel stamps each datagram as it arrives: a report's age is then known to the
  // microsecond, however late in the frame the receive run reads it.
  const int on = 1;
  ::setsockopt(sockfd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  // On a pilot's machine this bind fails and the socket takes an ephemeral port at its first send.
  status = ::bind(sockfd, reinterpret_cast<sockaddr *>(&serverAddress), serverAddressLength);
  status = ::connect(tsockfd, reinterpret_cast<sockaddr *>(&serverAddress), serverAddressLength);
  if (status == 0) {
    if (FinishConnect()) return true;
  } else if (errno == EINPROGRESS || errno == EINTR) {
    connectDeadlineMs = NowMs() + kConnectWaitMs;
    serverStatus = "Connecting to " + lastShown;
    return true;
  } else {
    lastFailure = SocketFailure(errno);
  }
  CloseSockets();
  return false;
}

// Tries the addresses left, in order, until one connects or starts connecting.
void TryNextCandidate() {
  while (nextCandidate < candidates.size()) {
    if (OpenAndConnect(candidates[nextCandidate++])) return;
  }
  GiveUp("Server " + lastShown + ": " + lastFailure);
}

void StartAttempt(const std::vector<ServerCandidate> &addresses) {
  candidates = addresses;
  nextCandidate = 0;
  tcpconnecting = 1;
  TryNextCandidate();
}

std::string Quoted(const std::string &text) {
  if (text.size() <= kQuotedTextMax) return "\"" + text + "\"";
  return "\"" + text.substr(0, kQuotedTextMax) + "...\"";
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

std::string ServerShown() {
  const std::string address = serverAddressLength != 0 ? AddressText(serverAddress) : "";
  if (serverName.empty()) return address;
  if (address.empty()) return serverName;
  return serverName + " (" + address + ")";
}

int ConnectToServer() {
  if (tcpconnected != 0 || tcpconnecting != 0) return tcpconnected;
  ServerChoice choice;
  const std::string problem = ParseServerText(server, choice);
  serverName.clear();
  if (!problem.empty()) {
    GiveUp("Server " + Quoted(server) + ": " + problem);
    return tcpconnected;
  }
  ServerCandidate address;
  if (choice.host.empty()) {
    address.address = BuiltInServerAddress(address.length);
  } else if (!NumericServerAddress(choice.host, choice.port, address.address, address.length)) {
    serverName = choice.host;
    std::string failure;
    if (!StartLookup(serverName, failure)) {
      GiveUp("Server " + serverName + ": " + failure);
      return tcpconnected;
    }
    lookingUp = true;
    lookupPort = choice.port;
    tcpconnecting = 1;
    serverStatus = "Looking up " + serverName;
    return tcpconnected;
  }
  StartAttempt({address});
  return tcpconnected;
}

void BeginConnect(const sockaddr_storage &address, socklen_t length) {
  if (tcpconnected != 0 || tcpconnecting != 0) return;
  StartAttempt({ServerCandidate{address, length}});
}

void AdvanceConnect() {
  if (tcpconnecting == 0) return;
  if (lookingUp) {
    std::vector<ServerCandidate> found;
    std::string failure;
    const LookupResult result = PollLookup(lookupPort, found, failure);
    if (result == LookupResult::Waiting) return;
    lookingUp = false;
    if (result == LookupResult::Failed)
      GiveUp("Server " + serverName + ": " + failure);
    else
      StartAttempt(found);
  } else {
    pollfd p{tsockfd, POLLOUT, 0};
    if (::poll(&p, 1, 0) > 0) {
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(tsockfd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      if (err == 0 && FinishConnect()) return;
      if (err != 0) lastFailure = SocketFailure(err);
      CloseSockets();
      TryNextCandidate();
    } else if (NowMs() >= connectDeadlineMs) {
      lastFailure = "no answer";
      CloseSockets();
      TryNextCandidate();
    }
  }
  if (tcpconnecting == 0) SessionChanged();
}

bool FinishConnect() {
  std::string token = LoginToken(uniqueID, userID, password);
  std::string line = BuildLoginLine(uniqueID, userID, token);
  tcptx = "Tx";
  SendStreamLine(line);
  if (status <= 0) {
    lastFailure = SocketFailure(errno);
    CloseSockets();
    return false;
  }
  tcpconnecting = 0;
  candidates.clear();
  nextCandidate = 0;
  tcpconnected = 1;
  serverStatus = "Connected to " + ServerShown();
  AcquirePlanes();
  SessionChanged();
  return true;
}

int DisconnectFromServer() {
  if (tcpconnecting != 0) {
    CancelLookup();
    lookingUp = false;
    candidates.clear();
    CloseSockets();
    tcpconnecting = 0;
    serverStatus = "Not connected";
    SessionChanged();
    return 1;
  }
  if (tcpconnected == 0) return 1;
  SendStreamLine(BuildLogoutLine(uniqueID));
  CloseSockets();
  tcpconnected = 0;
  serverStatus = "Not connected";
  ReleasePlanes();
  SessionChanged();
  return 1;
}

void ServerEndedSession(int error) {
  const std::string shown = "Server " + ServerShown();
  DisconnectFromServer();
  if (error == 0)
    TellPilot(shown + " closed the connection");
  else if (error == ECONNRESET)
    TellPilot(shown + " reset the connection");
  else
    TellPilot(shown + ": " + SocketFailure(error));
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
