#include "render/Canvas.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace skyhost::render {

namespace {

float unit(float v) {
  if (!(v > 0)) return 0;  // NaN too
  return v > 1 ? 1 : v;
}

// The first pixel index whose centre is at or after v, clamped into [lo, hi].
int firstCentreFrom(double v, int lo, int hi) {
  const double c = std::ceil(v - 0.5);
  if (!(c > lo)) return lo;
  if (c > hi) return hi;
  return static_cast<int>(c);
}

uint8_t byte(float unitValue) {
  return static_cast<uint8_t>(std::lround(unitValue * 255.0f));
}

bool finite(const Point &p) {
  return std::isfinite(p.x) && std::isfinite(p.y);
}

}  // namespace

Canvas::Canvas(int width, int height, Rgba background)
    : w_(std::max(0, width)), h_(std::max(0, height)), clipL_(0), clipB_(0), clipR_(w_), clipT_(h_) {
  px_.resize(static_cast<size_t>(w_) * static_cast<size_t>(h_) * 3);
  const uint8_t bg[3] = {byte(unit(background.r)), byte(unit(background.g)), byte(unit(background.b))};
  for (size_t i = 0; i < px_.size(); ++i) px_[i] = bg[i % 3];
}

void Canvas::setTransform(double scale, double dx, double dy) {
  scale_ = std::isfinite(scale) && scale > 0 ? scale : 1;
  dx_ = std::isfinite(dx) ? dx : 0;
  dy_ = std::isfinite(dy) ? dy : 0;
}

void Canvas::setClip(int left, int bottom, int right, int top) {
  clipL_ = std::clamp(mapXi(left), 0, w_);
  clipR_ = std::clamp(mapXi(right), clipL_, w_);
  clipB_ = std::clamp(mapYi(bottom), 0, h_);
  clipT_ = std::clamp(mapYi(top), clipB_, h_);
}

void Canvas::clearClip() {
  clipL_ = clipB_ = 0;
  clipR_ = w_;
  clipT_ = h_;
}

void Canvas::plot(int x, int y, const Rgba &c, bool blend, float coverage) {
  if (x < clipL_ || x >= clipR_ || y < clipB_ || y >= clipT_) return;
  uint8_t *p = &px_[(static_cast<size_t>(y) * static_cast<size_t>(w_) + static_cast<size_t>(x)) * 3];
  const float src[3] = {unit(c.r), unit(c.g), unit(c.b)};
  const float a = blend ? unit(unit(c.a) * coverage) : 1.0f;
  for (int k = 0; k < 3; ++k) p[k] = byte(a * src[k] + (1 - a) * (p[k] / 255.0f));
}

void Canvas::fillRect(int left, int bottom, int right, int top, const Rgba &c, bool blend) {
  const int l = std::max(mapXi(left), clipL_), r = std::min(mapXi(right), clipR_);
  const int b = std::max(mapYi(bottom), clipB_), t = std::min(mapYi(top), clipT_);
  for (int y = b; y < t; ++y)
    for (int x = l; x < r; ++x) plot(x, y, c, blend);
}

void Canvas::fillPolygon(const std::vector<Point> &given, const Rgba &c, bool blend) {
  if (given.size() < 3 || !std::all_of(given.begin(), given.end(), finite)) return;
  std::vector<Point> pts;
  for (const Point &p : given) pts.push_back({mapX(p.x), mapY(p.y)});
  double ymin = pts[0].y, ymax = pts[0].y;
  for (const Point &p : pts) {
    ymin = std::min(ymin, p.y);
    ymax = std::max(ymax, p.y);
  }
  const int r0 = firstCentreFrom(ymin, clipB_, clipT_), r1 = firstCentreFrom(ymax, clipB_, clipT_);
  std::vector<double> xs;
  for (int row = r0; row < r1; ++row) {
    const double yc = row + 0.5;
    xs.clear();
    for (size_t i = 0; i < pts.size(); ++i) {
      const Point &a = pts[i], &b = pts[(i + 1) % pts.size()];
      if ((a.y <= yc && b.y > yc) || (b.y <= yc && a.y > yc))
        xs.push_back(a.x + (yc - a.y) * (b.x - a.x) / (b.y - a.y));
    }
    std::sort(xs.begin(), xs.end());
    for (size_t i = 0; i + 1 < xs.size(); i += 2) {
      const int c0 = firstCentreFrom(xs[i], clipL_, clipR_), c1 = firstCentreFrom(xs[i + 1], clipL_, clipR_);
      for (int col = c0; col < c1; ++col) plot(col, row, c, blend);
    }
  }
}

void Canvas::line(double x0, double y0, double x1, double y1, const Rgba &c, bool blend) {
  if (!finite({x0, y0}) || !finite({x1, y1})) return;
  x0 = mapX(x0);
  y0 = mapY(y0);
  x1 = mapX(x1);
  y1 = mapY(y1);
  const double dx = x1 - x0, dy = y1 - y0;
  const bool alongX = std::fabs(dx) >= std::fabs(dy);
  if (alongX ? dx == 0 : dy == 0) return;
  // Walk the major axis (u) inside the clip; v is the minor coordinate.
  const double u0 = alongX ? x0 : y0, v0 = alongX ? y0 : x0;
  const double slope = alongX ? dy / dx : dx / dy;
  const double ua = std::min(u0, alongX ? x1 : y1), ub = std::max(u0, alongX ? x1 : y1);
  const int lo = alongX ? clipL_ : clipB_, hi = alongX ? clipR_ : clipT_;
  const int vlo = alongX ? clipB_ : clipL_, vhi = alongX ? clipT_ : clipR_;
  const int first = firstCentreFrom(ua, lo, hi), last = firstCentreFrom(ub, lo, hi);
  for (int u = first; u < last; ++u) {
    const double v = v0 + (u + 0.5 - u0) * slope;
    if (!(v >= vlo && v < vhi)) continue;
    const int iv = static_cast<int>(std::floor(v));
    if (alongX)
      plot(u, iv, c, blend);
    else
      plot(iv, u, c, blend);
  }
}

void Canvas::fillCircle(double cx, double cy, double radius, const Rgba &c, bool blend) {
  if (!finite({cx, cy}) || !(radius > 0) || !std::isfinite(radius)) return;
  cx = mapX(cx);
  cy = mapY(cy);
  radius *= scale_;
  const int x0 = firstCentreFrom(cx - radius, clipL_, clipR_),
            x1 = firstCentreFrom(cx + radius + 1, clipL_, clipR_);
  const int y0 = firstCentreFrom(cy - radius, clipB_, clipT_),
            y1 = firstCentreFrom(cy + radius + 1, clipB_, clipT_);
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x)
      if (std::hypot(x + 0.5 - cx, y + 0.5 - cy) <= radius) plot(x, y, c, blend);
}

void Canvas::strokeCircle(double cx, double cy, double radius, const Rgba &c, bool blend) {
  if (!finite({cx, cy}) || !(radius > 0) || !std::isfinite(radius)) return;
  cx = mapX(cx);
  cy = mapY(cy);
  radius *= scale_;
  const double reach = radius + 1;
  const int x0 = firstCentreFrom(cx - reach, clipL_, clipR_),
            x1 = firstCentreFrom(cx + reach, clipL_, clipR_);
  const int y0 = firstCentreFrom(cy - reach, clipB_, clipT_),
            y1 = firstCentreFrom(cy + reach, clipB_, clipT_);
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x)
      if (std::fabs(std::hypot(x + 0.5 - cx, y + 0.5 - cy) - radius) <= 0.5) plot(x, y, c, blend);
}

std::vector<uint8_t> Canvas::rgbTopDown() const {
  std::vector<uint8_t> out(px_.size());
  const size_t rowBytes = static_cast<size_t>(w_) * 3;
  for (int row = 0; row < h_; ++row)
    std::copy_n(&px_[static_cast<size_t>(h_ - 1 - row) * rowBytes], rowBytes,
                &out[static_cast<size_t>(row) * rowBytes]);
  return out;
}

bool writePng(const std::string &path, int width, int height, const std::vector<uint8_t> &rgbTopDown,
              std::string *why) {
  if (width <= 0 || height <= 0 ||
      rgbTopDown.size() != static_cast<size_t>(width) * static_cast<size_t>(height) * 3) {
    *why = "no image to write";
    return false;
  }
  const std::string part = path + ".part";
  FILE *f = std::fopen(part.c_str(), "wb");
  if (!f) {
    *why = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(width);
  image.height = static_cast<png_uint_32>(height);
  image.format = PNG_FORMAT_RGB;
  const bool encoded = png_image_write_to_stdio(&image, f, 0, rgbTopDown.data(), 0, nullptr) != 0;
  const std::string pngMessage = image.message;
  png_image_free(&image);
  const bool closed = std::fclose(f) == 0;
  if (!encoded || !closed) {
    *why = "cannot write " + path + ": " + (encoded ? std::string(std::strerror(errno)) : pngMessage);
    std::remove(part.c_str());
    return false;
  }
  if (std::rename(part.c_str(), path.c_str()) != 0) {
    *why = "cannot write " + path + ": " + std::strerror(errno);
    std::remove(part.c_str());
    return false;
  }
  return true;
}

}  // namespace skyhost::render
