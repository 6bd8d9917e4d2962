// The layer on Windows: Winsock for the sockets, Win32 for clocks, random bits and files. Paths
// are UTF-8 inside the plugin and UTF-16 at every file call (the narrow calls would read them in
// the ANSI code page and miss every folder with a letter outside it).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>
#include <aclapi.h>
#include <bcrypt.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "platform/windows_text.h"

// Winsock's switch for a datagram socket's reset on ICMP port-unreachable (the toolchain's headers
// lack it).
#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace platform {

Error ErrorOf(int code) {
  Failure f = Failure::Other;
  switch (code) {
    case 0: f = Failure::None; break;
    case WSAEWOULDBLOCK: f = Failure::WouldBlock; break;
    case WSAEINPROGRESS: f = Failure::InProgress; break;
    case WSAEINTR: f = Failure::Interrupted; break;
    case WSAECONNREFUSED: f = Failure::Refused; break;
    case WSAECONNRESET:
    case WSAECONNABORTED: f = Failure::Reset; break;
    case WSAETIMEDOUT: f = Failure::TimedOut; break;
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAEADDRNOTAVAIL:
    case WSAEAFNOSUPPORT: f = Failure::Unreachable; break;
    case WSAENOTSOCK:
    case WSAEBADF: f = Failure::NotSocket; break;
    default: break;
  }
  return Error{f, code};
}

std::string ErrorText(const Error &error) {
  wchar_t *text = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, DWORD(error.code), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
  std::string out = n > 0 ? Utf8(std::wstring(text, n)) : "error " + std::to_string(error.code);
  if (text != nullptr) LocalFree(text);
  // The system's sentences end in a full stop and a line break; the pilot's messages do not.
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.' || out.back() == ' '))
    out.pop_back();
  return out;
}

namespace {
int started = 0;  // WSAStartup calls not yet balanced
}  // namespace

bool NetworkStart(Error &error) {
  WSADATA data;
  const int code = WSAStartup(MAKEWORD(2, 2), &data);
  error = ErrorOf(code);
  if (code != 0) return false;
  ++started;
  return true;
}

void NetworkStop() {
  if (started == 0) return;
  --started;
  WSACleanup();
}

Socket OpenSocket(int family, bool stream, Error &error) {
  const SOCKET s = WSASocketW(family, stream ? SOCK_STREAM : SOCK_DGRAM, stream ? IPPROTO_TCP : IPPROTO_UDP,
                              nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    error = ErrorOf(WSAGetLastError());
    return -1;
  }
  u_long on = 1;
  if (ioctlsocket(s, FIONBIO, &on) != 0) {
    error = ErrorOf(WSAGetLastError());
    closesocket(s);
    return -1;
  }
  if (!stream) {
    // An ICMP port-unreachable answer to an earlier send would otherwise make the next receive
    // fail with a reset, and the run would end there with datagrams still waiting.
    BOOL report = FALSE;
    DWORD bytes = 0;
    WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &bytes, nullptr, nullptr);
  }
  error = Error();
  // Socket handles are kernel handles, which Windows keeps within 32 bits.
  return Socket(s);
}

void CloseSocket(Socket s) {
  closesocket(SOCKET(s));
}

int Bind(Socket s, const sockaddr_storage &address, socklen_t length) {
  return ::bind(SOCKET(s), reinterpret_cast<const sockaddr *>(&address), length) == 0 ? 0 : -1;
}

Error StartConnect(Socket s, const sockaddr_storage &address, socklen_t length) {
  if (::connect(SOCKET(s), reinterpret_cast<const sockaddr *>(&address), length) == 0) return Error();
  const int code = WSAGetLastError();
  // A non-blocking connect that goes on reports "would block" here, not "in progress".
  if (code == WSAEWOULDBLOCK || code == WSAEINPROGRESS) return Error{Failure::InProgress, code};
  return ErrorOf(code);
}

ConnectState PollConnect(Socket s, Error &error) {
  // A refused connect shows in select's exception set; a writable socket is a connected one.
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(SOCKET(s), &writable);
  FD_SET(SOCKET(s), &failed);
  timeval now{0, 0};
  if (select(0, nullptr, &writable, &failed, &now) <= 0) return ConnectState::Waiting;
  int code = 0;
  int length = sizeof code;
  if (getsockopt(SOCKET(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&code), &length) != 0)
    code = WSAGetLastError();
  if (code == 0 && FD_ISSET(SOCKET(s), &failed)) code = WSAECONNREFUSED;
  error = ErrorOf(code);
  return code == 0 ? ConnectState::Connected : ConnectState::Failed;
}

long SendTo(Socket s, const void *data, size_t length, const sockaddr_storage *to, socklen_t toLength,
            Error &error) {
  const int n = ::sendto(SOCKET(s), static_cast<const char *>(data), int(length), 0,
                         reinterpret_cast<const sockaddr *>(to), toLength);
  if (n == SOCKET_ERROR) {
    error = ErrorOf(WSAGetLastError());
    return -1;
  }
  return n;
}

long Receive(Socket s, void *data, size_t length, Error &error) {
  const int n = ::recv(SOCKET(s), static_cast<char *>(data), int(length), 0);
  if (n == SOCKET_ERROR) {
    error = ErrorOf(WSAGetLastError());
    return -1;
  }
  return n;
}

// ---- A batch of datagrams ----

DatagramBatch::DatagramBatch() : length_(), fromLength_(), cut_(), arrival_() {}

int DatagramBatch::Receive(Socket s) {
  int count = 0;
  for (int calls = 0; calls < kBatchMax && count < kBatchMax; ++calls) {
    int fromLength = sizeof from_[count];
    const int got = ::recvfrom(SOCKET(s), area_[count], kDatagramArea, 0,
                               reinterpret_cast<sockaddr *>(&from_[count]), &fromLength);
    bool cut = false;
    if (got == SOCKET_ERROR) {
      const int code = WSAGetLastError();
      if (code == WSAEWOULDBLOCK || code == WSAENOTSOCK || code == WSANOTINITIALISED) break;
      // A datagram longer than the area: its first part is in the area, the rest is lost.
      if (code != WSAEMSGSIZE) continue;
      cut = true;
    }
    length_[count] = cut ? kDatagramArea : got;
    fromLength_[count] = fromLength;
    cut_[count] = cut;
    // Winsock stamps no arrival time on a datagram read this way.
    arrival_[count] = -1;
    ++count;
  }
  return count;
}

// ---- Clocks and random bits ----

namespace {
double TicksPerSecond() {
  static const double ticks = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return double(f.QuadPart);
  }();
  return ticks;
}
// 100-nanosecond steps since 1970.
long long WallTicks() {
  FILETIME t;
  GetSystemTimePreciseAsFileTime(&t);
  const long long since1601 = (static_cast<long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  return since1601 - 116444736000000000LL;
}
}  // namespace

double SteadySeconds() {
  LARGE_INTEGER c;
  QueryPerformanceCounter(&c);
  return double(c.QuadPart) / TicksPerSecond();
}

long SteadyMs() {
  return long(SteadySeconds() * 1000.0);
}

void WallClock(long &seconds, long &micros) {
  const long long ticks = WallTicks();
  seconds = long(ticks / 10000000);
  micros = long(ticks % 10000000 / 10);
}

double WallSeconds() {
  return double(WallTicks()) * 1e-7;
}

bool RandomBits(void *buffer, size_t length) {
  return BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer), ULONG(length), BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

unsigned ProcessId() {
  return unsigned(GetCurrentProcessId());
}

// ---- Small files ----

namespace {

struct Handle {
  HANDLE h;
  explicit Handle(HANDLE handle) : h(handle) {}
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  bool Good() const { return h != INVALID_HANDLE_VALUE; }
  // A file on a disk: no pipe, console or other device a path may name ("CON", "\\.\pipe\x").
  bool Regular() const { return Good() && GetFileType(h) == FILE_TYPE_DISK; }
};

HANDLE OpenForReading(const std::string &path) {
  const std::wstring wide = Wide(path);
  if (wide.empty()) return INVALID_HANDLE_VALUE;
  return CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// An access list that lets the user this process runs as, and nobody else, at the file.
struct OwnerOnly {
  std::vector<unsigned char> user;  // the user's TOKEN_USER
  std::vector<unsigned char> acl;
  SECURITY_DESCRIPTOR descriptor;
  bool good = false;

  OwnerOnly() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user.resize(size);
    const bool have = size > 0 && GetTokenInformation(token, TokenUser, user.data(), size, &size);
    CloseHandle(token);
    if (!have) return;
    PSID sid = reinterpret_cast<TOKEN_USER *>(user.data())->User.Sid;
    acl.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
    PACL list = reinterpret_cast<PACL>(acl.data());
    good = InitializeAcl(list, DWORD(acl.size()), ACL_REVISION) &&
           AddAccessAllowedAce(list, ACL_REVISION, FILE_ALL_ACCESS, sid) &&
           InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE) &&
           SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  }
  PACL List() { return reinterpret_cast<PACL>(acl.data()); }
};

}  // namespace

bool ReadSmallFile(const std::string &path, char *buffer, size_t max, size_t &got) {
  got = 0;
  Handle file(OpenForReading(path));
  if (!file.Regular()) return false;
  while (got < max) {
    DWORD n = 0;
    if (!ReadFile(file.h, buffer + got, DWORD(max - got), &n, nullptr) || n == 0) break;
    got += n;
  }
  return true;
}

bool WritePrivateFile(const std::string &path, const std::string &text) {
  const std::wstring wide = Wide(path);
  if (wide.empty()) return false;
  OwnerOnly access;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, access.good ? &access.descriptor : nullptr, FALSE};
  // Created owner-only from its first moment; an existing file is made so before it is written.
  Handle file(CreateFileW(wide.c_str(), GENERIC_WRITE | WRITE_DAC | READ_CONTROL, FILE_SHARE_READ, &attributes,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Regular()) return false;
  if (access.good)
    SetSecurityInfo(file.h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                    nullptr, nullptr, access.List(), nullptr);
  if (!SetEndOfFile(file.h)) return false;
  size_t done = 0;
  while (done < text.size()) {
    DWORD n = 0;
    if (!WriteFile(file.h, text.data() + done, DWORD(text.size() - done), &n, nullptr) || n == 0) break;
    done += n;
  }
  return done == text.size();
}

bool IsRegularFile(const std::string &path) {
  Handle file(OpenForReading(path));
  return file.Regular();
}

bool Opens(const std::string &path) {
  Handle file(OpenForReading(path));
  return file.Good();
}

}  // namespace platform
