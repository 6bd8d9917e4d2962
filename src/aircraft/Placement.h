#pragma once

// Local coordinates, in this host's frame at this moment, of a received position: the host's
// conversion of its latitude, longitude and elevation. The sender's own x, y, z are never used:
// they are in the sender's frame, whose origin its host chose near its own aircraft.
void STWorldOrLocal(double lat, double lon, float el, double &outX, double &outY, double &outZ);
