// The default port, which the plugin has built in: in a network of the test's own, where it is
// free whatever else runs on the machine.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>

#include <cstring>
#include <memory>
#include <thread>

#include "position_text.h"
#include "fake_client.h"

namespace {

// Moves this process (and the children it starts) into a network of its own with its loopback up;
// false where that is not allowed (root is needed).
bool OwnNetwork() {
  if (unshare(CLONE_NEWNET) != 0) return false;
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq r{};
  std::strcpy(r.ifr_name, "lo");
  bool up = ioctl(fd, SIOCGIFFLAGS, &r) == 0;
  r.ifr_flags |= IFF_UP;
  up = up && ioctl(fd, SIOCSIFFLAGS, &r) == 0;
  close(fd);
  return up;
}

}  // namespace

TEST(ServerDefaultPort, ListensOnTcpAndUdp49556) {
  // Without a network of its own, another run may hold the port for a while: a bind failure is
  // retried then.
  const double wait = OwnNetwork() ? 0 : 40;
  const std::vector<std::string> args = {"--max-report-age", "0"};  // however busy the machine
  auto started = std::make_unique<harness::ServerProcess>(args);
  for (auto deadline = harness::After(wait); !started->ok() && harness::Clock::now() < deadline;) {
    started.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    started = std::make_unique<harness::ServerProcess>(args);
  }
  harness::ServerProcess &server = *started;
  ASSERT_TRUE(server.ok()) << server.Tail();
  EXPECT_EQ(server.port(), 49556);
  harness::FakeClient a(49556, 10), b(49556, 20);
  const harness::LogMark mark = server.Mark();
  ASSERT_TRUE(a.Login("a") && b.Login("b") && server.WaitForLine("login 20 *", 3, mark));
  ASSERT_TRUE(b.SendDatagram(PositionText(20, false, 1, 1)) && server.WaitForLine("in view 20 *", 3, mark));
  std::string pos = PositionText(10, false, 1.01, 1);
  ASSERT_TRUE(a.SendDatagram(pos));
  EXPECT_TRUE(b.WaitDatagram("1|l|" + pos.substr(pos.find("LOC|") + 4), 3));
  EXPECT_EQ(server.Signal(SIGTERM), 0);
}
