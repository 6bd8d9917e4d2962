// The camera the 3-D world is seen through, and the matrices the host publishes for it.

#include <cmath>
#include <stdexcept>

#include "HostImpl.h"

namespace skyhost {

namespace {

// Straight down on the user's aircraft from this high above it, looking as far again past it.
constexpr double kMapEyeHeight = 50000;
constexpr double kMetresPerPixel = 10;  // the screenshot's scene
constexpr double kCockpitNear = 0.5, kCockpitFar = 100000;

struct Vec {
  double x, y, z;
};
Vec cross(const Vec &a, const Vec &b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double dot(const Vec &a, const Vec &b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}
Vec normalised(const Vec &v) {
  const double n = std::sqrt(dot(v, v));
  return n > 0 ? Vec{v.x / n, v.y / n, v.z / n} : Vec{0, 0, 0};
}

// Column-major, as OpenGL keeps matrices: m[column * 4 + row].
void lookAlong(const Vec &eye, const Vec &forward, const Vec &up, float m[16]) {
  const Vec f = normalised(forward);
  const Vec s = normalised(cross(f, up));
  const Vec u = cross(s, f);
  const double rows[3][3] = {{s.x, s.y, s.z}, {u.x, u.y, u.z}, {-f.x, -f.y, -f.z}};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) m[c * 4 + r] = static_cast<float>(rows[r][c]);
    m[12 + r] = static_cast<float>(-(rows[r][0] * eye.x + rows[r][1] * eye.y + rows[r][2] * eye.z));
    m[r * 4 + 3] = 0;
  }
  m[15] = 1;
}

void orthographic(double l, double r, double b, double t, double n, double f, float m[16]) {
  for (int k = 0; k < 16; ++k) m[k] = 0;
  m[0] = static_cast<float>(2 / (r - l));
  m[5] = static_cast<float>(2 / (t - b));
  m[10] = static_cast<float>(-2 / (f - n));
  m[12] = static_cast<float>(-(r + l) / (r - l));
  m[13] = static_cast<float>(-(t + b) / (t - b));
  m[14] = static_cast<float>(-(f + n) / (f - n));
  m[15] = 1;
}

// fovX across the width; aspect = width / height.
void perspective(double fovXDeg, double aspect, double n, double f, float m[16]) {
  for (int k = 0; k < 16; ++k) m[k] = 0;
  const double tx = std::tan(fovXDeg * kDeg / 2);
  m[0] = static_cast<float>(1 / tx);
  m[5] = static_cast<float>(aspect / tx);
  m[10] = static_cast<float>((f + n) / (n - f));
  m[11] = -1;
  m[14] = static_cast<float>(2 * f * n / (n - f));
}

std::vector<float> asVector(const float m[16]) {
  return std::vector<float>(m, m + 16);
}

}  // namespace

void Host::Impl::cameraMatrices(float world[16], float proj[16]) const {
  const Host &host = *self;
  const int width = std::max(1, options.screenWidth), height = std::max(1, options.screenHeight);
  Vec user{host.getd("sim/flightmodel/position/local_x"), host.getd("sim/flightmodel/position/local_y"),
           host.getd("sim/flightmodel/position/local_z")};
  if (!std::isfinite(user.x) || !std::isfinite(user.y) || !std::isfinite(user.z)) user = {0, 0, 0};
  if (camera.mode == Host::Camera::Map) {
    // North (-z) up on the screen, east to the right.
    lookAlong({user.x, user.y + kMapEyeHeight, user.z}, {0, -1, 0}, {0, 0, -1}, world);
    const double halfW = width * kMetresPerPixel / 2, halfH = height * kMetresPerPixel / 2;
    orthographic(-halfW, halfW, -halfH, halfH, 1, 2 * kMapEyeHeight, proj);
    return;
  }
  // Along the heading (clockwise from north) and the pitch; the camera stays level.
  double psi = host.getf("sim/flightmodel/position/psi") * kDeg;
  double theta = host.getf("sim/flightmodel/position/theta") * kDeg;
  if (!std::isfinite(psi)) psi = 0;
  if (!std::isfinite(theta)) theta = 0;
  const Vec forward{std::sin(psi) * std::cos(theta), std::sin(theta), -std::cos(psi) * std::cos(theta)};
  lookAlong(user, forward, {0, 1, 0}, world);
  perspective(camera.fovDeg, static_cast<double>(width) / height, kCockpitNear, kCockpitFar, proj);
}

void Host::Impl::writeCamera() {
  float world[16], proj[16];
  cameraMatrices(world, proj);
  Host &host = *self;
  host.setvf("sim/graphics/view/world_matrix", asVector(world));
  host.setvf("sim/graphics/view/projection_matrix_3d", asVector(proj));
  host.setvi("sim/graphics/view/viewport", {0, 0, options.screenWidth, options.screenHeight});
  host.seti("sim/graphics/view/window_width", options.screenWidth);
  host.seti("sim/graphics/view/window_height", options.screenHeight);
}

void Host::Impl::setDrawingMatrices(bool threeD) {
  Host &host = *self;
  if (threeD) {
    host.setvf("sim/graphics/view/modelview_matrix", host.getvf("sim/graphics/view/world_matrix"));
    host.setvf("sim/graphics/view/projection_matrix", host.getvf("sim/graphics/view/projection_matrix_3d"));
    return;
  }
  const float identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  int l, t, r, b;
  screenBounds(&l, &t, &r, &b);
  float ortho[16];
  orthographic(l, r, b, t, -1, 1, ortho);
  host.setvf("sim/graphics/view/modelview_matrix", asVector(identity));
  host.setvf("sim/graphics/view/projection_matrix", asVector(ortho));
}

void Host::setCamera(const Camera &camera) {
  if (camera.mode == Camera::Cockpit && !(camera.fovDeg >= 1 && camera.fovDeg <= 170))
    throw std::invalid_argument("camera: the field of view must be 1 to 170 degrees");
  impl_->camera = camera;
}

Host::Camera Host::camera() const {
  return impl_->camera;
}

}  // namespace skyhost
