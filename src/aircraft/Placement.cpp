#include "aircraft/Placement.h"

#include "XPLMGraphics.h"
#include "aircraft/cell.h"

OwnCell OwnCellOf(float ownLat, float ownLon) {
  // Both sides compare "%.9g" texts of single-precision values, so a cell is named by the digits
  // before the decimal point, sign included: -0 and 0 are different cells.
  OwnCell own;
  const std::string_view lat(own.lat, size_t(WriteFloatText(own.lat, ownLat) - own.lat));
  const std::string_view lon(own.lon, size_t(WriteFloatText(own.lon, ownLon) - own.lon));
  // A number's text holds no line feed, so its whole-degree part is a prefix.
  own.latLength = WholeDegreeView(lat).size();
  own.lonLength = WholeDegreeView(lon).size();
  return own;
}

void STWorldOrLocal(const OwnCell &own, std::string_view latText, std::string_view lonText, std::string_view elText,
                    std::string_view xText, std::string_view yText, std::string_view zText, double &outX,
                    double &outY, double &outZ) {
  if (std::string_view(own.lat, own.latLength) == WholeDegreeView(latText) &&
      std::string_view(own.lon, own.lonLength) == WholeDegreeView(lonText)) {
    outX = static_cast<double>(ReadFloatText(xText));
    outY = static_cast<double>(ReadFloatText(yText));
    outZ = static_cast<double>(ReadFloatText(zText));
    return;
  }
  XPLMWorldToLocal(static_cast<double>(ReadFloatText(latText)), static_cast<double>(ReadFloatText(lonText)),
                   static_cast<double>(ReadFloatText(elText)), &outX, &outY, &outZ);
}
