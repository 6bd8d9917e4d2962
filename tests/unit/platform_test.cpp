// The platform layer against the system it is built for: the errors a connect and a stream meet,
// named the same everywhere; datagrams read in a batch, cut ones told apart, with where and when
// they came from; files by UTF-8 path; a name looked up without waiting. Built once per layer
// (Linux, portable POSIX; Windows, run under wine).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/platform.h"

namespace {

using platform::ConnectState;
using platform::Failure;

struct Network {
  Network() {
    platform::Error error;
    EXPECT_TRUE(platform::NetworkStart(error)) << platform::ErrorText(error);
  }
  ~Network() { platform::NetworkStop(); }
};

// A socket the test owns, closed with it.
struct Owned {
  platform::Socket s = -1;
  Owned(int family, bool stream) {
    platform::Error error;
    s = platform::OpenSocket(family, stream, error);
    EXPECT_GE(s, 0) << platform::ErrorText(error);
  }
  explicit Owned(platform::Socket taken) : s(taken) {}
  ~Owned() {
    if (s >= 0) platform::CloseSocket(s);
  }
  Owned(const Owned &) = delete;
  Owned &operator=(const Owned &) = delete;
};

sockaddr_storage Loopback(uint16_t port, socklen_t &length) {
  sockaddr_storage a;
  std::memset(&a, 0, sizeof a);
  auto *in4 = reinterpret_cast<sockaddr_in *>(&a);
  in4->sin_family = AF_INET;
  in4->sin_port = htons(port);
  in4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  length = sizeof(sockaddr_in);
  return a;
}

// The port a socket bound to 127.0.0.1:0 got.
uint16_t BoundPort(platform::Socket s) {
  socklen_t length;
  sockaddr_storage a = Loopback(0, length);
  EXPECT_EQ(platform::Bind(s, a, length), 0);
  socklen_t got = sizeof a;
  EXPECT_EQ(::getsockname(s, reinterpret_cast<sockaddr *>(&a), &got), 0);
  return ntohs(reinterpret_cast<sockaddr_in &>(a).sin_port);
}

// Waits up to `seconds` until done() holds; between checks, until the socket done() reads is
// readable (or, for a connect, writable or failed). A lookup has no socket to wait on: it is asked
// every 2 ms, as the plugin asks it every frame.
template <typename Done>
bool WaitFor(Done done, platform::Socket s = -1, bool connecting = false, double seconds = 5) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return done();
    if (s < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
#if defined(_WIN32)
    FD_SET(SOCKET(s), &ready);
    FD_SET(SOCKET(s), &failed);
#else
    FD_SET(s, &ready);
    FD_SET(s, &failed);
#endif
    timeval wait{long(left.count() / 1000000), long(left.count() % 1000000)};
    ::select(s + 1, connecting ? nullptr : &ready, connecting ? &ready : nullptr, &failed, &wait);
  }
  return true;
}

// Connects client to 127.0.0.1:port: the state the connect ended in.
ConnectState Connect(platform::Socket client, uint16_t port, platform::Error &error) {
  socklen_t length;
  const sockaddr_storage to = Loopback(port, length);
  error = platform::StartConnect(client, to, length);
  if (error.failure == Failure::None) return ConnectState::Connected;
  if (error.failure != Failure::InProgress) return ConnectState::Failed;
  ConnectState state = ConnectState::Waiting;
  WaitFor([&] { return (state = platform::PollConnect(client, error)) != ConnectState::Waiting; }, client, true);
  return state;
}

TEST(Platform, ConnectsAndNamesWhatEndsAStream) {
  Network network;
  // Nobody listens on a port just let go: the connect is refused, and says so.
  uint16_t closedPort;
  {
    Owned probe(AF_INET, true);
    closedPort = BoundPort(probe.s);
  }
  {
    Owned client(AF_INET, true);
    platform::Error error;
    EXPECT_EQ(Connect(client.s, closedPort, error), ConnectState::Failed);
    EXPECT_EQ(error.failure, Failure::Refused) << platform::ErrorText(error);
  }

  Owned listener(AF_INET, true);
  const uint16_t port = BoundPort(listener.s);
  ASSERT_EQ(::listen(listener.s, 4), 0);
  Owned client(AF_INET, true);
  platform::Error error;
  ASSERT_EQ(Connect(client.s, port, error), ConnectState::Connected) << platform::ErrorText(error);
  platform::Socket accepted = -1;
  ASSERT_TRUE(
      WaitFor([&] { return (accepted = platform::Socket(::accept(listener.s, nullptr, nullptr))) >= 0; }, listener.s));
  auto server = std::make_unique<Owned>(accepted);

  char buffer[64];
  EXPECT_EQ(platform::Receive(client.s, buffer, sizeof buffer, error), -1);
  EXPECT_EQ(error.failure, Failure::WouldBlock);
  EXPECT_EQ(platform::SendTo(server->s, "hello\n", 6, nullptr, 0, error), 6);
  long read = -1;
  ASSERT_TRUE(WaitFor([&] { return (read = platform::Receive(client.s, buffer, sizeof buffer, error)) > 0; }, client.s));
  EXPECT_EQ(std::string(buffer, size_t(read)), "hello\n");

  // The peer resets (it closes with what it was sent unread): the reader is told so, and a send
  // after it raises no signal.
  ASSERT_EQ(platform::SendTo(client.s, "unread", 6, nullptr, 0, error), 6);
  ASSERT_TRUE(WaitFor([&] { return ::recv(server->s, buffer, 1, MSG_PEEK) > 0; }, server->s));  // there, unread
  server.reset();
  long got = -1;
  ASSERT_TRUE(WaitFor([&] {
    got = platform::Receive(client.s, buffer, sizeof buffer, error);
    return got == 0 || (got < 0 && error.failure != Failure::WouldBlock);
  }, client.s));
#if defined(_WIN32)
  // Wine ends the stream in order even then: a reset is not to be had under it.
  if (got < 0) {
    EXPECT_EQ(error.failure, Failure::Reset) << platform::ErrorText(error);
  }
#else
  ASSERT_LT(got, 0);
  EXPECT_EQ(error.failure, Failure::Reset) << platform::ErrorText(error);
#endif
  platform::SendTo(client.s, "x", 1, nullptr, 0, error);

  // The peer closes: a read gives 0.
  Owned other(AF_INET, true);
  ASSERT_EQ(Connect(other.s, port, error), ConnectState::Connected);
  ASSERT_TRUE(
      WaitFor([&] { return (accepted = platform::Socket(::accept(listener.s, nullptr, nullptr))) >= 0; }, listener.s));
  platform::CloseSocket(accepted);
  ASSERT_TRUE(WaitFor([&] { return platform::Receive(other.s, buffer, sizeof buffer, error) == 0; }, other.s));
}

TEST(Platform, ReadsDatagramsInABatchWithSenderAndArrival) {
  Network network;
  Owned receiver(AF_INET, false), sender(AF_INET, false);
  const uint16_t port = BoundPort(receiver.s);
  const uint16_t senderPort = BoundPort(sender.s);
  socklen_t length;
  const sockaddr_storage to = Loopback(port, length);
  platform::Error error;

  // An earlier send of the receiver's went nowhere: the answer it may get must not cost a datagram.
  uint16_t closedPort;
  {
    Owned probe(AF_INET, false);
    closedPort = BoundPort(probe.s);
  }
  socklen_t closedLength;
  const sockaddr_storage closed = Loopback(closedPort, closedLength);
  platform::SendTo(receiver.s, "lost", 4, &closed, closedLength, error);

  const std::string big(platform::kDatagramArea + 100, 'x');
  const double before = platform::WallSeconds();
  for (const std::string &text : {std::string("one"), big, std::string("three")})
    ASSERT_EQ(platform::SendTo(sender.s, text.data(), text.size(), &to, length, error), long(text.size()));

  static platform::DatagramBatch batch;
  std::vector<std::string> texts;
  std::vector<bool> cut;
  ASSERT_TRUE(WaitFor([&] {
    const int count = batch.Receive(receiver.s);
    for (int i = 0; i < count; ++i) {
      texts.emplace_back(batch.Data(i), size_t(batch.Length(i)));
      cut.push_back(batch.Cut(i));
      EXPECT_EQ(ntohs(reinterpret_cast<const sockaddr_in &>(batch.From(i)).sin_port), senderPort);
      EXPECT_EQ(batch.FromLength(i), socklen_t(sizeof(sockaddr_in)));
      const double arrival = batch.Arrival(i);
      // Stamped by the system where it can (not by Winsock); never in the future, never before
      // the send.
#if !defined(_WIN32)
      EXPECT_GE(arrival, 0);
#endif
      if (arrival >= 0) {
        EXPECT_GE(arrival, before - 0.01);
        EXPECT_LE(arrival, platform::WallSeconds() + 0.01);
      }
    }
    return texts.size() >= 3;
  }, receiver.s));
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0], "one");
  EXPECT_FALSE(cut[0]);
  EXPECT_TRUE(cut[1]);
  EXPECT_EQ(texts[1].size(), size_t(platform::kDatagramArea));
  EXPECT_EQ(texts[2], "three");
  EXPECT_EQ(batch.Receive(receiver.s), 0);
}

// A folder with letters outside ASCII, as a pilot's user folder may have.
struct Folder {
  std::filesystem::path path;
  Folder() {
    path = std::filesystem::temp_directory_path() /
           std::filesystem::u8path("skytether-pl\xC3\xA4tform-\xE9\xA3\x9B" + std::to_string(platform::ProcessId()));
    std::filesystem::create_directories(path);
  }
  ~Folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string operator/(const std::string &name) const { return (path / std::filesystem::u8path(name)).u8string(); }
};

TEST(Platform, SmallFilesByUtf8Path) {
  Folder folder;
  const std::string file = folder / "pr\xC3\xA9" "fs.txt";
  EXPECT_FALSE(platform::Opens(file));
  EXPECT_FALSE(platform::IsRegularFile(file));
  ASSERT_TRUE(platform::WritePrivateFile(file, "callsign=J\xC3\xBCrgen;"));
  ASSERT_TRUE(platform::WritePrivateFile(file, "userID=42;"));  // replaces, never appends
  char buffer[64];
  size_t got = 0;
  ASSERT_TRUE(platform::ReadSmallFile(file, buffer, sizeof buffer, got));
  EXPECT_EQ(std::string(buffer, got), "userID=42;");
  ASSERT_TRUE(platform::ReadSmallFile(file, buffer, 4, got));
  EXPECT_EQ(got, 4u);
  EXPECT_TRUE(platform::IsRegularFile(file));
  EXPECT_TRUE(platform::Opens(file));
  // The same file, found by the system under its own name for it.
  EXPECT_TRUE(std::filesystem::exists(folder.path / std::filesystem::u8path("pr\xC3\xA9" "fs.txt")));
  // A folder is no file to read or write.
  EXPECT_FALSE(platform::IsRegularFile(folder.path.u8string()));
  EXPECT_FALSE(platform::ReadSmallFile(folder.path.u8string(), buffer, sizeof buffer, got));
  EXPECT_FALSE(platform::WritePrivateFile(folder.path.u8string(), "x"));
#if !defined(_WIN32)
  struct stat st;
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // A file readable by others before is made private by the next write.
  ::chmod(file.c_str(), 0644);
  ASSERT_TRUE(platform::WritePrivateFile(file, "x"));
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
#endif
}

TEST(Platform, LooksUpANameWithoutWaitingAndKeepsTime) {
  Network network;
  std::string failure;
  ASSERT_TRUE(platform::StartLookup("localhost", failure)) << failure;
  std::vector<platform::ServerCandidate> found;
  platform::LookupResult result = platform::LookupResult::Waiting;
  ASSERT_TRUE(WaitFor([&] { return (result = platform::PollLookup(4242, found, failure)) != platform::LookupResult::Waiting; }, -1, false, 15));
  ASSERT_EQ(result, platform::LookupResult::Done) << failure;
  ASSERT_FALSE(found.empty());
  for (const platform::ServerCandidate &c : found) {
    ASSERT_TRUE(c.address.ss_family == AF_INET || c.address.ss_family == AF_INET6);
    const uint16_t port = c.address.ss_family == AF_INET
                              ? reinterpret_cast<const sockaddr_in &>(c.address).sin_port
                              : reinterpret_cast<const sockaddr_in6 &>(c.address).sin6_port;
    EXPECT_EQ(ntohs(port), 4242);
  }
  // Lookups given up (cancelled, or replaced by another) while the resolver may still be working on
  // them are freed once it is done, never before (the sanitizer build checks).
  ASSERT_TRUE(platform::StartLookup("localhost", failure));
  platform::CancelLookup();
  ASSERT_TRUE(platform::StartLookup("localhost", failure));
  ASSERT_TRUE(platform::StartLookup("localhost", failure));
  ASSERT_TRUE(WaitFor([&] { return platform::PollLookup(4242, found, failure) != platform::LookupResult::Waiting; }, -1, false, 15));
  platform::ReleaseLookups();

  const double steady = platform::SteadySeconds();
  long seconds = 0, micros = -1;
  platform::WallClock(seconds, micros);
  EXPECT_GE(micros, 0);
  EXPECT_LT(micros, 1000000);
  EXPECT_NEAR(double(seconds), double(std::time(nullptr)), 2.0);
  EXPECT_NEAR(platform::WallSeconds(), double(seconds) + double(micros) * 1e-6, 1.0);
  EXPECT_GE(platform::SteadySeconds(), steady);
  unsigned char a[32] = {}, b[32] = {};
  ASSERT_TRUE(platform::RandomBits(a, sizeof a));
  ASSERT_TRUE(platform::RandomBits(b, sizeof b));
  EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
}

}  // namespace
