#include "aircraft/Placement.h"

#include "XPLMGraphics.h"
#include "aircraft/cell.h"
#include "support/strings.h"

void STWorldOrLocal(float ownLat, float ownLon, std::string_view latText, std::string_view lonText,
                    std::string_view elText, std::string_view xText, std::string_view yText,
                    std::string_view zText, double &outX, double &outY, double &outZ) {
  // Both sides compare "%.9g" texts of single-precision values, so a cell is named by the digits
  // before the decimal point, sign included: -0 and 0 are different cells.
  char ownLatText[kNumberTextMax];
  char ownLonText[kNumberTextMax];
  const std::string_view ownLatView(ownLatText, size_t(WriteFloatText(ownLatText, ownLat) - ownLatText));
  const std::string_view ownLonView(ownLonText, size_t(WriteFloatText(ownLonText, ownLon) - ownLonText));

  if (WholeDegreeView(ownLatView) == WholeDegreeView(latText) &&
      WholeDegreeView(ownLonView) == WholeDegreeView(lonText)) {
    outX = static_cast<double>(ReadFloatText(xText));
    outY = static_cast<double>(ReadFloatText(yText));
    outZ = static_cast<double>(ReadFloatText(zText));
    return;
  }
  XPLMWorldToLocal(static_cast<double>(ReadFloatText(latText)), static_cast<double>(ReadFloatText(lonText)),
                   static_cast<double>(ReadFloatText(elText)), &outX, &outY, &outZ);
}
