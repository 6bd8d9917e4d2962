#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "aircraft/smoothing.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// A pilot flying a 1 km left-hand circle at 60 m/s in this host's frame (x east, z south), its
// heading the circle's tangent: where it is t seconds into its flight.
Pose Circle(double t) {
  const double a = 60.0 * t / 1000.0;  // radians flown, anticlockwise from north
  const double psi = std::fmod(360.0 - a * 180 / kPi, 360.0);
  return Pose{-1000 * std::sin(a), 500, -1000 * std::cos(a), 1, -20, psi < 0 ? psi + 360 : psi};
}

// Its report sent at t (the sender's clock is 1234.5 s ahead of this one) and read `delay` later.
TrackReport Sent(double t, double delay, Pose pose, double quantum = 0) {
  const long micros = long(std::llround((t + 1234.5) * 1e6) % 1000000);
  return TrackReport{t + delay, true, micros, pose, quantum};
}

// The fastest reports took this long: the track shows the pilot where it was that long ago.
constexpr double kDelay = 0.005;
Pose Seen(double t) {
  return Circle(t - kDelay);
}

// Reports of a pilot standing at p, every 0.05 s from `from` to `to`, read at once.
void Standing(SmoothTrack &track, const Pose &p, double from, double to) {
  for (double t = from; t <= to + 1e-9; t += 0.05) track.Take(Sent(t, 0, p));
}

double Distance(const Pose &a, const Pose &b) {
  return std::sqrt((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) + (a.z - b.z) * (a.z - b.z));
}

// A sender's stream as a receiver at `fps` sees it: the pilot is where `flight` says at the
// sender's time t, in steps of `quantum` metres, reports go out every `every` seconds (not while
// `silent` says so) and each is read kDelay later, at the next frame. Every frame, where the track
// shows it and where it was.
struct Frame {
  double t;
  Pose shown, truth;
};
std::vector<Frame> Watch(const std::function<Pose(double)> &flight, double seconds, double every = 1.0 / 40,
                         double fps = 60, const std::function<bool(double)> &silent = nullptr,
                         double quantum = 0) {
  SmoothTrack track;
  track.Reset();
  std::vector<Frame> frames;
  double next = 0;
  for (double now = 0; now < seconds; now += 1.0 / fps) {
    for (; next + kDelay <= now; next += every)
      if (!silent || !silent(next)) {
        Pose p = flight(next);
        if (quantum > 0) p.x = quantum * std::round(p.x / quantum);
        track.Take(Sent(next, kDelay, p, quantum), now);
      }
    if (!track.Empty()) frames.push_back(Frame{now, track.At(now), flight(now - kDelay)});
  }
  return frames;
}

// Of the frames from `from` on: the steps that go back against where the pilot was going (over a
// millimetre, against its last direction of travel), the longest step, the largest error.
struct Motion {
  int backward = 0;
  double longest = 0, worst = 0;
};
Motion Measure(const std::vector<Frame> &frames, double from = 0.5) {
  Motion m;
  double dx = 0, dy = 0, dz = 0;
  for (size_t i = 1; i < frames.size(); ++i) {
    const Pose &a = frames[i - 1].truth, &b = frames[i].truth;
    const double d = Distance(a, b);
    if (d > 1e-6) dx = (b.x - a.x) / d, dy = (b.y - a.y) / d, dz = (b.z - a.z) / d;
    if (frames[i].t < from) continue;
    const Pose &p = frames[i - 1].shown, &q = frames[i].shown;
    if ((q.x - p.x) * dx + (q.y - p.y) * dy + (q.z - p.z) * dz < -1e-3) ++m.backward;
    m.longest = std::max(m.longest, Distance(p, q));
    m.worst = std::max(m.worst, Distance(q, frames[i].truth));
  }
  return m;
}

// East at `speed` along z = 0 (heading 90), standing still while the sender's time is within
// [stopFrom, stopFrom + stopFor) and going on from there after.
std::function<Pose(double)> East(double speed, double stopFrom = 1e9, double stopFor = 0) {
  return [=](double t) {
    const double moved = t < stopFrom ? t : t < stopFrom + stopFor ? stopFrom : t - stopFor;
    return Pose{speed * moved, 100, 0, 2, 0, 90};
  };
}

}  // namespace

TEST(SmoothTrack, FollowsReportStreamsInTheSendersOrder) {
  // The sender's time wraps each second; the arrivals tell which way.
  EXPECT_NEAR(SenderSeconds(990000, 10.0, 6000, 10.016), 0.016, 1e-9);
  EXPECT_NEAR(SenderSeconds(6000, 10.016, 990000, 10.02), -0.016, 1e-9);
  EXPECT_NEAR(SenderSeconds(500000, 10.0, 700000, 13.2), 3.2, 1e-9);  // a gap of seconds

  // Reports every 1/60 s, read 5 ms after sending: shown within centimetres of where the pilot
  // was, every frame a step forward (inside the turn, not outside it).
  SmoothTrack track;
  track.Reset();
  double worst = 0;
  Pose last{};
  int k = 0;
  for (double frame = 0; frame < 3.0; frame += 1.0 / 60) {
    for (; k / 60.0 + kDelay <= frame; ++k) track.Take(Sent(k / 60.0, kDelay, Circle(k / 60.0)));
    if (track.Empty()) continue;
    const Pose shown = track.At(frame);
    if (frame > 1.0) {
      worst = std::max(worst, Distance(shown, Seen(frame)));
      EXPECT_NEAR(Distance(shown, last), 1.0, 0.1) << frame;
      EXPECT_LT(std::fabs(std::remainder(shown.psi - Seen(frame).psi, 360.0)), 0.05) << frame;
    }
    last = shown;
  }
  EXPECT_LT(worst, 0.02);

  // Across north the heading goes 0.1, 359.9: moved on the short way round.
  const double before = 2.0 * kPi * 1000 / 60 - 1.0;  // a lap less 1 s: heading 3.4
  track.Reset();
  for (int i = 0; i <= 60; ++i) track.Take(Sent(before + i / 60.0, kDelay, Circle(before + i / 60.0)));
  const double end = before + 1.0;
  EXPECT_NEAR(std::remainder(track.At(end + 0.02).psi - Seen(end + 0.02).psi, 360.0), 0, 0.05);

  // A datagram overtaken on the way is dropped: the one sent before the newest taken. The newest
  // again is taken, and changes nothing.
  EXPECT_FALSE(track.Take(Sent(before + 59.5 / 60.0, 0.05, Circle(0))));
  EXPECT_TRUE(track.Take(Sent(end, 0.06, Circle(end))));
  EXPECT_LT(Distance(track.At(end + 0.1), Seen(end + 0.1)), 0.05);

  // No report: flown on along the turn for a second, then slowing to stand 1.5 s of flight on.
  EXPECT_LT(Distance(track.At(end + kDelay + 1.0), Circle(end + 1.0)), 0.05);
  const double along = Distance(track.At(end + kDelay + 5), Circle(end + 1.5));
  EXPECT_LT(along, 0.5);
  EXPECT_NEAR(Distance(track.At(end + 5), track.At(end + 9)), 0.0, 1e-9);
}

TEST(SmoothTrack, BlendsSmallDifferencesJumpsLargeOnesAndShowsUntimedReportsAsTheyCame) {
  SmoothTrack track;
  track.Reset();
  const Pose p{100, 200, 300, 2, 3, 90};
  Standing(track, p, 10.0, 11.0);
  // Two metres off and turned: at first shown where it was, within two seconds where it is.
  Pose moved = p;
  moved.x += 2;
  moved.psi = 94;
  const Pose shown = track.At(11.05);
  ASSERT_TRUE(track.Take(Sent(11.05, 0, moved)));
  EXPECT_LT(Distance(track.At(11.05), shown), 1e-9);
  EXPECT_NEAR(track.At(11.05).psi, 90, 1e-9);
  Standing(track, moved, 11.1, 11.5);
  EXPECT_NEAR(track.At(13.0).x, 102, 0.01);
  EXPECT_NEAR(track.At(13.0).psi, 94, 0.01);

  // Five kilometres off (a pilot put elsewhere): shown there at once, not moved on from before.
  Pose far = moved;
  far.z += 5000;
  ASSERT_TRUE(track.Take(Sent(11.55, 0, far)));
  EXPECT_EQ(Distance(track.At(11.55), far), 0.0);
  EXPECT_EQ(Distance(track.At(11.8), far), 0.0);

  // A report without the sender's time, or with values that cannot be moved on from, is shown
  // exactly as it came.
  Pose odd{1e30, -7, 5, 400, -200, -720};
  track.Take(TrackReport{11.6, false, 0, odd});
  const Pose as = track.At(13.0);
  EXPECT_EQ((std::vector<double>{as.x, as.y, as.z, as.theta, as.phi, as.psi}),
            (std::vector<double>{odd.x, odd.y, odd.z, odd.theta, odd.phi, odd.psi}));
  odd.x = NAN;
  track.Take(Sent(11.7, 0, odd));
  EXPECT_TRUE(std::isnan(track.At(11.8).x));
  EXPECT_EQ(track.At(11.8).psi, -720);
  ASSERT_TRUE(track.Take(Sent(11.75, 0, p)));  // and starts again after it
  EXPECT_EQ(Distance(track.At(11.9), p), 0.0);
}

// Streams that used to show the aircraft going back, lurching or overshooting.
TEST(SmoothTrack, NeverGoesBackOrLurchesThroughGapsStopsAndNoise) {
  // Standing, then taxiing at 8 m/s, from a sender whose positions come in steps of 1.38 m (a
  // float's longitude at 139.8 E): the fit's rates ride over the steps; the aircraft never goes
  // back, and from 1.5 s after it set off stays within half a step of the truth, moving evenly.
  const auto quantised = Watch([](double t) { return Pose{t < 1 ? 0 : 8 * (t - 1), 10, 0, 0, 0, 90}; }, 7,
                               1.0 / 40, 60, nullptr, 1.38);
  EXPECT_EQ(Measure(quantised, 0).backward, 0);
  const Motion taxi = Measure(quantised, 2.5);
  EXPECT_EQ(taxi.backward, 0);
  EXPECT_LT(taxi.worst, 0.7);
  EXPECT_LT(taxi.longest, 1.5 * 8 / 60);

  // A second without reports in a turn at 60 m/s: flown on along the turn, within centimetres;
  // no step after it longer than twice a steady one (1 m a frame).
  const auto outage = Watch(Circle, 6, 1.0 / 40, 60, [](double t) { return t >= 2 && t < 3; });
  const Motion through = Measure(outage);
  EXPECT_EQ(through.backward, 0);
  EXPECT_LT(through.worst, 0.1);
  EXPECT_LT(through.longest, 2.0);

  // Reports only every 0.85 s from the first on (a server that relays what the receiver can
  // predict, to a slot just given): the track that stood on its first report flies on from the
  // second, along the turn.
  const Motion sparse = Measure(Watch(Circle, 6, 0.85), 2);
  EXPECT_EQ(sparse.backward, 0);
  EXPECT_LT(sparse.worst, 0.5);

  // Its simulator hangs 2 s at 70 m/s and then goes on from where it stood: the aircraft shown
  // flew on meanwhile, and now waits for the path to come by instead of going back for it.
  const auto stall = Watch(East(70, 2, 2), 9, 1.0 / 40, 60, [](double t) { return t >= 2 && t < 4; });
  const Motion hung = Measure(stall);
  EXPECT_EQ(hung.backward, 0);
  EXPECT_LT(hung.worst, 1.5 * 70 + 5);  // flown on 1.5 s of its flight, at the most
  EXPECT_LT(Distance(stall.back().shown, stall.back().truth), 0.5);

  // It stops dead for 2 s (reports go on), then goes on: held a little past the stop, never
  // slid back, and no lurch when it goes on.
  const auto stop = Watch(East(70, 2, 2), 7);
  const Motion held = Measure(stop);
  EXPECT_EQ(held.backward, 0);
  EXPECT_LT(held.worst, 5.0);
  EXPECT_LT(held.longest, 2 * 70 / 60.0);
  EXPECT_LT(Distance(stop.back().shown, stop.back().truth), 0.2);

  // Put 5 km away while flying: one jump, and from the next report it moves on again.
  const auto teleport =
      Watch([](double t) { return Pose{70 * t + (t >= 2 ? 5000 : 0), 100, 0, 2, 0, 90}; }, 3);
  int still = 0;
  for (size_t i = 1; i < teleport.size(); ++i)
    still += teleport[i].t > 2.06 && Distance(teleport[i - 1].shown, teleport[i].shown) < 0.1;
  EXPECT_LE(still, 1);
  EXPECT_LT(Distance(teleport.back().shown, teleport.back().truth), 0.2);
}

TEST(SmoothTrack, TurnsBackOnlyWhenTheReportsDoAndHoldsBankAsReported) {
  // 8 m/s east braking to a stop at 2 s, then pushed back west at 1 m/s from 3 s: the aircraft
  // goes back only with the reports, and ends where they are.
  const auto push = Watch(
      [](double t) {
        const double x = t < 2 ? 8 * t - 2 * t * t : t < 3 ? 8 : 8 - (t - 3);
        return Pose{x, 10, 0, 0, 0, 90};
      },
      6);
  double back = 0;
  for (size_t i = 1; i < push.size(); ++i) {
    const double step = push[i].shown.x - push[i - 1].shown.x;
    EXPECT_TRUE(push[i].t >= 3.0 || step >= -1e-3) << push[i].t;
    back += std::min(step, 0.0);
  }
  EXPECT_LT(back, -2.5);
  EXPECT_LT(Distance(push.back().shown, push.back().truth), 0.2);

  // Banked 45° in a turn, then rolled to 23° between two reports: shown at 45° exactly while the
  // reports say so, never beyond what they said, and at 23° within a report's interval.
  auto banked = [](double t) {
    Pose p = Circle(t);
    p.phi = t < 2 ? 45 : 23;
    return p;
  };
  for (const Frame &f : Watch(banked, 4)) {
    const double shown = f.shown.phi, reported = f.t < 2 ? 45 : 23;
    EXPECT_TRUE(shown >= 23 && shown <= 45) << f.t;
    EXPECT_TRUE(f.t < 0.5 || (f.t > 2 && f.t < 2 + 2.0 / 40 + 2.0 / 60) || shown == reported) << f.t;
  }
}
