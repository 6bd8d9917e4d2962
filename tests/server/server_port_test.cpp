// The default port, which the plugin has built in. Holds the port49556 lock.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "position_text.h"
#include "fake_client.h"

TEST(ServerDefaultPort, ListensOnTcpAndUdp49556) {
  // Another checkout's tests may hold the port for a while: a bind failure is retried.
  auto started = std::make_unique<harness::ServerProcess>(std::vector<std::string>{});
  for (auto deadline = harness::After(40); !started->ok() && harness::Clock::now() < deadline;) {
    started.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    started = std::make_unique<harness::ServerProcess>(std::vector<std::string>{});
  }
  harness::ServerProcess &server = *started;
  ASSERT_TRUE(server.ok()) << server.Log();
  EXPECT_EQ(server.port(), 49556);
  harness::FakeClient a(49556, 10), b(49556, 20);
  ASSERT_TRUE(a.Login("a") && b.Login("b") && server.WaitForLog("login 20", 3));
  ASSERT_TRUE(b.SendDatagram(PositionText(20, false, 1, 1)) && server.WaitForLog("in view 20", 3));
  std::string pos = PositionText(10, false, 1.01, 1);
  ASSERT_TRUE(a.SendDatagram(pos));
  EXPECT_TRUE(b.WaitDatagram("1|l|" + pos.substr(pos.find("LOC|") + 4), 3));
  EXPECT_EQ(server.Signal(SIGTERM), 0);
}
