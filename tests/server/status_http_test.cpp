// The operator's window of the real server: the feed, the metrics (checked by promtool), the page
// in a real browser (headless chromium), and hostile HTTP clients beside a relay that must lose
// nothing.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "json.h"
#include "position_text.h"
#include "fake_client.h"

using harness::FakeClient;
using harness::HttpConnect;
using harness::HttpGet;
using harness::HttpPort;
using harness::Metric;
using harness::RunCommand;
using harness::ServerProcess;

namespace {

const char kTrainer[] = "C:\\Sim\\Aircraft\\General Aviation\\Trainer\\Trainer.acf";

// Alice and bob flying, a tower watching, one login refused (the server is full).
class StatusServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ok()) << server.Tail();
    ASSERT_GT(http = HttpPort(server), 0) << server.Tail();
    ASSERT_TRUE(a.Login("alice") && b.Login("bob") && tower.Login("tower"));
    ASSERT_TRUE(a.Announce("AAA", kTrainer) && b.Announce("B<b>\"\\", kTrainer));
    ASSERT_TRUE(tower.Send("3333|VOCALLSIGN|Tower|\n"));
    ASSERT_TRUE(tower.Sync() && a.Sync() && b.Sync()) << server.Tail();
    FakeClient refused(server.port(), 4444);
    ASSERT_TRUE(refused.Login("dave"));
    ASSERT_TRUE(server.WaitForLine("refused login 4444 (dave) *", 5)) << server.Tail();
    const harness::LogMark mark = server.Mark();
    ASSERT_TRUE(b.SendDatagram(PositionText(2222, false, 46.5, 7.5)));
    ASSERT_TRUE(server.WaitForLine("in view 2222 *", 5, mark));
    ASSERT_TRUE(a.SendDatagram(PositionText(1111, false, 47.25, 8.5)));
    ASSERT_TRUE(b.WaitDatagram("1|l|", 3)) << server.Tail();
    // A snapshot that has both positions.
    std::string metrics;
    ASSERT_TRUE(harness::WaitForMetric(http, "skytether_positions_in_total", 2, &metrics)) << metrics;
  }
  ServerProcess server{
      {"--port", "0", "--http", "0", "--max-pilots", "3", "--node-name", "north-1", "--max-report-age", "0"}};
  int http = 0;
  FakeClient a{server.port(), 1111}, b{server.port(), 2222}, tower{server.port(), 3333};
};

}  // namespace

TEST_F(StatusServer, FeedListsThePilotsInViewAndNothingPrivate) {
  std::string body;
  ASSERT_EQ(HttpGet(http, "/v1/status.json", &body), 200);
  harness::Json feed;
  ASSERT_TRUE(harness::ParseJson(body, feed)) << body;
  EXPECT_EQ(feed["format"].number, 1);
  EXPECT_EQ(feed["server"]["node"].text, "north-1");
  EXPECT_FALSE(feed["server"]["version"].text.empty());
  EXPECT_EQ(feed["server"]["clustered"].boolean, false);
  EXPECT_EQ(feed["counts"]["pilots"].number, 2);
  EXPECT_EQ(feed["counts"]["observers"].number, 1);
  ASSERT_EQ(feed["pilots"].size(), 2u) << body;
  std::set<double> ids;
  double alice_id = 0;
  for (const harness::Json &p : feed["pilots"].items) {
    const bool alice = p["callsign"].text == "AAA";
    EXPECT_TRUE(alice || p["callsign"].text == "B<b>\"\\") << "escaped, and read back as sent";
    // An id of its own, never the uniqueID: on an open server that is all a login needs.
    EXPECT_GT(p["id"].number, 0);
    EXPECT_TRUE(p["id"].number != 1111 && p["id"].number != 2222);
    ids.insert(p["id"].number);
    if (alice) alice_id = p["id"].number;
    EXPECT_EQ(p["model"].text, "Trainer");
    EXPECT_EQ(p["model_path"].text, "Aircraft/General Aviation/Trainer/Trainer.acf");
    EXPECT_EQ(p["node"].text, "north-1");
    EXPECT_NEAR(p["latitude"].number, alice ? 47.25 : 46.5, 1e-5);
    EXPECT_NEAR(p["longitude"].number, alice ? 8.5 : 7.5, 1e-5);
    EXPECT_NEAR(p["elevation"].number, 1234.5, 0.05);
    EXPECT_NEAR(p["heading"].number, 271.75, 0.1);
    EXPECT_EQ(p["age"].type, harness::Json::Number);
    EXPECT_LT(p["age"].number, 5);
  }
  EXPECT_EQ(ids.size(), 2u);
  // No user names, tokens or addresses: a third party reads this.
  for (const char *secret : {"alice", "bob", "127.0.0.1", "00000000"})
    EXPECT_EQ(body.find(secret), std::string::npos);

  // The plain-text feed: a header, then a line per pilot in view, fields between ':'.
  std::string text;
  ASSERT_EQ(HttpGet(http, "/v1/whazzup.txt", &text), 200);
  for (const char *line : {"\n!GENERAL:\n", "\nVERSION = 1\n", "\nCONNECTED CLIENTS = 2\n", "\n!CLIENTS:\n",
                           "\n!SERVERS:\nnorth-1:::north-1:1:\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  const std::size_t at = text.find("\nAAA:");
  ASSERT_NE(at, std::string::npos) << text;
  std::vector<std::string> fields;
  std::istringstream alice(text.substr(at + 1, text.find('\n', at + 1) - at - 1));
  for (std::string f; std::getline(alice, f, ':');) fields.push_back(f);
  ASSERT_EQ(fields.size(), 41u) << text;
  EXPECT_EQ(fields[1], std::to_string(static_cast<long long>(alice_id))) << "the JSON feed's id";
  EXPECT_EQ(fields[3], "PILOT");
  EXPECT_EQ(fields[5], "47.250000");
  EXPECT_EQ(fields[6], "8.500000");
  EXPECT_EQ(fields[7], "4050") << "feet";
  EXPECT_EQ(fields[9], "Trainer");
  EXPECT_EQ(fields[14], "north-1");
  EXPECT_EQ(fields[38], "272") << "heading in whole degrees";
  for (const char *secret : {"alice", "bob", "127.0.0.1"}) EXPECT_EQ(text.find(secret), std::string::npos);

  // Read-only; unknown paths are not found.
  EXPECT_EQ(HttpGet(http, "/v1/status.json", nullptr, "POST"), 405);
  EXPECT_EQ(HttpGet(http, "/v1/other", nullptr), 404);
}

TEST_F(StatusServer, MetricsCountTheRelayAndPassPromtool) {
  std::string metrics;
  ASSERT_EQ(HttpGet(http, "/metrics", &metrics), 200);
  EXPECT_EQ(Metric(metrics, "skytether_pilots{where=\"here\"}"), 2);
  EXPECT_EQ(Metric(metrics, "skytether_observers"), 1);
  EXPECT_EQ(Metric(metrics, "skytether_logins_total"), 3);
  EXPECT_EQ(Metric(metrics, "skytether_logins_refused_total"), 1);
  EXPECT_EQ(Metric(metrics, "skytether_positions_in_total"), 2);
  EXPECT_GE(Metric(metrics, "skytether_reports_out_total"), 1);
  EXPECT_EQ(Metric(metrics, "skytether_relay_latency_seconds_count"),
            Metric(metrics, "skytether_relay_latency_seconds_bucket{le=\"+Inf\"}"));
  EXPECT_GE(Metric(metrics, "skytether_relay_latency_seconds_count"), 1);
  EXPECT_EQ(Metric(metrics, "skytether_dropped_input_total{kind=\"bad_datagram\"}"), 0);
  EXPECT_GT(Metric(metrics, "process_resident_memory_bytes"), 0);
  EXPECT_EQ(metrics.find("skytether_redis_up"), std::string::npos) << "standalone: no cluster figures";

  // A bad datagram shows in the next snapshot, and so do reports held back: bob flies about 100 km
  // from alice, where two of her reports a second reach him.
  EXPECT_EQ(Metric(metrics, "skytether_reports_held_total"), 0);
  ASSERT_TRUE(a.SendDatagram("1111|LOC|1|2"));
  ASSERT_TRUE(a.SendDatagram(PositionText(1111, false, 47.25, 8.5)) &&
              a.SendDatagram(PositionText(1111, false, 47.25, 8.5)));
  // The snapshot in which the server has counted both positions sent after the bad one.
  ASSERT_TRUE(harness::WaitForMetric(http, "skytether_positions_in_total", 4, &metrics)) << metrics;
  EXPECT_EQ(Metric(metrics, "skytether_dropped_input_total{kind=\"bad_datagram\"}"), 1);
  EXPECT_GE(Metric(metrics, "skytether_reports_held_total"), 1);

  const harness::TempFolder dir;
  const std::string file = dir.Write("metrics.txt", metrics);
  std::string out;
  EXPECT_EQ(RunCommand("promtool check metrics < " + file + " 2>&1", &out, 60), 0)
      << "promtool (Debian's prometheus package, installed by ./run test): " << out;
}

TEST_F(StatusServer, PageInABrowserShowsTheCallsigns) {
  std::string page;
  ASSERT_EQ(HttpGet(http, "/", &page), 200);
  EXPECT_EQ(page.find("http://"), std::string::npos) << "self-contained: no external resources";
  EXPECT_EQ(page.find("https://"), std::string::npos);

  const harness::TempFolder dir("skytether-chromium-");
  std::string dom;
  RunCommand("chromium --headless --no-sandbox --disable-gpu --user-data-dir=" + dir.path() +
                 " --virtual-time-budget=8000 --dump-dom http://127.0.0.1:" + std::to_string(http) +
                 "/ 2>/dev/null",
             &dom, 60);
  ASSERT_FALSE(dom.empty()) << "chromium (Debian's chromium package, installed by ./run test) gave no page";
  EXPECT_NE(dom.find("<td>AAA</td>"), std::string::npos) << dom;
  EXPECT_NE(dom.find("<td>B&lt;b&gt;\"\\</td>"), std::string::npos) << "shown as text, never as markup";
  EXPECT_NE(dom.find("north-1"), std::string::npos);
  EXPECT_EQ(dom.find("<td>Tower</td>"), std::string::npos) << "observers are counted, not listed";
}

// Slow, oversized and numerous HTTP clients at once, while two pilots fly: every report arrives.
TEST(StatusHostile, HttpClientsCostTheRelayNothing) {
  // Under the address sanitizer freed memory waits in a quarantine (up to 256 MiB) and counts as
  // resident: without it the memory figure below is the server's own, not the sanitizer's.
  const char *asan = std::getenv("ASAN_OPTIONS");
  setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":quarantine_size_mb=0").c_str(), 1);
  ServerProcess server{{"--port", "0", "--http", "0", "--max-report-age", "0", "--relay-rates", "off"}};
  ASSERT_TRUE(server.ok()) << server.Tail();
  const int http = HttpPort(server);
  ASSERT_GT(http, 0) << server.Tail();
  FakeClient a(server.port(), 1111), b(server.port(), 2222);
  const harness::LogMark mark = server.Mark();
  ASSERT_TRUE(a.Login("alice") && b.Login("bob"));
  ASSERT_TRUE(server.WaitForLine("login 1111 *", 5, mark) && server.WaitForLine("login 2222 *", 5, mark));
  ASSERT_TRUE(b.SendDatagram(PositionText(2222, false, 47.0, 8.0)));
  ASSERT_TRUE(server.WaitForLine("in view 2222 *", 5, mark));
  ASSERT_TRUE(a.SendDatagram(PositionText(1111, false, 47.05, 8.0)));
  ASSERT_TRUE(b.WaitDatagram("1|l|", 3));
  std::string metrics;
  ASSERT_TRUE(harness::WaitForMetric(http, "skytether_positions_in_total", 2, &metrics)) << metrics;
  const double rss_before = Metric(metrics, "process_resident_memory_bytes");

  std::atomic<bool> stop{false};
  std::vector<std::thread> hostile;
  // Slowloris: connections that send a header byte now and then and never finish.
  hostile.emplace_back([&] {
    std::vector<int> fds;
    for (int i = 0; i < 30; ++i) fds.push_back(HttpConnect(http));
    for (int round = 0; !stop; ++round) {
      for (int fd : fds) {
        if (fd >= 0) ::send(fd, round == 0 ? "GET / HTTP/1.1\r\n" : "X", round == 0 ? 16 : 1, MSG_NOSIGNAL);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    for (int fd : fds) close(fd);
  });
  // Endless headers, as fast as the server takes them.
  hostile.emplace_back([&] {
    const std::string header = "X-Filler: " + std::string(4000, 'a') + "\r\n";
    while (!stop) {
      int fd = HttpConnect(http);
      if (fd < 0) continue;
      ::send(fd, "GET /metrics HTTP/1.1\r\n", 23, MSG_NOSIGNAL);
      for (int i = 0; i < 2000 && !stop; ++i) {
        if (::send(fd, header.data(), header.size(), MSG_NOSIGNAL) < 0) break;
      }
      close(fd);
    }
  });
  // Many connections opened and left idle, again and again: past the cap they are turned away.
  std::atomic<int> turned_away{0};
  hostile.emplace_back([&] {
    while (!stop) {
      std::vector<int> fds;
      for (int i = 0; i < 200 && !stop; ++i) fds.push_back(HttpConnect(http));
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      for (int fd : fds) {
        char head[12] = {};
        if (fd >= 0 && recv(fd, head, sizeof head, MSG_DONTWAIT) == 12 &&
            std::string(head, 12) == "HTTP/1.1 503")
          ++turned_away;
        close(fd);
      }
    }
  });

  // Alice reports at 30 Hz for 5 s from 6 km: every report is due to bob; he counts what reaches him.
  std::atomic<int> received{0};
  constexpr int sent = 150;
  std::thread counter([&] {
    while (received < sent && b.WaitDatagram("1|l|", 5)) ++received;
  });
  for (int i = 0; i < sent; ++i) {
    ASSERT_TRUE(a.SendDatagram(PositionText(1111, false, 47.05 + i * 1e-5, 8.0)));
    std::this_thread::sleep_for(std::chrono::milliseconds(33));
  }
  counter.join();
  stop = true;
  for (std::thread &t : hostile) t.join();

  EXPECT_EQ(received, sent) << "reports lost beside hostile HTTP clients\n" << server.Tail();
  EXPECT_TRUE(server.Running());
  EXPECT_GT(turned_away, 0) << "connections past the cap are answered at once";
  // Once they are gone the feed answers again, and memory did not grow with them.
  int code = 0;
  for (auto deadline = harness::After(10); code != 200 && harness::Clock::now() < deadline;) {
    code = HttpGet(http, "/metrics", &metrics);
    if (code != 200) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ASSERT_EQ(code, 200);
  const double growth = Metric(metrics, "process_resident_memory_bytes") - rss_before;
  std::printf("reports %d of %d, HTTP connections turned away %d, resident memory %+.0f KiB\n",
              received.load(), sent, turned_away.load(), growth / 1024);
  EXPECT_LT(growth, 16 << 20);
  EXPECT_EQ(Metric(metrics, "skytether_dropped_input_total{kind=\"stale\"}"), 0);
}
