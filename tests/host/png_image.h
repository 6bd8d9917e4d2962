#pragma once
// Reads a PNG back for the screenshot tests, through libpng's own decoder.

#include <png.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace hosttest {

struct Rgb {
  int r = 0, g = 0, b = 0;
  bool operator==(const Rgb &o) const { return r == o.r && g == o.g && b == o.b; }
  bool operator!=(const Rgb &o) const { return !(*this == o); }
};

inline std::ostream &operator<<(std::ostream &out, const Rgb &c) {
  return out << "(" << c.r << "," << c.g << "," << c.b << ")";
}

struct Image {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;  // top row first
  // PNG row order: row 0 at the top.
  Rgb row(int x, int row) const {
    const size_t i = (static_cast<size_t>(row) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3;
    return {rgb[i], rgb[i + 1], rgb[i + 2]};
  }
  // Host window coordinates: y up from the bottom row.
  Rgb at(int x, int y) const { return row(x, height - 1 - y); }
  bool inside(int x, int y) const { return x >= 0 && y >= 0 && x < width && y < height; }
};

// False when the file is no PNG libpng can read.
inline bool readPng(const std::string &path, Image *out) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_RGB;
  out->width = static_cast<int>(image.width);
  out->height = static_cast<int>(image.height);
  out->rgb.assign(PNG_IMAGE_SIZE(image), 0);
  if (!png_image_finish_read(&image, nullptr, out->rgb.data(), 0, nullptr)) {
    png_image_free(&image);
    return false;
  }
  return true;
}

}  // namespace hosttest
