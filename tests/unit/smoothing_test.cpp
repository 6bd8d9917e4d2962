#include <gtest/gtest.h>

#include <cmath>
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
TrackReport Sent(double t, double delay, Pose pose) {
  const long micros = long(std::llround((t + 1234.5) * 1e6) % 1000000);
  return TrackReport{t + delay, true, micros, pose};
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
    if (frame > 0.5) {
      worst = std::max(worst, Distance(shown, Seen(frame)));
      EXPECT_NEAR(Distance(shown, last), 1.0, 0.1) << frame;
      EXPECT_LT(std::fabs(std::remainder(shown.psi - Seen(frame).psi, 360.0)), 0.05) << frame;
    }
    last = shown;
  }
  EXPECT_LT(worst, 0.02);

  // Across north the heading goes 0.1, 359.9: moved on the short way round.
  const double before = 2.0 * kPi * 1000 / 60 - 0.1;  // a lap less 0.1 s: heading 0.34
  track.Reset();
  for (int i = 0; i <= 12; ++i) track.Take(Sent(before + i / 60.0, kDelay, Circle(before + i / 60.0)));
  const double end = before + 0.2;
  EXPECT_NEAR(std::remainder(track.At(end + 0.02).psi - Seen(end + 0.02).psi, 360.0), 0, 0.05);

  // A datagram overtaken on the way is dropped: the one sent before the newest taken. The newest
  // again is taken, and changes nothing.
  EXPECT_FALSE(track.Take(Sent(before + 11.5 / 60.0, 0.05, Circle(0))));
  EXPECT_TRUE(track.Take(Sent(end, 0.06, Circle(end))));
  EXPECT_LT(Distance(track.At(end + 0.1), Seen(end + 0.1)), 0.05);

  // No report: moved on for half a second, then held there.
  EXPECT_NEAR(Distance(track.At(end + kDelay + 0.5), Circle(end)), 30.0, 0.1);
  EXPECT_NEAR(Distance(track.At(end + 5), track.At(end + 9)), 0.0, 1e-9);
}

TEST(SmoothTrack, BlendsSmallDifferencesJumpsLargeOnesAndShowsUntimedReportsAsTheyCame) {
  SmoothTrack track;
  track.Reset();
  const Pose p{100, 200, 300, 2, 3, 90};
  Standing(track, p, 10.0, 11.0);
  // Two metres off and turned: at first shown where it was, within a second where it is.
  Pose moved = p;
  moved.x += 2;
  moved.psi = 94;
  const Pose shown = track.At(11.05);
  ASSERT_TRUE(track.Take(Sent(11.05, 0, moved)));
  EXPECT_LT(Distance(track.At(11.05), shown), 1e-9);
  EXPECT_NEAR(track.At(11.05).psi, 90, 1e-9);
  Standing(track, moved, 11.1, 11.5);
  EXPECT_NEAR(track.At(12.5).x, 102, 0.01);
  EXPECT_NEAR(track.At(12.5).psi, 94, 0.01);

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
