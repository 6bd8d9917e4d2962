// The Redis link against a real redis-server: messages both ways, a Redis killed, restarted and
// paused, and channels that come and go quickly.
#include "cluster/redis_link.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "redis_server.h"

namespace skytether {
namespace {

struct LinkRig {
  explicit LinkRig(const harness::RedisServer &redis, double linger = 2.0) {
    RedisLinkOptions o;
    o.address = redis.address();
    o.probe_channel = "test:probe";
    o.link_timeout = 1.5;
    o.backoff_max = 0.5;
    o.linger = linger;
    link = std::make_unique<RedisLink>(io, o);
    link->on_state = [this](bool up, const std::string &) { states.push_back(up); };
    link->on_message = [this](std::string_view channel, std::string_view payload) {
      messages.push_back(std::string(channel) + "=" + std::string(payload));
    };
    link->Start();
  }
  // Runs the loop until pred holds or seconds pass.
  template <typename Pred>
  bool RunUntil(Pred pred, double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(long(seconds * 1000));
    while (!pred() && std::chrono::steady_clock::now() < deadline)
      io.run_one_for(std::chrono::milliseconds(10));
    return pred();
  }
  bool Heard(const std::string &m) {
    for (const auto &x : messages) {
      if (x == m) return true;
    }
    return false;
  }

  asio::io_context io;
  std::unique_ptr<RedisLink> link;
  std::vector<bool> states;
  std::vector<std::string> messages;
};

TEST(RedisLink, CarriesMessagesAndComesBackAfterRedisRestarts) {
  harness::RedisServer redis;
  ASSERT_TRUE(redis.ok());
  LinkRig rig(redis);
  rig.link->Subscribe("test:a");
  ASSERT_TRUE(rig.RunUntil([&] { return rig.link->up(); }, 5));
  EXPECT_EQ(rig.states, std::vector<bool>{true});
  EXPECT_TRUE(rig.link->Publish("test:a", "one"));
  ASSERT_TRUE(rig.RunUntil([&] { return rig.Heard("test:a=one"); }, 2));
  std::string got;
  ASSERT_TRUE(rig.link->Command({"SET", "k", "v"}, [](const RedisReply *) {}));
  ASSERT_TRUE(rig.link->Command(
      {"GET", "k"}, [&](const RedisReply *r) { got = r ? std::string(r->text) : "null"; }));
  ASSERT_TRUE(rig.RunUntil([&] { return !got.empty(); }, 2));
  EXPECT_EQ(got, "v");

  // Killed: the link says so once, a command in flight is answered with null, publishes are refused.
  got.clear();
  redis.Kill();
  rig.link->Command({"GET", "k"}, [&](const RedisReply *r) { got = r ? "reply" : "null"; });
  ASSERT_TRUE(rig.RunUntil([&] { return !rig.link->up(); }, 5));
  rig.RunUntil([&] { return !got.empty(); }, 1);
  EXPECT_EQ(got, "null");
  EXPECT_FALSE(rig.link->Publish("test:a", "lost"));
  EXPECT_EQ(rig.link->counters().publish_dropped.load(), 1u);
  rig.RunUntil([] { return false; }, 1.5);  // several failed reconnects: still one report
  EXPECT_EQ(rig.states, (std::vector<bool>{true, false}));

  // Back, empty: the link reconnects by itself and listens to the same channels again.
  ASSERT_TRUE(redis.Restart());
  ASSERT_TRUE(rig.RunUntil([&] { return rig.link->up(); }, 5));
  EXPECT_EQ(rig.states, (std::vector<bool>{true, false, true}));
  EXPECT_EQ(redis.Query({"PUBLISH", "test:a", "two"}), "1");
  EXPECT_TRUE(rig.RunUntil([&] { return rig.Heard("test:a=two"); }, 2));
  EXPECT_FALSE(rig.Heard("test:a=lost"));
}

TEST(RedisLink, APausedRedisIsLeftWhileTheLoopKeepsRunning) {
  harness::RedisServer redis;
  ASSERT_TRUE(redis.ok());
  LinkRig rig(redis);
  ASSERT_TRUE(rig.RunUntil([&] { return rig.link->up(); }, 5));
  // A timer on the same loop measures the longest gap between its turns.
  asio::steady_timer tick(rig.io);
  auto last = std::chrono::steady_clock::now();
  double worst = 0;
  std::function<void()> arm = [&] {
    tick.expires_after(std::chrono::milliseconds(5));
    tick.async_wait([&](const asio::error_code &ec) {
      if (ec) return;
      auto now = std::chrono::steady_clock::now();
      worst = std::max(worst, std::chrono::duration<double>(now - last).count());
      last = now;
      arm();
    });
  };
  arm();
  redis.Pause();
  // Publishes keep being accepted until the link is judged lost; none of them waits.
  for (int i = 0; i < 200 && rig.link->up(); ++i) {
    rig.link->Publish("test:b", std::string(1000, 'x'));
    rig.io.run_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(rig.RunUntil([&] { return !rig.link->up(); }, 5));
  EXPECT_LT(worst, 1.0) << "a wait on Redis would last the link's 1.5 s";
  redis.Resume();
  EXPECT_TRUE(rig.RunUntil([&] { return rig.link->up(); }, 5));
  tick.cancel();
}

TEST(RedisLink, AChannelLeftAndWantedAgainAtOnceKeepsItsMessages) {
  harness::RedisServer redis;
  ASSERT_TRUE(redis.ok());
  LinkRig rig(redis, 0.0);
  rig.link->Subscribe("test:c");
  ASSERT_TRUE(rig.RunUntil([&] { return rig.link->up() && rig.link->Subscribed("test:c"); }, 5));
  for (int round = 0; round < 5; ++round) {
    rig.link->Unsubscribe("test:c");
    // The unsubscribe goes out at the next turn of the link's timer; wanted again right after.
    rig.RunUntil([&] { return !rig.link->Subscribed("test:c"); }, 1);
    rig.link->Subscribe("test:c");
    ASSERT_TRUE(rig.RunUntil([&] { return rig.link->Subscribed("test:c"); }, 2)) << round;
    std::string m = "m" + std::to_string(round);
    EXPECT_EQ(redis.Query({"PUBLISH", "test:c", m}), "1");
    EXPECT_TRUE(rig.RunUntil([&] { return rig.Heard("test:c=" + m); }, 2)) << round;
  }
}

}  // namespace
}  // namespace skytether
