// Host::screenshot: the last completed frame drawn in software. Layers, bottom first: the scene
// through the host's camera (top down round the user's aircraft, or from its cockpit), the drawing
// the windows and 2-D draw callbacks recorded, then the shown widgets in a plain style of the
// host's own. What is placed in boxels is drawn at the interface scale.

#include <algorithm>
#include <cmath>

#include "GL/gl.h"
#include "HostImpl.h"
#include "XPStandardWidgets.h"
#include "render/Canvas.h"
#include "render/Font.h"

namespace skyhost {

namespace {

using render::Canvas;
using render::Font;
using render::Point;
using render::Rgba;

// Scene scale and grid; the user's aircraft is at the centre of the screen, north up.
constexpr double kMetresPerPixel = 10;
constexpr double kGridMetres = 1000;
// DejaVu Sans Mono at 10 px has a 6 px advance: the host's character cell.
constexpr int kFontPixels = 10;
constexpr int kLineStep = 12;     // wrapped lines of a string, baseline to baseline
constexpr int kMaxScreen = 8192;  // 200 MB of pixels at most

const Rgba kGround{0.16f, 0.19f, 0.24f, 1};
const Rgba kSky{0.30f, 0.42f, 0.60f, 1};
const Rgba kGrid{0.23f, 0.27f, 0.33f, 1};
const Rgba kUser{1, 1, 1, 1};
const Rgba kSlotColours[] = {{1.0f, 0.6f, 0.2f, 1},  {0.3f, 0.9f, 1.0f, 1}, {1.0f, 0.4f, 0.9f, 1},
                             {1.0f, 0.95f, 0.3f, 1}, {0.4f, 1.0f, 0.4f, 1}, {1.0f, 0.35f, 0.35f, 1},
                             {0.6f, 0.7f, 1.0f, 1}};
const Rgba kDarkBox{0, 0, 0, 0.65f};
// The default material under the default ambient light (0.2 of 0.2 grey), opaque.
const Rgba kLitMaterial{0.04f, 0.04f, 0.04f, 1};

// Widgets.
const Rgba kWindowBody{0.36f, 0.39f, 0.43f, 1};
const Rgba kTitleBar{0.22f, 0.25f, 0.30f, 1};
const Rgba kBorder{0.08f, 0.09f, 0.11f, 1};
const Rgba kPanel{0.28f, 0.31f, 0.35f, 1};
const Rgba kScreenPanel{0.10f, 0.11f, 0.13f, 1};
const Rgba kListPanel{0.05f, 0.06f, 0.07f, 1};
const Rgba kShade{0.15f, 0.16f, 0.19f, 1};
const Rgba kLight{0.55f, 0.58f, 0.62f, 1};
const Rgba kButton{0.48f, 0.51f, 0.56f, 1};
const Rgba kField{0.07f, 0.08f, 0.09f, 1};
const Rgba kText{0.95f, 0.95f, 0.95f, 1};
const Rgba kCaption{0.88f, 0.88f, 0.88f, 1};
const Rgba kCaptionLit{1.0f, 0.9f, 0.5f, 1};
const Rgba kProgressBar{0.35f, 0.6f, 0.9f, 1};

Rgba colourOf(const float rgba[4]) {
  return {rgba[0], rgba[1], rgba[2], rgba[3]};
}

intptr_t prop(const Host::Widget &w, int id) {
  auto it = w.properties.find(id);
  return it == w.properties.end() ? 0 : it->second;
}

class Renderer {
 public:
  // scaledFont: the font at the interface scale, the same as font at 100 %.
  Renderer(const Host::Impl &h, Canvas &canvas, Font &font, Font &scaledFont)
      : h_(h), c_(canvas), font_(font), scaledFont_(scaledFont) {}

  void scene() {
    if (h_.camera.mode == Host::Camera::Cockpit) {
      cockpitScene();
      return;
    }
    const Host &host = *h_.self;
    const double ux = host.getd("sim/flightmodel/position/local_x");
    const double uz = host.getd("sim/flightmodel/position/local_z");
    const double cx = c_.width() / 2.0, cy = c_.height() / 2.0;
    if (std::isfinite(ux) && std::isfinite(uz)) {
      grid(ux, uz, cx, cy);
      for (int n = 1; n <= 19; ++n) {
        const std::string p = "sim/multiplayer/position/plane" + std::to_string(n);
        const double x = host.getd(p + "_x"), z = host.getd(p + "_z");
        if (!host.planeDrawn(n) || !std::isfinite(x) || !std::isfinite(z)) continue;
        const double px = cx + (x - ux) / kMetresPerPixel, py = cy - (z - uz) / kMetresPerPixel;
        if (std::fabs(px - cx) > c_.width() + 100 || std::fabs(py - cy) > c_.height() + 100) continue;
        const Rgba &colour = kSlotColours[(n - 1) % (sizeof kSlotColours / sizeof kSlotColours[0])];
        aircraft(px, py, host.getf(p + "_psi"), colour);
        text(static_cast<int>(std::lround(px)) + 9, static_cast<int>(std::lround(py)) + 3, std::to_string(n),
             colour);
      }
    }
    aircraft(cx, cy, host.getf("sim/flightmodel/position/psi"), kUser);
  }

  // Each window's (or 2-D draw phase's) drawing starts with blending on; 3-D phases and drawing
  // outside any draw callback show nothing. A window drawn where the screen does not show it (in
  // a window of its own, or hidden from the headset in VR) is left out; in VR the headset shows
  // no 2-D phase.
  void windows() {
    bool started = false, skip = false, blend = true, lit = false, inPrimitive = false;
    XPLMWindowID window = nullptr;
    int phase = 0;
    unsigned mode = 0;
    std::vector<const Host::DrawOp *> vertices;
    for (const Host::DrawOp &op : h_.lastDrawing) {
      const bool flat =
          op.window || (op.phase >= xplm_Phase_FirstCockpit && op.phase <= xplm_Phase_LastCockpit);
      if (!flat) continue;
      if (!started || op.window != window || op.phase != phase) {
        started = true;
        window = op.window;
        phase = op.phase;
        skip = !placeDrawing(op.window);
        blend = true;
        lit = false;
        inPrimitive = false;
        vertices.clear();
      }
      if (skip) continue;
      switch (op.kind) {
        case Host::DrawOp::String:
          drawString(op);
          break;
        case Host::DrawOp::DarkBox:
          c_.fillRect(std::min(op.rect[0], op.rect[2]), std::min(op.rect[1], op.rect[3]),
                      std::max(op.rect[0], op.rect[2]), std::max(op.rect[1], op.rect[3]), kDarkBox, true);
          break;
        case Host::DrawOp::GraphicsState:
          blend = op.state[4] != 0;
          lit = op.state[2] != 0;
          break;
        case Host::DrawOp::Color:
          break;  // vertices carry the colour current when they were given
        case Host::DrawOp::Begin:
          mode = op.mode;
          inPrimitive = true;
          vertices.clear();
          break;
        case Host::DrawOp::Vertex:
          if (inPrimitive) vertices.push_back(&op);
          break;
        case Host::DrawOp::End:
          if (inPrimitive) primitives(mode, vertices, blend, lit);
          inPrimitive = false;
          vertices.clear();
          break;
      }
    }
    transform(1, 0, 0);
  }

  // A root widget in a native window is drawn where that window is seen, at the interface scale;
  // one without is in pixels and never in VR.
  void widgets() {
    for (XPWidgetID id : h_.rootOrder) {
      const WidgetRec *r = h_.findWidget(id);
      if (!r) continue;
      const WindowRec *w = r->window ? findWindow(r->window) : nullptr;
      if (r->window) {
        const Host::Shown where = w ? h_.shown(*w) : Host::Shown::Hidden;
        if (where != Host::Shown::Screen && where != Host::Shown::VR) continue;
        transform(h_.scale(), 0, 0);
      } else {
        if (h_.vr) continue;
        transform(1, 0, 0);
      }
      tree(r->pub, 0);
    }
    transform(1, 0, 0);
  }

 private:
  const WindowRec *findWindow(XPLMWindowID id) const {
    for (const WindowRec &w : h_.windows)
      if (w.pub.id == id) return &w;
    return nullptr;
  }

  void transform(double scale, double dx, double dy) {
    c_.setTransform(scale, dx, dy);
    scale_ = scale;
  }

  // Sets the transform for the drawing of this window (null: a 2-D phase); false when the screen
  // does not show it.
  bool placeDrawing(XPLMWindowID id) {
    if (!id) {
      transform(h_.scale(), 0, 0);
      return !h_.vr;
    }
    const WindowRec *w = findWindow(id);
    if (!w) return false;
    const Host::Shown where = h_.shown(*w);
    if (where == Host::Shown::Screen) {
      transform(w->pub.modern ? h_.scale() : 1, 0, 0);
      return true;
    }
    if (where == Host::Shown::VR) {  // its own coordinates, mirrored where it floated
      transform(h_.scale(), w->pub.left * h_.scale(), w->pub.bottom * h_.scale());
      return true;
    }
    return false;
  }

  Font &font() { return scale_ == 1 ? font_ : scaledFont_; }

  // The eye's picture from the cockpit: sky above the horizon, every drawn multiplayer aircraft
  // as a diamond in its slot's colour with its number beside it where the camera sees it.
  void cockpitScene() {
    const Host &host = *h_.self;
    float world[16], proj[16];
    h_.cameraMatrices(world, proj);
    const double ux = host.getd("sim/flightmodel/position/local_x");
    const double uy = host.getd("sim/flightmodel/position/local_y");
    const double uz = host.getd("sim/flightmodel/position/local_z");
    const double psi = host.getf("sim/flightmodel/position/psi") * kDeg;
    double hx, hy;
    if (project(world, proj, ux + 1e5 * std::sin(psi), uy, uz - 1e5 * std::cos(psi), &hx, &hy))
      c_.fillRect(0, std::clamp(static_cast<int>(std::lround(hy)), 0, c_.height()), c_.width(), c_.height(), kSky,
                  false);
    for (int n = 1; n <= 19; ++n) {
      const std::string p = "sim/multiplayer/position/plane" + std::to_string(n);
      double px, py;
      if (!host.planeDrawn(n) ||
          !project(world, proj, host.getd(p + "_x"), host.getd(p + "_y"), host.getd(p + "_z"), &px, &py))
        continue;
      if (std::fabs(px) > 4.0 * c_.width() || std::fabs(py) > 4.0 * c_.height()) continue;
      const Rgba &colour = kSlotColours[(n - 1) % (sizeof kSlotColours / sizeof kSlotColours[0])];
      c_.fillPolygon({{px, py + 6}, {px + 6, py}, {px, py - 6}, {px - 6, py}}, colour, false);
      text(static_cast<int>(std::lround(px)) + 9, static_cast<int>(std::lround(py)) - 3, std::to_string(n), colour);
    }
  }

  // A point of the local frame to a screen pixel through the camera; false behind it.
  bool project(const float world[16], const float proj[16], double x, double y, double z, double *sx,
               double *sy) const {
    const double p[4] = {x, y, z, 1};
    double eye[4], clip[4];
    for (int r = 0; r < 4; ++r) eye[r] = world[r] * p[0] + world[4 + r] * p[1] + world[8 + r] * p[2] + world[12 + r];
    for (int r = 0; r < 4; ++r)
      clip[r] = proj[r] * eye[0] + proj[4 + r] * eye[1] + proj[8 + r] * eye[2] + proj[12 + r] * eye[3];
    if (!(clip[3] > 0) || !std::isfinite(clip[0]) || !std::isfinite(clip[1])) return false;
    *sx = (clip[0] / clip[3] + 1) / 2 * c_.width();
    *sy = (clip[1] / clip[3] + 1) / 2 * c_.height();
    return true;
  }

  void grid(double ux, double uz, double cx, double cy) {
    const double halfW = cx * kMetresPerPixel, halfH = cy * kMetresPerPixel;
    const long long x0 = static_cast<long long>(std::ceil((ux - halfW) / kGridMetres));
    const long long x1 = static_cast<long long>(std::floor((ux + halfW) / kGridMetres));
    for (long long k = x0; k <= x1; ++k) {
      const int col = static_cast<int>(std::floor(cx + (k * kGridMetres - ux) / kMetresPerPixel));
      c_.fillRect(col, 0, col + 1, c_.height(), kGrid, false);
    }
    const long long z0 = static_cast<long long>(std::ceil((uz - halfH) / kGridMetres));
    const long long z1 = static_cast<long long>(std::floor((uz + halfH) / kGridMetres));
    for (long long k = z0; k <= z1; ++k) {
      const int row = static_cast<int>(std::floor(cy - (k * kGridMetres - uz) / kMetresPerPixel));
      c_.fillRect(0, row, c_.width(), row + 1, kGrid, false);
    }
  }

  // An arrowhead at (x, y) pointing along the true heading psi (clockwise from north = up).
  void aircraft(double x, double y, float psiDeg, const Rgba &colour) {
    const double psi = std::isfinite(psiDeg) ? psiDeg * kDeg : 0.0;
    const double fx = std::sin(psi), fy = std::cos(psi);  // forward
    const double rx = fy, ry = -fx;                       // right
    auto at = [&](double forward, double right) {
      return Point{x + forward * fx + right * rx, y + forward * fy + right * ry};
    };
    c_.fillPolygon({at(10, 0), at(-6, 6), at(-3, 0), at(-6, -6)}, colour, false);
  }

  // Text at (x, baseline) in the coordinates being drawn in.
  void text(int x, int baseline, const std::string &utf8, const Rgba &colour) {
    textLine(x, baseline, render::decodeUtf8(utf8), colour);
  }
  void textLine(double x, double baseline, const std::u32string &line, const Rgba &colour) {
    font().drawLine(c_, static_cast<int>(std::lround(c_.mapX(x))), static_cast<int>(std::lround(c_.mapY(baseline))),
                    line, colour);
  }

  // A wrapped string breaks at spaces into lines no wider than the wrap width, each kLineStep
  // below the one before.
  void drawString(const Host::DrawOp &op) {
    const int maxChars = op.hasWrap && op.wrap > 0 ? std::max(1, op.wrap / kCharWidth) : 0;
    const auto lines = render::wrapLines(render::decodeUtf8(op.text), maxChars);
    const Rgba colour{op.rgba[0], op.rgba[1], op.rgba[2], 1};
    for (size_t k = 0; k < lines.size() && k < 1000; ++k)
      textLine(op.x, op.y - static_cast<double>(k) * kLineStep, lines[k], colour);
  }

  // Each primitive takes the colour of its last vertex.
  // With fixed-function lighting on, the colour drawn is the lit default material's, not glColor4f's.
  void primitives(unsigned mode, const std::vector<const Host::DrawOp *> &v, bool blend, bool lit) {
    auto colour = [lit](const Host::DrawOp *op) { return lit ? kLitMaterial : colourOf(op->rgba); };
    if (mode == GL_QUADS) {
      for (size_t i = 0; i + 3 < v.size(); i += 4)
        c_.fillPolygon({{v[i]->vx, v[i]->vy},
                        {v[i + 1]->vx, v[i + 1]->vy},
                        {v[i + 2]->vx, v[i + 2]->vy},
                        {v[i + 3]->vx, v[i + 3]->vy}},
                       colour(v[i + 3]), blend);
    } else if (mode == GL_LINES) {
      for (size_t i = 0; i + 1 < v.size(); i += 2)
        c_.line(v[i]->vx, v[i]->vy, v[i + 1]->vx, v[i + 1]->vy, colour(v[i + 1]), blend);
    }
  }

  void tree(const Host::Widget &w, int depth) {
    if (!w.visible || depth > 64) return;
    drawWidget(w);
    for (XPWidgetID id : w.children)
      if (const WidgetRec *r = h_.findWidget(id)) tree(r->pub, depth + 1);
  }

  struct Box {
    int l, b, r, t;
    int midY() const { return (b + t) / 2; }
  };

  void frame(const Box &x, const Rgba &topLeft, const Rgba &bottomRight) {
    c_.fillRect(x.l, x.t - 1, x.r, x.t, topLeft, false);
    c_.fillRect(x.l, x.b, x.l + 1, x.t, topLeft, false);
    c_.fillRect(x.l, x.b, x.r, x.b + 1, bottomRight, false);
    c_.fillRect(x.r - 1, x.b, x.r, x.t, bottomRight, false);
  }

  // Text vertically centred in a box: DejaVu's capitals stand 7 px above the baseline.
  static int baselineIn(const Box &x) { return x.midY() - 3; }

  int textWidth(const std::string &s) const { return static_cast<int>(render::decodeUtf8(s).size()) * kCharWidth; }

  void drawWidget(const Host::Widget &w) {
    const Box box{std::min(w.left, w.right), std::min(w.bottom, w.top), std::max(w.left, w.right),
                  std::max(w.bottom, w.top)};
    switch (w.widgetClass) {
      case xpWidgetClass_MainWindow:
        mainWindow(w, box);
        break;
      case xpWidgetClass_SubWindow: {
        const intptr_t type = prop(w, xpProperty_SubWindowType);
        c_.fillRect(box.l, box.b, box.r, box.t,
                    type == xpSubWindowStyle_Screen     ? kScreenPanel
                    : type == xpSubWindowStyle_ListView ? kListPanel
                                                        : kPanel,
                    false);
        frame(box, kShade, kLight);  // inset
        break;
      }
      case xpWidgetClass_Button:
        button(w, box);
        break;
      case xpWidgetClass_TextField:
        textField(w, box);
        break;
      case xpWidgetClass_Caption:
        text(box.l, baselineIn(box), w.descriptor, prop(w, xpProperty_CaptionLit) ? kCaptionLit : kCaption);
        break;
      case xpWidgetClass_ScrollBar:
        scrollBar(w, box);
        break;
      case xpWidgetClass_Progress: {
        c_.fillRect(box.l, box.b, box.r, box.t, kField, false);
        const double lo = static_cast<double>(prop(w, xpProperty_ProgressMin));
        const double hi = static_cast<double>(prop(w, xpProperty_ProgressMax));
        const double at = static_cast<double>(prop(w, xpProperty_ProgressPosition));
        const double f = hi > lo ? std::clamp((at - lo) / (hi - lo), 0.0, 1.0) : 0.0;
        c_.fillRect(box.l, box.b, box.l + static_cast<int>(std::lround(f * (box.r - box.l))), box.t,
                    kProgressBar, false);
        frame(box, kShade, kLight);
        break;
      }
      default:
        break;  // general graphics and custom widgets: nothing of the host's to draw
    }
  }

  void mainWindow(const Host::Widget &w, const Box &box) {
    const bool translucent = prop(w, xpProperty_MainWindowType) == xpMainWindowStyle_Translucent;
    const int barBottom = box.t - 18;
    if (translucent) {
      c_.fillRect(box.l, box.b, box.r, box.t, kDarkBox, true);
    } else {
      c_.fillRect(box.l, box.b, box.r, box.t, kWindowBody, false);
      c_.fillRect(box.l, barBottom, box.r, box.t, kTitleBar, false);
      frame(box, kBorder, kBorder);
    }
    const int titleX = (box.l + box.r) / 2 - textWidth(w.descriptor) / 2;
    text(titleX, barBottom + 6, w.descriptor, kText);
    if (prop(w, xpProperty_MainWindowHasCloseBoxes)) closeBox({box.l + 4, box.t - 15, box.l + 16, box.t - 3});
  }

  void closeBox(const Box &x) {
    c_.fillRect(x.l, x.b, x.r, x.t, kButton, false);
    frame(x, kLight, kBorder);
    c_.line(x.l + 3, x.b + 3, x.r - 3, x.t - 3, kBorder, false);
    c_.line(x.l + 3, x.t - 4, x.r - 3, x.b + 2, kBorder, false);
  }

  void button(const Host::Widget &w, const Box &box) {
    const intptr_t type = prop(w, xpProperty_ButtonType);
    const bool on = prop(w, xpProperty_ButtonState) != 0;
    if (type == xpRadioButton) {
      const double cx = box.l + 5.5, cy = box.midY() + 0.5;
      c_.fillCircle(cx, cy, 4.5, kField, false);
      c_.strokeCircle(cx, cy, 4.5, kLight, false);
      if (on) c_.fillCircle(cx, cy, 2.5, kText, false);
      text(box.l + 14, baselineIn(box), w.descriptor, kText);
      return;
    }
    if (type == xpWindowCloseBox) {
      closeBox(box);
      return;
    }
    // A push-type button that behaves as a check box is drawn as one: a square, ticked when on.
    if (type == xpPushButton && prop(w, xpProperty_ButtonBehavior) == xpButtonBehaviorCheckBox) {
      const int mid = box.midY();
      const Box square{box.l + 1, mid - 4, box.l + 10, mid + 5};
      c_.fillRect(square.l, square.b, square.r, square.t, kField, false);
      frame(square, kLight, kLight);
      if (on) c_.fillRect(square.l + 2, square.b + 2, square.r - 2, square.t - 2, kText, false);
      text(box.l + 14, baselineIn(box), w.descriptor, kText);
      return;
    }
    c_.fillRect(box.l, box.b, box.r, box.t, kButton, false);
    frame(box, kLight, kShade);
    if (type == xpLittleDownArrow || type == xpLittleUpArrow) {
      const double cx = (box.l + box.r) / 2.0, cy = (box.b + box.t) / 2.0, s = 3;
      const double d = type == xpLittleUpArrow ? s : -s;
      c_.fillPolygon({{cx - s, cy - d / 2}, {cx + s, cy - d / 2}, {cx, cy + d / 2}}, kText, false);
      return;
    }
    text((box.l + box.r) / 2 - textWidth(w.descriptor) / 2, baselineIn(box), w.descriptor, kText);
  }

  void textField(const Host::Widget &w, const Box &box) {
    const intptr_t type = prop(w, xpProperty_TextFieldType);
    if (type == xpTextTranslucent) {
      c_.fillRect(box.l, box.b, box.r, box.t, kDarkBox, true);
    } else if (type != xpTextTransparent) {
      c_.fillRect(box.l, box.b, box.r, box.t, kField, false);
      frame(box, kLight, kLight);
    }
    std::u32string shown = render::decodeUtf8(w.descriptor);
    if (prop(w, xpProperty_PasswordMode)) shown.assign(shown.size(), U'*');
    c_.setClip(box.l + 1, box.b + 1, box.r - 1, box.t - 1);
    textLine(box.l + 3, baselineIn(box), shown, kText);
    c_.clearClip();
  }

  void scrollBar(const Host::Widget &w, const Box &box) {
    c_.fillRect(box.l, box.b, box.r, box.t, kShade, false);
    frame(box, kBorder, kLight);
    const double lo = static_cast<double>(prop(w, xpProperty_ScrollBarMin));
    const double hi = static_cast<double>(prop(w, xpProperty_ScrollBarMax));
    const double at = static_cast<double>(prop(w, xpProperty_ScrollBarSliderPosition));
    const double f = hi > lo ? std::clamp((at - lo) / (hi - lo), 0.0, 1.0) : 0.0;
    constexpr int kThumb = 12;
    if (box.t - box.b > box.r - box.l) {  // vertical: the minimum at the bottom
      const int y = box.b + static_cast<int>(std::lround(f * std::max(0, box.t - box.b - kThumb)));
      c_.fillRect(box.l + 1, y, box.r - 1, std::min(box.t, y + kThumb), kButton, false);
    } else {
      const int x = box.l + static_cast<int>(std::lround(f * std::max(0, box.r - box.l - kThumb)));
      c_.fillRect(x, box.b + 1, std::min(box.r, x + kThumb), box.t - 1, kButton, false);
    }
  }

  const Host::Impl &h_;
  Canvas &c_;
  Font &font_, &scaledFont_;
  double scale_ = 1;
};

}  // namespace

bool Host::screenshot(const std::string &pngPath) {
  Impl &h = *impl_;
  h.screenshotError.clear();
  const int width = h.options.screenWidth, height = h.options.screenHeight;
  if (width <= 0 || height <= 0 || width > kMaxScreen || height > kMaxScreen) {
    h.screenshotError = "screenshot: a " + std::to_string(width) + "x" + std::to_string(height) +
                        " screen cannot be drawn (1 to 8192 pixels each way)";
    return false;
  }
  if (pngPath.empty()) {
    h.screenshotError = "screenshot: no file name";
    return false;
  }
  Font font(kCharWidth, kFontPixels);
  // The host's character cell and font size at the interface scale.
  Font scaled(static_cast<int>(std::lround(kCharWidth * h.scale())), static_cast<int>(std::lround(kFontPixels * h.scale())));
  std::string why;
  if (!font.open(h.options.fontFile, &why) || !scaled.open(h.options.fontFile, &why)) {
    h.screenshotError = "screenshot " + pngPath + ": " + why;
    return false;
  }
  Canvas canvas(width, height, kGround);
  Renderer renderer(h, canvas, font, scaled);
  renderer.scene();
  renderer.windows();
  renderer.widgets();
  if (!render::writePng(pngPath, width, height, canvas.rgbTopDown(), &why)) {
    h.screenshotError = "screenshot: " + why;
    return false;
  }
  return true;
}

const std::string &Host::screenshotError() const {
  return impl_->screenshotError;
}

}  // namespace skyhost
