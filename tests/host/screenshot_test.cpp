// Screenshots, checked pixel by pixel on the PNG read back with libpng. Most tests compare a shot
// with and without some drawing, so they do not depend on the scene's colours.

#include <algorithm>
#include <climits>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>

#include "XPLMPlanes.h"
#include "GL/gl.h"
#include "XPLMDisplay.h"
#include "XPLMGraphics.h"
#include "XPStandardWidgets.h"
#include "XPWidgets.h"
#include "fixture.h"
#include "png_image.h"

using hosttest::Image;
using hosttest::Rgb;

namespace {

void DrawWith(XPLMWindowID, void *refcon) {
  (*static_cast<std::function<void()> *>(refcon))();
}
int DrawPhase(XPLMDrawingPhase, int, void *refcon) {
  (*static_cast<std::function<void()> *>(refcon))();
  return 1;
}
void NoKey(XPLMWindowID, char, XPLMKeyFlags, char, void *, int) {}
int NoMouse(XPLMWindowID, int, int, XPLMMouseStatus, void *) {
  return 0;
}

bool near(const Rgb &a, const Rgb &b, int tolerance = 1) {
  return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
         std::abs(a.b - b.b) <= tolerance;
}

struct Bounds {
  int left = INT_MAX, bottom = INT_MAX, right = INT_MIN, top = INT_MIN, count = 0;  // inclusive
};

// Where two shots differ, within [left, right) x [bottom, top) in host coordinates.
Bounds changed(const Image &a, const Image &b, int left = 0, int bottom = 0, int right = INT_MAX,
               int top = INT_MAX) {
  Bounds out;
  for (int y = bottom; y < std::min(top, a.height); ++y)
    for (int x = left; x < std::min(right, a.width); ++x)
      if (a.at(x, y) != b.at(x, y)) {
        out = {std::min(out.left, x), std::min(out.bottom, y), std::max(out.right, x), std::max(out.top, y),
               out.count + 1};
      }
  return out;
}
int changedIn(const Image &a, const Image &b, int left, int bottom, int right, int top) {
  return changed(a, b, left, bottom, right, top).count;
}

// A host with a full-screen window whose drawing the test sets.
struct Shots : hosttest::Fresh {
  std::function<void()> draw = [] {};
  XPLMWindowID window = XPLMCreateWindow(0, 768, 1024, 0, 1, DrawWith, NoKey, NoMouse, &draw);
  int shots = 0;
  Image shoot() {
    host.runFrame();
    return file();
  }
  Image file() {  // the last frame, without running another
    const std::string path = dir / ("shot" + std::to_string(++shots) + ".png");
    Image img;
    EXPECT_TRUE(host.screenshot(path)) << host.screenshotError();
    EXPECT_TRUE(hosttest::readPng(path, &img)) << path;
    return img;
  }
};

void drawString(float r, float g, float b, int x, int y, const char *text, int wrap = 0) {
  float colour[3] = {r, g, b};
  std::string copy = text;
  XPLMDrawString(colour, x, y, copy.data(), wrap ? &wrap : nullptr, xplmFont_Basic);
}

void vertices(GLenum mode, std::initializer_list<float> xy) {
  glBegin(mode);
  for (auto it = xy.begin(); it != xy.end(); it += 2) glVertex2f(it[0], it[1]);
  glEnd();
}
void quad(float x0, float y0, float x1, float y1) {
  vertices(GL_QUADS, {x0, y0, x1, y0, x1, y1, x0, y1});
}

}  // namespace

TEST(Screenshot, WritesAPngOfTheScreenSizeOrFailsCleanly) {
  Shots s;
  s.host.setScreenSize(640, 480);
  const Image img = s.shoot();
  EXPECT_EQ(img.width, 640);
  EXPECT_EQ(img.height, 480);
  EXPECT_FALSE(std::filesystem::exists(s.dir / "shot1.png.part"));

  s.host.setFontFile(s.dir / "no-such-font.ttf");
  EXPECT_FALSE(s.host.screenshot(s.dir / "a.png"));
  EXPECT_NE(s.host.screenshotError().find("no-such-font.ttf not found"), std::string::npos);
  std::ofstream(s.dir / "fake.ttf") << "not a font";
  s.host.setFontFile(s.dir / "fake.ttf");
  EXPECT_FALSE(s.host.screenshot(s.dir / "a.png"));
  EXPECT_NE(s.host.screenshotError().find("no scalable font"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(s.dir / "a.png"));

  s.host.setFontFile(skyhost::HostOptions().fontFile);
  EXPECT_FALSE(s.host.screenshot(s.dir / "no-folder/b.png"));
  EXPECT_NE(s.host.screenshotError().find("cannot write"), std::string::npos);
  s.host.setScreenSize(0, 768);
  EXPECT_FALSE(s.host.screenshot(s.dir / "c.png"));
  EXPECT_FALSE(std::filesystem::exists(s.dir / "c.png"));
}

TEST(Screenshot, DarkBoxDarkensExactlyItsRectangleAndRowsAreFlipped) {
  Shots s;
  const Image before = s.shoot();
  s.draw = [] { XPLMDrawTranslucentDarkBox(100, 300, 200, 250); };
  const Image after = s.shoot();
  const Bounds b = changed(before, after);
  EXPECT_EQ(b.left, 100);
  EXPECT_EQ(b.right, 199);
  EXPECT_EQ(b.bottom, 250);
  EXPECT_EQ(b.top, 299);
  EXPECT_EQ(b.count, 100 * 50);
  for (int y = 250; y < 300; ++y)
    for (int x = 100; x < 200; ++x) {
      const Rgb bg = before.at(x, y), want{int(std::lround(bg.r * 0.35)), int(std::lround(bg.g * 0.35)),
                                           int(std::lround(bg.b * 0.35))};
      ASSERT_TRUE(near(after.at(x, y), want)) << x << "," << y << " " << after.at(x, y);
    }
  EXPECT_NE(after.row(100, 768 - 1 - 250), before.row(100, 768 - 1 - 250));  // host row 250 in the PNG
  EXPECT_EQ(after.row(100, 250), before.row(100, 250));
}

// At 150 % a window of XPLMCreateWindowEx draws in boxels, scaled into pixels; the old window
// beside it stays in pixels.
TEST(Screenshot, ModernWindowsAreDrawnAtTheInterfaceScale) {
  Shots s;
  s.host.setInterfaceScale(1.5);
  std::function<void()> boxed = [] { XPLMDrawTranslucentDarkBox(100, 200, 300, 100); };
  XPLMCreateWindow_t p{};
  p.structSize = sizeof p;
  p.left = 100;
  p.top = 200;
  p.right = 300;
  p.bottom = 100;
  p.visible = 0;
  p.drawWindowFunc = DrawWith;
  p.refcon = &boxed;
  XPLMWindowID modern = XPLMCreateWindowEx(&p);
  s.draw = [] { XPLMDrawTranslucentDarkBox(600, 700, 650, 650); };
  const Image before = s.shoot();
  XPLMSetWindowIsVisible(modern, 1);
  const Image after = s.shoot();
  const Bounds b = changed(before, after);
  EXPECT_EQ((std::vector<int>{b.left, b.bottom, b.right, b.top}), (std::vector<int>{150, 150, 449, 299}));
  EXPECT_EQ(b.count, 300 * 150);
  XPLMSetWindowIsVisible(modern, 0);
  s.draw = [] {};
  const Image plain = s.shoot();
  const Bounds old = changed(plain, before);
  EXPECT_EQ((std::vector<int>{old.left, old.bottom, old.right, old.top}), (std::vector<int>{600, 650, 649, 699}));
}

TEST(Screenshot, GlQuadsBlendByAlphaOrReplaceAndLinesAreHalfOpen) {
  Shots s;
  const Image before = s.shoot();
  s.draw = [] {
    glColor4f(1, 0.5f, 0.25f, 0.4f);  // blending is on at the start of a window's drawing
    quad(300, 100, 340, 130);
    XPLMSetGraphicsState(0, 0, 0, 0, 0, 0, 0);
    glColor4f(0.2f, 0.8f, 0.6f, 0.3f);  // alpha ignored
    quad(400, 100, 420, 110);
    // A diamond of radius 20 about the centre of pixel (600, 600): |x - 600| + |y - 600| < 20,
    // plus its left edges (a centre on an edge counts on the left side, not on the right).
    glColor4f(0, 0, 1, 1);
    vertices(GL_QUADS, {600.5f, 580.5f, 620.5f, 600.5f, 600.5f, 620.5f, 580.5f, 600.5f});
    XPLMSetGraphicsState(0, 0, 0, 0, 1, 0, 0);
    glColor4f(1, 0, 0, 1);
    vertices(GL_LINES, {50, 200, 150, 200, 60, 300, 60, 360, 440, 420, 400, 400});
    XPLMSetGraphicsState(0, 0, 1, 0, 1, 0, 0);  // lighting on: the lit material, not this green
    glColor4f(0, 1, 0, 1);
    quad(700, 100, 710, 110);
  };
  const Image after = s.shoot();
  for (int y = 100; y < 130; ++y)
    for (int x = 300; x < 340; ++x) {
      const Rgb bg = before.at(x, y);
      const Rgb want{int(std::lround(0.4 * 255 + 0.6 * bg.r)), int(std::lround(0.4 * 127.5 + 0.6 * bg.g)),
                     int(std::lround(0.4 * 63.75 + 0.6 * bg.b))};
      ASSERT_TRUE(near(after.at(x, y), want)) << x << "," << y << " " << after.at(x, y) << " want " << want;
    }
  EXPECT_EQ(changed(before, after, 400, 100, 420, 110).count, 200);
  EXPECT_EQ(after.at(419, 109), (Rgb{51, 204, 153}));
  const Rgb blue{0, 0, 255}, red{255, 0, 0};
  EXPECT_EQ(changed(before, after, 560, 560, 640, 640).count, (2 * 19 * 20 + 1) + 39);
  EXPECT_EQ(after.at(619, 600), blue);
  EXPECT_EQ(after.at(620, 600), before.at(620, 600));
  EXPECT_EQ(after.at(580, 600), blue);
  EXPECT_EQ(after.at(610, 610), before.at(610, 610));
  // Lines: row 200 for x 50..149, column 60 for y 300..359, and one pixel a column on the slope.
  EXPECT_EQ(changed(before, after, 0, 150, 300, 400).count, 100 + 60);
  EXPECT_EQ(after.at(50, 200), red);
  EXPECT_EQ(after.at(149, 200), red);
  EXPECT_EQ(after.at(60, 359), red);
  for (int x = 400; x < 440; ++x) {
    EXPECT_EQ(after.at(x, static_cast<int>(std::floor(400 + (x + 0.5 - 400) * 0.5))), red) << x;
    EXPECT_EQ(changedIn(before, after, x, 390, x + 1, 430), 1) << x;
  }
  EXPECT_EQ(after.at(705, 105), (Rgb{10, 10, 10}));
  EXPECT_EQ(changed(before, after).count, 1200 + 200 + 800 + 160 + 40 + 100) << "nothing else";
}

TEST(Screenshot, StringsInkTheirBoxInTheirColourAndWrapAtSpaces) {
  Shots s;
  const Image before = s.shoot();
  s.draw = [] { drawString(1, 0.2f, 0.2f, 200, 500, "Hello, World gjpq"); };
  const Image after = s.shoot();
  const Bounds b = changed(before, after);
  ASSERT_GT(b.count, 60);
  // 17 cells of 6 pixels from x 200; capitals up to ~8 above the baseline, descenders below.
  EXPECT_GE(b.left, 199);
  EXPECT_GE(b.right, 200 + 16 * 6);
  EXPECT_LE(b.right, 200 + 17 * 6);
  EXPECT_GE(b.top, 506);
  EXPECT_LE(b.top, 510);
  EXPECT_LT(b.bottom, 500);
  EXPECT_GE(b.bottom, 496);
  // Every changed pixel is the colour blended over the ground by coverage; some fully covered.
  bool solid = false;
  for (int y = b.bottom; y <= b.top; ++y)
    for (int x = b.left; x <= b.right; ++x) {
      const Rgb p = after.at(x, y), bg = before.at(x, y);
      const double k = (p.r - bg.r) / (255.0 - bg.r);
      ASSERT_TRUE(near(
          p, {p.r, int(std::lround(bg.g + k * (51 - bg.g))), int(std::lround(bg.b + k * (51 - bg.b)))}, 2))
          << x << "," << y << " " << p;
      solid = solid || near(p, {255, 51, 51}, 2);
    }
  EXPECT_TRUE(solid);

  // 16 characters a line: "the quick brown", "fox jumps over", "the lazy dog and", "on and on".
  s.draw = [] {
    drawString(1, 1, 1, 300, 600, "the quick brown fox jumps over the lazy dog and on and on", 100);
  };
  const Bounds wrapped = changed(before, s.shoot());
  EXPECT_GE(wrapped.left, 299);
  EXPECT_LE(wrapped.right, 400);
  EXPECT_EQ(wrapped.bottom, 600 - 3 * 12) << "four lines 12 apart";
  // "aaa bbbb" in five-character lines breaks at the space, not after five characters.
  s.draw = [] { drawString(1, 1, 1, 600, 300, "aaa bbbb", 30); };
  const Image words = s.shoot();
  EXPECT_GT(changedIn(before, words, 600, 297, 618, 308), 10);  // "aaa"
  EXPECT_EQ(changedIn(before, words, 618, 297, 640, 310), 0);   // nothing after it
  EXPECT_GT(changedIn(before, words, 618, 285, 624, 296), 3);   // the fourth b, on line two
}

TEST(Screenshot, ShowsTheLastFramesWindowsAndFlatPhasesOnly) {
  Shots s;
  const Image before = s.shoot();
  std::function<void()> flat = [] { XPLMDrawTranslucentDarkBox(10, 60, 40, 30); };
  std::function<void()> scene = [] { XPLMDrawTranslucentDarkBox(60, 60, 90, 30); };
  XPLMRegisterDrawCallback(DrawPhase, xplm_Phase_Window, 0, &flat);
  XPLMRegisterDrawCallback(DrawPhase, xplm_Phase_Airplanes, 0, &scene);
  s.draw = [] { XPLMDrawTranslucentDarkBox(110, 60, 140, 30); };
  s.host.runFrame();
  s.draw = [] {};  // not drawn until the next frame
  const Image after = s.file();
  EXPECT_EQ(changedIn(before, after, 10, 30, 40, 60), 30 * 30);
  EXPECT_EQ(changedIn(before, after, 60, 30, 90, 60), 0) << "a 3-D phase";
  EXPECT_EQ(changedIn(before, after, 110, 30, 140, 60), 30 * 30) << "the last completed frame";
  XPLMSetWindowIsVisible(s.window, 0);
  s.draw = [] { XPLMDrawTranslucentDarkBox(110, 60, 140, 30); };
  EXPECT_EQ(changedIn(before, s.shoot(), 110, 30, 140, 60), 0) << "a hidden window";
  XPLMUnregisterDrawCallback(DrawPhase, xplm_Phase_Window, 0, &flat);
  XPLMUnregisterDrawCallback(DrawPhase, xplm_Phase_Airplanes, 0, &scene);
}

// Bad geometry from a plugin draws what it can and never reads or writes out of bounds.
TEST(Screenshot, SurvivesWildDrawing) {
  Shots s;
  s.draw = [] {
    const float inf = INFINITY, nan = NAN;
    XPLMDrawTranslucentDarkBox(INT_MAX, INT_MIN, INT_MIN, INT_MAX);
    glVertex2f(5, 5);  // outside glBegin
    glColor4f(nan, 2, -1, 7);
    quad(-1e30f, -1e30f, 1e30f, 1e30f);
    quad(nan, 0, 10, 10);
    vertices(GL_LINES, {-inf, 0, inf, 0, -1e30f, -3e30f, 1e30f, 3e30f});
    glBegin(GL_QUADS);  // three vertices, no glEnd
    glVertex2f(1, 1);
    glVertex2f(2, 1);
    glVertex2f(2, 2);
    drawString(1, 1, 1, INT_MAX, INT_MIN, "edge");
    drawString(1, 1, 1, INT_MIN, INT_MAX, "edge", INT_MAX);
    drawString(1, 1, 1, -3, 2, "\xff\xfe\xc3\x28 bad utf-8 \xe2\x82", -5);
  };
  EXPECT_EQ(s.shoot().at(512, 700), (Rgb{0, 255, 0})) << "the huge quad, its colour clamped";
}

TEST(Screenshot, WidgetsDrawTheShownTreeInTheHostsStyle) {
  Shots s;
  const Image scene = s.shoot();
  XPWidgetID main = XPCreateWidget(100, 600, 400, 400, 1, "Settings", 1, nullptr, xpWidgetClass_MainWindow);
  XPWidgetID caption = XPCreateWidget(110, 560, 250, 540, 1, "Callsign", 0, main, xpWidgetClass_Caption);
  XPWidgetID sub = XPCreateWidget(110, 520, 390, 420, 0, "", 0, main, xpWidgetClass_SubWindow);
  const Image shown = s.file();
  EXPECT_EQ(changed(scene, shown).count, 300 * 200) << "the window covers its rectangle only";
  const Rgb body = shown.at(300, 450), bar = shown.at(120, 590);
  EXPECT_NE(body, bar);
  int titleInk = 0, captionInk = 0, stray = 0;
  for (int y = 402; y < 599; ++y)
    for (int x = 102; x < 398; ++x) {
      const Rgb p = shown.at(x, y);
      if (y >= 582)
        titleInk += p != bar && x >= 200 && x < 300;
      else if (p != body)
        (x >= 110 && x <= 110 + 8 * 6 && y >= 540 && y < 560 ? captionInk : stray)++;
    }
  EXPECT_GT(titleInk, 20);
  EXPECT_GT(captionInk, 30);
  EXPECT_EQ(stray, 0) << "the hidden sub window is not drawn";

  XPSetWidgetProperty(main, xpProperty_MainWindowHasCloseBoxes, 1);
  const Bounds box = changed(shown, s.file());
  EXPECT_GT(box.count, 50);
  EXPECT_TRUE(box.left >= 100 && box.right <= 120 && box.bottom >= 582) << "at the title bar's left";
  XPShowWidget(sub);
  XPHideWidget(caption);
  const Image changedTree = s.file();
  EXPECT_GT(changedIn(shown, changedTree, 110, 420, 390, 520), 20000);
  EXPECT_EQ(changedIn(shown, changedTree, 110, 540, 250, 560), captionInk);
  XPHideWidget(main);
  EXPECT_EQ(changed(scene, s.file()).count, 0) << "a hidden root hides its children";
}

TEST(Screenshot, PasswordFieldsShowNoPlainTextAndRadiosTheirState) {
  Shots s;
  s.host.runFrame();
  XPWidgetID field = XPCreateWidget(200, 300, 400, 280, 1, "abc", 1, nullptr, xpWidgetClass_TextField);
  auto fieldShot = [&](const char *text, int masked) {
    XPSetWidgetDescriptor(field, text);
    XPSetWidgetProperty(field, xpProperty_PasswordMode, masked);
    return s.file();
  };
  const Image plainAbc = fieldShot("abc", 0), plainXyz = fieldShot("xyz", 0);
  const Image maskedAbc = fieldShot("abc", 1), maskedXyz = fieldShot("xyz", 1),
              maskedAbcd = fieldShot("abcd", 1);
  EXPECT_GT(changedIn(plainAbc, plainXyz, 200, 280, 400, 300), 10);
  EXPECT_EQ(changed(maskedAbc, maskedXyz).count, 0) << "masked text does not depend on the letters";
  EXPECT_GT(changedIn(plainAbc, maskedAbc, 200, 280, 400, 300), 10);
  EXPECT_GT(changedIn(maskedAbc, maskedAbcd, 221, 280, 227, 300), 3) << "one more star";
  const Image empty = fieldShot("", 0);
  const Bounds tooLong =
      changed(empty, fieldShot("a text far longer than the field is wide, cut at its edge", 0));
  EXPECT_GE(tooLong.left, 201);
  EXPECT_LE(tooLong.right, 398) << "clipped to the field";

  XPWidgetID radio = XPCreateWidget(300, 510, 310, 500, 1, "Pilot", 1, nullptr, xpWidgetClass_Button);
  XPSetWidgetProperty(radio, xpProperty_ButtonType, xpRadioButton);
  XPSetWidgetProperty(radio, xpProperty_ButtonBehavior, xpButtonBehaviorCheckBox);
  const Image off = s.file();
  XPSetWidgetProperty(radio, xpProperty_ButtonState, 1);
  const Image on = s.file();
  const Bounds dot = changed(off, on);
  EXPECT_GT(dot.count, 4);
  EXPECT_TRUE(dot.left >= 300 && dot.right <= 310) << "only the circle changes";
  XPSetWidgetDescriptor(radio, "");
  const Bounds label = changed(s.file(), on);
  EXPECT_GT(label.count, 20);
  EXPECT_TRUE(label.left >= 312 && label.right <= 314 + 5 * 6) << "the label right of the circle";
}

TEST(Screenshot, SceneHasTheUserAtTheCentreAndOthersAtTheirOffsets) {
  Shots s;
  XPLMSetWindowIsVisible(s.window, 0);
  // The user 500 m east and 300 m north of the local origin, heading east.
  s.host.setd("sim/flightmodel/position/local_x", 500);
  s.host.setd("sim/flightmodel/position/local_z", -300);
  s.host.setf("sim/flightmodel/position/psi", 90);
  const Image alone = s.shoot();
  // Grid lines every 1 km at 10 m a pixel: x = 0 at column 512 - 50, z = 0 at row 384 - 30,
  // z = -1000 (north) 100 rows above.
  const Rgb ground = alone.at(700, 700);
  EXPECT_NE(alone.at(462, 700), ground);
  EXPECT_EQ(alone.at(463, 700), ground);
  EXPECT_EQ(alone.at(562, 700), alone.at(462, 700));
  EXPECT_NE(alone.at(700, 354), ground);
  EXPECT_EQ(alone.at(700, 355), ground);
  EXPECT_NE(alone.at(700, 454), ground);
  // The user's white arrowhead at the centre, its nose east.
  Bounds white;
  for (int y = 0; y < 768; ++y)
    for (int x = 0; x < 1024; ++x)
      if (alone.at(x, y) == (Rgb{255, 255, 255}))
        white = {std::min(white.left, x), std::min(white.bottom, y), std::max(white.right, x),
                 std::max(white.top, y), white.count + 1};
  EXPECT_GT(white.count, 40);
  EXPECT_TRUE(white.left >= 512 - 7 && white.right <= 512 + 10);
  EXPECT_GT(white.right - 512, 512 - white.left) << "nose to the east";
  EXPECT_LE(std::abs((white.top + white.bottom) / 2 - 384), 1);

  // The planes all at 0, 0 (50 left and 30 below the user) have no model, nor are they active:
  // only ground and grid.
  const Rgb grid = alone.at(462, 700);
  int inked = 0;
  for (int y = 354 - 15; y < 354 + 15; ++y)
    for (int x = 462 - 15; x < 462 + 15; ++x) inked += alone.at(x, y) != ground && alone.at(x, y) != grid;
  EXPECT_EQ(inked, 0);
  // Active and with a model, plane 1 one kilometre east of the user, with its number right of it.
  ASSERT_EQ(XPLMAcquirePlanes(nullptr, nullptr, nullptr), 1);
  XPLMSetActiveAircraftCount(20);
  XPLMSetAircraftModel(1, "/sim/One.acf");
  s.host.setd("sim/multiplayer/position/plane1_x", 1500);
  s.host.setd("sim/multiplayer/position/plane1_z", -300);
  const Bounds one = changed(alone, s.shoot());
  EXPECT_TRUE(one.left >= 612 - 7 && one.right <= 612 + 30) << one.left << ".." << one.right;
  EXPECT_TRUE(one.bottom >= 384 - 7 && one.top <= 384 + 14) << one.bottom << ".." << one.top;
  EXPECT_GT(changedIn(alone, s.file(), 612 + 9, 384, 612 + 16, 384 + 12), 3) << "its slot number";
  // Plane 2 one kilometre north: 100 rows up.
  XPLMSetAircraftModel(2, "/sim/Two.acf");
  s.host.setd("sim/multiplayer/position/plane2_x", 500);
  s.host.setd("sim/multiplayer/position/plane2_z", -1300);
  const Bounds two = changed(alone, s.shoot(), 0, 440, 1024, 768);
  EXPECT_TRUE(two.left >= 512 - 7 && two.right <= 512 + 30 && two.bottom >= 484 - 7 && two.top <= 484 + 14);
}
