#pragma once
// A small software rasteriser for the host's screenshots. Coordinates are the host's window
// coordinates: pixels, origin at the bottom left, y up. Pixel (x, y) covers [x, x+1) x [y, y+1)
// and is covered by a shape when its centre (x + 0.5, y + 0.5) is; only the PNG export flips the
// rows. Colours are floats in 0..1, stored 8 bits a channel as a framebuffer would; blending is
// source-over with the source alpha.

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace skyhost::render {

struct Rgba {
  float r = 0, g = 0, b = 0, a = 1;
};

struct Point {
  double x = 0, y = 0;
};

class Canvas {
 public:
  Canvas(int width, int height, Rgba background);
  int width() const { return w_; }
  int height() const { return h_; }

  // The coordinates every call below but plot takes are multiplied by scale, then moved by (dx,
  // dy), into pixels: a drawing made in boxels lands where the interface scale puts it.
  void setTransform(double scale, double dx, double dy);
  double mapX(double x) const { return x * scale_ + dx_; }
  double mapY(double y) const { return y * scale_ + dy_; }

  // Shapes outside the clip rectangle (initially the whole canvas) draw nothing.
  void setClip(int left, int bottom, int right, int top);  // half-open, like fillRect
  void clearClip();

  // Unblended, the colour replaces the pixel and its alpha is ignored. coverage (0..1) scales the
  // alpha of a blended pixel.
  void plot(int x, int y, const Rgba &c, bool blend = true, float coverage = 1.0f);
  void fillRect(int left, int bottom, int right, int top, const Rgba &c,
                bool blend = true);  // [left, right) x [bottom, top)
  // Any simple or self-crossing polygon, even-odd rule; non-finite vertices draw nothing.
  void fillPolygon(const std::vector<Point> &pts, const Rgba &c, bool blend = true);
  // A 1-pixel line: along its major axis, each pixel column (or row) whose centre lies in
  // [min, max) of the end points gets the one pixel the line passes through at that centre. So
  // (10, 5)-(20, 5) covers x 10..19 of row 5, and a zero-length line covers nothing.
  void line(double x0, double y0, double x1, double y1, const Rgba &c, bool blend = true);
  void fillCircle(double cx, double cy, double radius, const Rgba &c, bool blend = true);
  void strokeCircle(double cx, double cy, double radius, const Rgba &c, bool blend = true);  // 1 px ring

  // 8-bit RGB, top row first, as a PNG stores it.
  std::vector<uint8_t> rgbTopDown() const;

 private:
  int mapXi(int x) const { return static_cast<int>(std::lround(mapX(x))); }
  int mapYi(int y) const { return static_cast<int>(std::lround(mapY(y))); }
  int w_, h_;
  int clipL_, clipB_, clipR_, clipT_;
  double scale_ = 1, dx_ = 0, dy_ = 0;
  std::vector<uint8_t> px_;  // RGB, bottom row first
};

// Writes 8-bit RGB rows (top first) as a PNG through a temporary file renamed into place, so a
// failed write leaves nothing behind. False with the reason in *why.
bool writePng(const std::string &path, int width, int height, const std::vector<uint8_t> &rgbTopDown,
              std::string *why);

}  // namespace skyhost::render
