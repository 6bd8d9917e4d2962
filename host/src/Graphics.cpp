// Drawing record (the host draws nothing; it records what it was asked to draw), fonts,
// textures, and the world/local projection.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "GL/gl.h"
#include "HostImpl.h"

namespace skyhost {

namespace {

Host::DrawOp blankOp(Host::DrawOp::Kind kind) {
  Host::DrawOp op{};
  op.kind = kind;
  op.phase = -1;
  return op;
}

}  // namespace

void geodeticToEcef(double latDeg, double lonDeg, double h, double out[3]) {
  const double phi = latDeg * kDeg, lam = lonDeg * kDeg;
  const double s = std::sin(phi), c = std::cos(phi);
  const double n = kA / std::sqrt(1.0 - kE2 * s * s);
  out[0] = (n + h) * c * std::cos(lam);
  out[1] = (n + h) * c * std::sin(lam);
  out[2] = (n * (1.0 - kE2) + h) * s;
}

void ecefToGeodetic(const double p[3], double *latDeg, double *lonDeg, double *h) {
  const double lam = std::atan2(p[1], p[0]);
  const double r = std::hypot(p[0], p[1]);
  double phi = std::atan2(p[2], r * (1.0 - kE2));
  double height = 0;
  for (int k = 0; k < 20; ++k) {
    const double s = std::sin(phi);
    const double n = kA / std::sqrt(1.0 - kE2 * s * s);
    height = r * std::cos(phi) + p[2] * s - kA * std::sqrt(1.0 - kE2 * s * s);
    const double next = std::atan2(p[2], r * (1.0 - kE2 * n / (n + height)));
    const bool done = std::fabs(next - phi) < 1e-15;
    phi = next;
    if (done) break;
  }
  const double s = std::sin(phi);
  height = r * std::cos(phi) + p[2] * s - kA * std::sqrt(1.0 - kE2 * s * s);
  *latDeg = phi / kDeg;
  *lonDeg = lam / kDeg;
  *h = height;
}

void Host::Impl::record(Host::DrawOp op) {
  op.window = drawWindow;
  op.phase = drawWindow ? -1 : drawPhase;
  drawing.push_back(std::move(op));
}

const std::vector<Host::DrawOp> &Host::lastFrameDrawing() const {
  return impl_->inFrame ? impl_->drawing : impl_->lastDrawing;
}

std::vector<std::string> Host::lastFrameStrings() const {
  std::vector<std::string> out;
  for (const DrawOp &op : lastFrameDrawing())
    if (op.kind == DrawOp::String) out.push_back(op.text);
  return out;
}

// The local frame is east-north-up on the WGS-84 ellipsoid, its origin on the ellipsoid at the
// chosen point, by default where the user's aircraft starts; x = east, y = up, z = south.
void Host::Impl::initProjection() {
  const bool chosen = std::isfinite(options.originLatitude) && std::isfinite(options.originLongitude);
  setOrigin(chosen ? options.originLatitude : options.startLatitude,
            chosen ? options.originLongitude : options.startLongitude);
}

void Host::Impl::setOrigin(double lat, double lon) {
  lat0 = std::isfinite(lat) ? std::max(-89.5, std::min(89.5, lat)) : 0.5;
  lon0 = std::isfinite(lon) ? lon : 0.5;
  geodeticToEcef(lat0, lon0, 0.0, ecef0);
}

double Host::originLatitude() const {
  return impl_->lat0;
}
double Host::originLongitude() const {
  return impl_->lon0;
}

void Host::worldToLocal(double lat, double lon, double alt, double *x, double *y, double *z) const {
  const Impl &h = *impl_;
  double p[3];
  geodeticToEcef(lat, lon, alt, p);
  const double dx = p[0] - h.ecef0[0], dy = p[1] - h.ecef0[1], dz = p[2] - h.ecef0[2];
  const double sp = std::sin(h.lat0 * kDeg), cp = std::cos(h.lat0 * kDeg);
  const double sl = std::sin(h.lon0 * kDeg), cl = std::cos(h.lon0 * kDeg);
  const double east = -sl * dx + cl * dy;
  const double north = -sp * cl * dx - sp * sl * dy + cp * dz;
  const double up = cp * cl * dx + cp * sl * dy + sp * dz;
  if (x) *x = east;
  if (y) *y = up;
  if (z) *z = -north;
}

void Host::localToWorld(double x, double y, double z, double *lat, double *lon, double *alt) const {
  const Impl &h = *impl_;
  const double east = x, up = y, north = -z;
  const double sp = std::sin(h.lat0 * kDeg), cp = std::cos(h.lat0 * kDeg);
  const double sl = std::sin(h.lon0 * kDeg), cl = std::cos(h.lon0 * kDeg);
  double p[3];
  p[0] = h.ecef0[0] - sl * east - sp * cl * north + cp * cl * up;
  p[1] = h.ecef0[1] + cl * east - sp * sl * north + cp * sl * up;
  p[2] = h.ecef0[2] + cp * north + sp * up;
  double la, lo, al;
  ecefToGeodetic(p, &la, &lo, &al);
  if (lat) *lat = la;
  if (lon) *lon = lo;
  if (alt) *alt = al;
}

}  // namespace skyhost

using skyhost::cur;
using DrawOp = skyhost::Host::DrawOp;

void XPLMSetGraphicsState(int inEnableFog, int inNumberTexUnits, int inEnableLighting,
                          int inEnableAlphaTesting, int inEnableAlphaBlending, int inEnableDepthTesting,
                          int inEnableDepthWriting) {
  DrawOp op = skyhost::blankOp(DrawOp::GraphicsState);
  const int s[7] = {inEnableFog,           inNumberTexUnits,     inEnableLighting,    inEnableAlphaTesting,
                    inEnableAlphaBlending, inEnableDepthTesting, inEnableDepthWriting};
  std::memcpy(op.state, s, sizeof s);
  cur().record(op);
}

void XPLMBindTexture2d(int, int) {}

void XPLMGenerateTextureNumbers(int *outTextureIDs, int inCount) {
  auto &h = cur();
  if (!outTextureIDs) return;
  for (int i = 0; i < inCount; ++i) outTextureIDs[i] = h.nextTexture++;
}

void XPLMWorldToLocal(double inLatitude, double inLongitude, double inAltitude, double *outX, double *outY,
                      double *outZ) {
  skyhost::Host::current().worldToLocal(inLatitude, inLongitude, inAltitude, outX, outY, outZ);
}

void XPLMLocalToWorld(double inX, double inY, double inZ, double *outLatitude, double *outLongitude,
                      double *outAltitude) {
  skyhost::Host::current().localToWorld(inX, inY, inZ, outLatitude, outLongitude, outAltitude);
}

void XPLMDrawTranslucentDarkBox(int inLeft, int inTop, int inRight, int inBottom) {
  DrawOp op = skyhost::blankOp(DrawOp::DarkBox);
  op.rect[0] = inLeft;
  op.rect[1] = inTop;
  op.rect[2] = inRight;
  op.rect[3] = inBottom;
  cur().record(op);
}

void XPLMDrawString(float *inColorRGB, int inXOffset, int inYOffset, char *inChar, int *inWordWrapWidth,
                    XPLMFontID inFontID) {
  DrawOp op = skyhost::blankOp(DrawOp::String);
  if (inColorRGB) {
    op.rgba[0] = inColorRGB[0];
    op.rgba[1] = inColorRGB[1];
    op.rgba[2] = inColorRGB[2];
  }
  op.rgba[3] = 1;
  op.x = inXOffset;
  op.y = inYOffset;
  if (inChar) op.text = inChar;
  op.hasWrap = inWordWrapWidth != nullptr;
  op.wrap = inWordWrapWidth ? *inWordWrapWidth : 0;
  op.font = inFontID;
  cur().record(op);
}

void XPLMDrawNumber(float *inColorRGB, int inXOffset, int inYOffset, double inValue, int inDigits,
                    int inDecimals, int inShowSign, XPLMFontID inFontID) {
  char buf[64];
  if (inDecimals < 0) inDecimals = 0;
  if (inDecimals > 20) inDecimals = 20;
  if (inDigits < 0) inDigits = 0;
  if (inDigits > 40) inDigits = 40;
  std::snprintf(buf, sizeof buf, inShowSign ? "%+*.*f" : "%*.*f", inDigits, inDecimals, inValue);
  XPLMDrawString(inColorRGB, inXOffset, inYOffset, buf, nullptr, inFontID);
}

void XPLMGetFontDimensions(XPLMFontID, int *outCharWidth, int *outCharHeight, int *outDigitsOnly) {
  if (outCharWidth) *outCharWidth = skyhost::kCharWidth;
  if (outCharHeight) *outCharHeight = skyhost::kCharHeight;
  if (outDigitsOnly) *outDigitsOnly = 0;
}

float XPLMMeasureString(XPLMFontID, const char *inChar, int inNumChars) {
  if (!inChar || inNumChars <= 0) return 0;
  return static_cast<float>(inNumChars * skyhost::kCharWidth);
}

void glColor4f(GLfloat red, GLfloat green, GLfloat blue, GLfloat alpha) {
  auto &h = cur();
  h.color[0] = red;
  h.color[1] = green;
  h.color[2] = blue;
  h.color[3] = alpha;
  DrawOp op = skyhost::blankOp(DrawOp::Color);
  std::memcpy(op.rgba, h.color, sizeof op.rgba);
  h.record(op);
}

void glBegin(GLenum mode) {
  DrawOp op = skyhost::blankOp(DrawOp::Begin);
  op.mode = mode;
  cur().record(op);
}

void glVertex2f(GLfloat x, GLfloat y) {
  auto &h = cur();
  DrawOp op = skyhost::blankOp(DrawOp::Vertex);
  std::memcpy(op.rgba, h.color, sizeof op.rgba);
  op.vx = x;
  op.vy = y;
  h.record(op);
}

void glEnd(void) {
  cur().record(skyhost::blankOp(DrawOp::End));
}
