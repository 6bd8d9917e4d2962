#include "aircraft/Placement.h"

#include "XPLMGraphics.h"

void STWorldOrLocal(float lat, float lon, float el, double &outX, double &outY, double &outZ) {
  XPLMWorldToLocal(static_cast<double>(lat), static_cast<double>(lon), static_cast<double>(el), &outX, &outY,
                   &outZ);
}
