// Full slot tables are evaluated by one pass unless a swap is due; the plain evaluation sorts
// every time. Both registries see the same crowd and must answer with the same relays, notices,
// log lines and slot tables at every step.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "position_text.h"
#include "core/registry.h"

using namespace skytether;

namespace {

constexpr int kPilots = 60;
constexpr int kFirstId = 500;

// What a registry asked for since the last call, as text.
std::string Take(Registry &r) {
  std::string s;
  for (const Output &o : r.outputs())
    s += std::to_string(int(o.kind)) + " " + std::to_string(o.conn) + " " + o.text + "\n";
  for (const std::string &l : r.logs()) s += l + "\n";
  r.outputs().clear();
  r.logs().clear();
  return s;
}

std::string Relays(const std::vector<Relay> &relays) {
  std::string s;
  for (const Relay &r : relays) s += std::to_string(r.to.port) + ":" + std::to_string(r.slot) + " ";
  return s;
}

struct Twins {
  Registry shortPath;
  Registry sorting;
  double now = 0;
  static RegistryOptions Sorting() {
    RegistryOptions o;
    o.sort_every_evaluation = true;
    return o;
  }
  Twins() : sorting(Sorting()) {}

  template <typename Step>
  void Both(Step step) {
    step(shortPath);
    step(sorting);
    ASSERT_EQ(Take(shortPath), Take(sorting)) << "at " << now;
  }
  void Login(int i) {
    Both([&](Registry &r) {
      r.Connect(ConnId(i + 1), IpAddr::V4(127, 0, 0, 1), now);
      r.OnLine(ConnId(i + 1), std::to_string(kFirstId + i) + "|Opening Connection|u|" + std::string(32, '0') + "|",
               now);
      r.OnLine(ConnId(i + 1), std::to_string(kFirstId + i) + "|CALLSIGN|C" + std::to_string(i) + "|", now);
    });
  }
  void Position(int i, double lat, double lon) {
    std::vector<Relay> a, b;
    std::string_view va, vb;
    const std::string text = PositionText(kFirstId + i, false, lat, lon);
    const Endpoint from{IpAddr::V4(127, 0, 0, 1), std::uint16_t(20000 + i)};
    ASSERT_EQ(shortPath.OnDatagram(text, from, now, &a, &va), sorting.OnDatagram(text, from, now, &b, &vb));
    ASSERT_EQ(Relays(a), Relays(b)) << "at " << now;
    ASSERT_EQ(Take(shortPath), Take(sorting)) << "at " << now;
  }
};

}  // namespace

TEST(NearestEvaluation, TheOnePassAgreesWithSortingEveryTime) {
  Twins t;
  std::mt19937 rng(2024);
  std::uniform_real_distribution<double> step(-0.02, 0.02), unit(0, 1);
  // Three clusters some 50 km apart; pilots wander, now and then one jumps to another cluster,
  // logs out, comes back, so tables fill, swap and refill.
  const double centres[3][2] = {{47.0, 8.0}, {47.4, 8.3}, {46.8, 8.6}};
  std::vector<double> lat(kPilots), lon(kPilots);
  std::vector<bool> in(kPilots, true);
  for (int i = 0; i < kPilots; ++i) {
    lat[i] = centres[i % 3][0] + step(rng);
    lon[i] = centres[i % 3][1] + step(rng);
    t.Login(i);
  }
  int swaps = 0;
  for (int tick = 0; tick < 300; ++tick) {
    t.now += 0.1;
    for (int i = 0; i < kPilots; ++i) {
      if (!in[i]) {
        if (unit(rng) < 0.05) {
          in[i] = true;
          t.Login(i);
        }
        continue;
      }
      if (unit(rng) < 0.003) {
        in[i] = false;
        t.Both([&](Registry &r) { r.Disconnect(ConnId(i + 1), t.now, "gone"); });
        continue;
      }
      const int jump = unit(rng) < 0.01 ? int(rng() % 3) : -1;
      lat[i] = jump >= 0 ? centres[jump][0] : lat[i] + step(rng) * 0.2;
      lon[i] = jump >= 0 ? centres[jump][1] : lon[i] + step(rng) * 0.2;
      if (unit(rng) < 0.3) t.Position(i, lat[i], lon[i]);
    }
    t.Both([&](Registry &r) {
      r.Tick(t.now);
      if (&r == &t.sorting)  // in a tick, only a swap frees a slot (nobody goes idle here)
        for (const Output &o : r.outputs()) swaps += o.text.find("|c|BLANK") != std::string::npos;
    });
    for (int i = 0; i < kPilots; ++i)
      ASSERT_EQ(t.shortPath.SlotTable(kFirstId + i), t.sorting.SlotTable(kFirstId + i)) << "at " << t.now;
  }
  std::string why;
  EXPECT_TRUE(t.shortPath.CheckConsistency(&why)) << why;
  EXPECT_GT(swaps, 20) << "the crowd must make the evaluations swap";
}
