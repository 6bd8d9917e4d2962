#include "aircraft/Placement.h"

#include <cstdio>

#include "XPLMGraphics.h"
#include "aircraft/cell.h"
#include "support/strings.h"

void STWorldOrLocal(float ownLat, float ownLon, std::string latText, std::string lonText, std::string elText,
                    std::string xText, std::string yText, std::string zText, double &outX, double &outY,
                    double &outZ) {
  // Both sides compare "%.9g" texts of single-precision values, so a cell is named by the digits
  // before the decimal point, sign included: -0 and 0 are different cells.
  char ownLatText[30];
  char ownLonText[30];
  std::snprintf(ownLatText, sizeof ownLatText, "%.9g", static_cast<double>(ownLat));
  std::snprintf(ownLonText, sizeof ownLonText, "%.9g", static_cast<double>(ownLon));

  if (WholeDegreeText(ownLatText) == WholeDegreeText(latText) &&
      WholeDegreeText(ownLonText) == WholeDegreeText(lonText)) {
    outX = static_cast<double>(stringtof(xText));
    outY = static_cast<double>(stringtof(yText));
    outZ = static_cast<double>(stringtof(zText));
    return;
  }
  XPLMWorldToLocal(static_cast<double>(stringtof(latText)), static_cast<double>(stringtof(lonText)),
                   static_cast<double>(stringtof(elText)), &outX, &outY, &outZ);
}
