// The own-position broadcast: one datagram per frame while connected. A flight loop after the flight
// model, not a draw callback: the host's 3-D drawing phases are not called under its modern
// graphics backend, and under the older one they may run several times in one frame. The line
// carries where the user's aircraft is in this frame, stamped with this moment.
#include "XPLMDataAccess.h"
#include "net/net.h"
#include "net/wire.h"
#include "platform/platform.h"
#include "plugin/SkytetherSE.h"

float SkytetherDrawPlanes(float, float, int, void *) {
  if (tcpconnected == 0) return kEveryFrame;
  // A replay shows where the pilot was minutes ago: the others keep the last live position.
  inReplay = XPLMGetDatai(gIsInReplay);
  if (inReplay != 0) return kEveryFrame;

  OwnState s{};
  XPLMDataRef singles[17] = {gPlaneX,     gPlaneY,          gPlaneZ,    gPlaneLat,       gPlaneLon,
                             gPlaneEl,    gPlaneTheta,      gPlanePhi,  gPlanePsi,       gPlaneFlap,
                             gPlaneFlap2, gPlaneSpeedbrake, gPlaneSlat, gPlaneWingsweep, gPlanePitch,
                             gPlaneRoll,  gPlaneYaw};
  for (int i = 0; i < 17; ++i) s.single[i] = XPLMGetDataf(singles[i]);
  XPLMGetDatavf(gPlaneGear, s.gear, 0, 10);
  XPLMGetDatavf(gPlaneThrottle, s.throttle, 0, 8);
  s.lights[0] = XPLMGetDatai(gPlaneBeacon);
  s.lights[1] = XPLMGetDatai(gPlaneLanding);
  s.lights[2] = XPLMGetDatai(gPlaneStrobe);
  s.lights[3] = XPLMGetDatai(gPlaneNav);
  s.lights[4] = XPLMGetDatai(gPlaneTaxi);
  long seconds, micros;
  platform::WallClock(seconds, micros);
  s.seconds = static_cast<float>(seconds);
  s.microseconds = static_cast<float>(micros);

  // Kept between frames so the per-frame path reuses its buffer.
  static std::string line;
  BuildPositionLine(line, uniqueID, viewOnly == 1, s);
  udptx = "Ux";
  platform::Error ignored;
  platform::SendTo(sockfd, line.data(), line.size(), &serverAddress, serverAddressLength, ignored);
  return kEveryFrame;
}
