// The server session: both sockets, login and logout, and the periodic announcements.
#include <cstring>
#include <string>
#include <vector>

#include "XPLMPlanes.h"
#include "aircraft/Traffic.h"
#include "net/net.h"
#include "net/server_text.h"
#include "net/wire.h"
#include "platform/platform.h"
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
  if (tsockfd > 0) platform::CloseSocket(tsockfd);
  if (sockfd > 0) platform::CloseSocket(sockfd);
  tsockfd = 0;
  sockfd = 0;
  std::memset(&serverAddress, 0, sizeof serverAddress);
  serverAddressLength = 0;
}

long connectDeadlineMs = 0;  // a connect still in progress then is given up

// The attempt in progress: a name lookup, then the addresses in the resolver's order.
bool lookingUp = false;
uint16_t lookupPort = kProtocolPort;
std::vector<platform::ServerCandidate> candidates;
size_t nextCandidate = 0;
std::string lastFailure;  // why the last address tried did not connect
std::string lastShown;    // that address, shown as ServerShown showed it

// A server that stops reading fills the stream; past this much waiting, new lines are dropped.
constexpr size_t kSendRestCap = 64 * 1024;

// Why the last send took nothing.
platform::Error sendError;

// Hands text to the non-blocking stream; returns the bytes it took (0 when it is full or broken).
// A stream the server closed must not stop the host with SIGPIPE: the layer's sends never raise it.
size_t SendSome(const char *data, size_t length) {
  sendError = platform::Error();
  status = int(platform::SendTo(tsockfd, data, length, &serverAddress, serverAddressLength, sendError));
  return status > 0 ? size_t(status) : 0;
}

sockaddr_storage BuiltInServerAddress(socklen_t &length) {
  sockaddr_storage address;
  NumericServerAddress(kServerAddressText, kProtocolPort, address, length);
  return address;
}

std::string SocketFailure(const platform::Error &error) {
  switch (error.failure) {
    case platform::Failure::Refused:
      return "connection refused";
    case platform::Failure::Reset:
      return "connection reset";
    case platform::Failure::TimedOut:
      return "no answer";
    case platform::Failure::Unreachable:
      return "cannot be reached from here";
    default:
      return platform::ErrorText(error);
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
bool OpenAndConnect(const platform::ServerCandidate &candidate) {
  const int family = candidate.address.ss_family;
  platform::Error streamError, datagramError;
  tsockfd = platform::OpenSocket(family, true, streamError);
  sockfd = platform::OpenSocket(family, false, datagramError);
  serverAddress = candidate.address;
  serverAddressLength = candidate.length;
  lastShown = ServerShown();
  if (tsockfd < 0 || sockfd < 0) {
    lastFailure = SocketFailure(tsockfd < 0 ? streamError : datagramError);
    CloseSockets();
    return false;
  }
  // On a pilot's machine this bind fails and the socket takes an ephemeral port at its first send.
  status = platform::Bind(sockfd, serverAddress, serverAddressLength);
  const platform::Error connectError = platform::StartConnect(tsockfd, serverAddress, serverAddressLength);
  status = connectError.failure == platform::Failure::None ? 0 : -1;
  if (status == 0) {
    if (FinishConnect()) return true;
  } else if (connectError.failure == platform::Failure::InProgress) {
    connectDeadlineMs = platform::SteadyMs() + kConnectWaitMs;
    serverStatus = "Connecting to " + lastShown;
    return true;
  } else {
    lastFailure = SocketFailure(connectError);
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

void StartAttempt(const std::vector<platform::ServerCandidate> &addresses) {
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
  if (sent < line.size() && (sent > 0 || sendError.failure == platform::Failure::WouldBlock))
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
  platform::ServerCandidate address;
  if (choice.host.empty()) {
    address.address = BuiltInServerAddress(address.length);
  } else if (!NumericServerAddress(choice.host, choice.port, address.address, address.length)) {
    serverName = choice.host;
    std::string failure;
    if (!platform::StartLookup(serverName, failure)) {
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
  StartAttempt({platform::ServerCandidate{address, length}});
}

void AdvanceConnect() {
  if (tcpconnecting == 0) return;
  if (lookingUp) {
    std::vector<platform::ServerCandidate> found;
    std::string failure;
    const platform::LookupResult result = platform::PollLookup(lookupPort, found, failure);
    if (result == platform::LookupResult::Waiting) return;
    lookingUp = false;
    if (result == platform::LookupResult::Failed)
      GiveUp("Server " + serverName + ": " + failure);
    else
      StartAttempt(found);
  } else {
    platform::Error error;
    const platform::ConnectState state = platform::PollConnect(tsockfd, error);
    if (state != platform::ConnectState::Waiting) {
      if (state == platform::ConnectState::Connected && FinishConnect()) return;
      if (state == platform::ConnectState::Failed) lastFailure = SocketFailure(error);
      CloseSockets();
      TryNextCandidate();
    } else if (platform::SteadyMs() >= connectDeadlineMs) {
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
    lastFailure = SocketFailure(sendError);
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
    platform::CancelLookup();
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

void ServerEndedSession(const platform::Error &error) {
  const std::string shown = "Server " + ServerShown();
  DisconnectFromServer();
  if (error.failure == platform::Failure::None)
    TellPilot(shown + " closed the connection");
  else if (error.failure == platform::Failure::Reset)
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
