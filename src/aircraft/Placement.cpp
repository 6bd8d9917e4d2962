#include "aircraft/Placement.h"

#include "XPLMGraphics.h"

void STWorldOrLocal(double lat, double lon, float el, double &outX, double &outY, double &outZ) {
  XPLMWorldToLocal(lat, lon, static_cast<double>(el), &outX, &outY, &outZ);
}
