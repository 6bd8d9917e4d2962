// Screenshots: the rasterised drawing record, text, widgets and scene, checked pixel by pixel on
// the PNG read back with libpng.

#include <algorithm>
#include <climits>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>

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
void NoKey(XPLMWindowID, char, XPLMKeyFlags, char, void *, int) {}
int NoMouse(XPLMWindowID, int, int, XPLMMouseStatus, void *) {
  return 0;
}

int DrawPhase(XPLMDrawingPhase, int, void *refcon) {
  (*static_cast<std::function<void()> *>(refcon))();
  return 1;
}

Rgb scaled(const Rgb &c, double k) {
  return {static_cast<int>(std::lround(c.r * k)), static_cast<int>(std::lround(c.g * k)),
          static_cast<int>(std::lround(c.b * k))};
}

bool near(const Rgb &a, const Rgb &b, int tolerance = 1) {
  return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
         std::abs(a.b - b.b) <= tolerance;
}

struct Bounds {
  int left = INT_MAX, bottom = INT_MAX, right = INT_MIN, top = INT_MIN, count = 0;  // inclusive
};

// The pixels (host coordinates) where two shots differ.
Bounds changed(const Image &a, const Image &b) {
  Bounds out;
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x)
      if (a.at(x, y) != b.at(x, y)) {
        out.left = std::min(out.left, x);
        out.right = std::max(out.right, x);
        out.bottom = std::min(out.bottom, y);
        out.top = std::max(out.top, y);
        ++out.count;
      }
  return out;
}

int changedIn(const Image &a, const Image &b, int left, int bottom, int right, int top) {
  int n = 0;
  for (int y = bottom; y < top; ++y)
    for (int x = left; x < right; ++x) n += a.at(x, y) != b.at(x, y);
  return n;
}

bool sameIn(const Image &a, const Image &b, int left, int bottom, int right, int top) {
  return changedIn(a, b, left, bottom, right, top) == 0;
}

// A host with a window whose drawing the test sets, and screenshots read back.
struct Shots : hosttest::Fresh {
  std::function<void()> draw = [] {};
  XPLMWindowID window;
  int shots = 0;
  Shots() { window = XPLMCreateWindow(0, 768, 1024, 0, 1, DrawWith, NoKey, NoMouse, &draw); }
  Image shoot() {
    host.runFrame();
    return file();
  }
  // The last frame, without running another.
  Image file() {
    const std::string path = dir / ("shot" + std::to_string(++shots) + ".png");
    Image img;
    EXPECT_TRUE(host.screenshot(path)) << host.screenshotError();
    EXPECT_TRUE(hosttest::readPng(path, &img)) << path;
    return img;
  }
  std::string text(const char *s) { return s; }
};

void drawString(float r, float g, float b, int x, int y, const char *text, int wrap = 0) {
  float colour[3] = {r, g, b};
  std::string copy = text;
  XPLMDrawString(colour, x, y, copy.data(), wrap ? &wrap : nullptr, xplmFont_Basic);
}

void quad(float x0, float y0, float x1, float y1) {
  glBegin(GL_QUADS);
  glVertex2f(x0, y0);
  glVertex2f(x1, y0);
  glVertex2f(x1, y1);
  glVertex2f(x0, y1);
  glEnd();
}

void line(float x0, float y0, float x1, float y1) {
  glBegin(GL_LINES);
  glVertex2f(x0, y0);
  glVertex2f(x1, y1);
  glEnd();
}

}  // namespace

TEST(Screenshot, IsAValidPngOfTheScreenSize) {
  Shots s;
  s.host.setScreenSize(640, 480);
  const Image img = s.shoot();
  EXPECT_EQ(img.width, 640);
  EXPECT_EQ(img.height, 480);
  EXPECT_EQ(img.row(0, 0), img.row(639, 479));  // ground in two far corners
  EXPECT_FALSE(std::filesystem::exists(s.dir / "shot1.png.part"));
}

TEST(Screenshot, FailsCleanlyWithoutAFontOrAWritableFile) {
  Shots s;
  s.host.runFrame();
  s.host.setFontFile(s.dir / "no-such-font.ttf");
  EXPECT_FALSE(s.host.screenshot(s.dir / "a.png"));
  EXPECT_NE(s.host.screenshotError().find("no-such-font.ttf not found"), std::string::npos)
      << s.host.screenshotError();
  EXPECT_FALSE(std::filesystem::exists(s.dir / "a.png"));

  std::ofstream(s.dir / "fake.ttf") << "not a font";
  s.host.setFontFile(s.dir / "fake.ttf");
  EXPECT_FALSE(s.host.screenshot(s.dir / "b.png"));
  EXPECT_NE(s.host.screenshotError().find("no scalable font"), std::string::npos) << s.host.screenshotError();

  s.host.setFontFile(skyhost::HostOptions().fontFile);
  EXPECT_FALSE(s.host.screenshot(s.dir / "missing-folder/c.png"));
  EXPECT_NE(s.host.screenshotError().find("cannot write"), std::string::npos) << s.host.screenshotError();
  EXPECT_FALSE(std::filesystem::exists(s.dir / "missing-folder"));

  s.host.setScreenSize(0, 768);
  EXPECT_FALSE(s.host.screenshot(s.dir / "d.png"));
  EXPECT_FALSE(std::filesystem::exists(s.dir / "d.png"));
  s.host.setScreenSize(1024, 768);
  EXPECT_TRUE(s.host.screenshot(s.dir / "e.png")) << s.host.screenshotError();
}

TEST(Screenshot, DarkBoxDarkensExactlyItsRectangle) {
  Shots s;
  const Image before = s.shoot();
  s.draw = [] { XPLMDrawTranslucentDarkBox(100, 300, 200, 250); };
  const Image after = s.shoot();
  const Bounds b = changed(before, after);
  EXPECT_EQ(b.left, 100);
  EXPECT_EQ(b.right, 199);
  EXPECT_EQ(b.bottom, 250);
  EXPECT_EQ(b.top, 299);
  for (int y = 250; y < 300; ++y)
    for (int x = 100; x < 200; ++x)
      ASSERT_TRUE(near(after.at(x, y), scaled(before.at(x, y), 0.35)))
          << x << "," << y << " " << after.at(x, y);
}

TEST(Screenshot, GlQuadsBlendByAlphaOrReplaceWithBlendingOff) {
  Shots s;
  const Image before = s.shoot();
  s.draw = [] {
    XPLMSetGraphicsState(0, 0, 0, 0, 1, 0, 0);
    glColor4f(1, 0.5f, 0.25f, 0.4f);
    quad(300, 100, 340, 130);
    XPLMSetGraphicsState(0, 0, 0, 0, 0, 0, 0);
    glColor4f(0.2f, 0.8f, 0.6f, 0.3f);  // alpha ignored
    quad(400, 100, 420, 110);
    // A diamond of radius 20 about the centre of pixel (600, 600): the pixels with
    // |x - 600| + |y - 600| < 20, and those on its left edges (a centre on an edge counts on the
    // left, not on the right).
    XPLMSetGraphicsState(0, 0, 0, 0, 1, 0, 0);
    glColor4f(0, 0, 1, 1);
    glBegin(GL_QUADS);
    glVertex2f(600.5f, 580.5f);
    glVertex2f(620.5f, 600.5f);
    glVertex2f(600.5f, 620.5f);
    glVertex2f(580.5f, 600.5f);
    glEnd();
  };
  const Image after = s.shoot();
  for (int y = 100; y < 130; ++y)
    for (int x = 300; x < 340; ++x) {
      const Rgb bg = before.at(x, y);
      const Rgb want{static_cast<int>(std::lround(0.4 * 255 + 0.6 * bg.r)),
                     static_cast<int>(std::lround(0.4 * 127.5 + 0.6 * bg.g)),
                     static_cast<int>(std::lround(0.4 * 63.75 + 0.6 * bg.b))};
      ASSERT_TRUE(near(after.at(x, y), want)) << x << "," << y << " " << after.at(x, y) << " want " << want;
    }
  for (int y = 100; y < 110; ++y)
    for (int x = 400; x < 420; ++x) ASSERT_EQ(after.at(x, y), (Rgb{51, 204, 153})) << x << "," << y;
  EXPECT_EQ(changedIn(before, after, 0, 0, 1024, 768), 40 * 30 + 20 * 10 + (2 * 19 * 20 + 1) + 39)
      << "nothing else";
  const Rgb blue{0, 0, 255};
  EXPECT_EQ(after.at(600, 600), blue);
  EXPECT_EQ(after.at(600, 581), blue);
  EXPECT_EQ(after.at(600, 580), before.at(600, 580));
  EXPECT_EQ(after.at(619, 600), blue);
  EXPECT_EQ(after.at(620, 600), before.at(620, 600));
  EXPECT_EQ(after.at(580, 600), blue);  // left edge
  EXPECT_EQ(after.at(610, 609), blue);
  EXPECT_EQ(after.at(610, 610), before.at(610, 610));  // right edge
  EXPECT_EQ(after.at(590, 610), blue);
}

TEST(Screenshot, LinesLandOnTheirPixelsHalfOpen) {
  Shots s;
  const Image before = s.shoot();
  s.draw = [] {
    glColor4f(1, 0, 0, 1);
    line(50, 100, 150, 100);   // row 100, x 50..149
    line(60, 200, 60, 260);    // column 60, y 200..259
    line(440, 420, 400, 400);  // drawn backwards, slope 1/2
  };
  const Image after = s.shoot();
  const Rgb red{255, 0, 0};
  for (int x = 50; x < 150; ++x) EXPECT_EQ(after.at(x, 100), red) << x;
  EXPECT_EQ(after.at(49, 100), before.at(49, 100));
  EXPECT_EQ(after.at(150, 100), before.at(150, 100));
  EXPECT_TRUE(sameIn(before, after, 40, 99, 160, 100));
  EXPECT_TRUE(sameIn(before, after, 40, 101, 160, 102));
  for (int y = 200; y < 260; ++y) EXPECT_EQ(after.at(60, y), red) << y;
  EXPECT_EQ(changedIn(before, after, 59, 190, 62, 270), 60);
  for (int x = 400; x < 440; ++x) {
    const int y = static_cast<int>(std::floor(400 + (x + 0.5 - 400) * 0.5));
    EXPECT_EQ(after.at(x, y), red) << x;
    EXPECT_EQ(changedIn(before, after, x, 390, x + 1, 430), 1) << "one pixel in column " << x;
  }
  EXPECT_EQ(changed(before, after).count, 100 + 60 + 40);
}

TEST(Screenshot, RowsAreFlippedIntoThePng) {
  Shots s;
  s.draw = [] {
    XPLMSetGraphicsState(0, 0, 0, 0, 0, 0, 0);
    glColor4f(0, 1, 0, 1);
    quad(0, 0, 8, 8);
  };
  const Image img = s.shoot();
  EXPECT_EQ(img.row(0, 767), (Rgb{0, 255, 0}));  // bottom left of the screen: the PNG's last row
  EXPECT_EQ(img.row(7, 760), (Rgb{0, 255, 0}));
  EXPECT_NE(img.row(7, 759), (Rgb{0, 255, 0}));
  EXPECT_NE(img.row(0, 0), (Rgb{0, 255, 0}));
}

TEST(Screenshot, StringsInkTheirBoxInTheirColourOnly) {
  Shots s;
  const Image before = s.shoot();
  s.draw = [] { drawString(1, 0.2f, 0.2f, 200, 500, "Hello, World gjpq"); };
  const Image after = s.shoot();
  const Bounds b = changed(before, after);
  ASSERT_GT(b.count, 60);
  // 17 characters of 6 pixels from x 200; capitals up to 8 above the baseline, descenders below.
  EXPECT_GE(b.left, 199);
  EXPECT_LE(b.right, 200 + 17 * 6);
  EXPECT_GE(b.right, 200 + 16 * 6);
  EXPECT_LE(b.top, 510);
  EXPECT_GE(b.top, 506);
  EXPECT_LT(b.bottom, 500);  // the descenders of g, j, p, q
  EXPECT_GE(b.bottom, 496);
  // Ink is the colour blended over the ground by coverage, and some pixels are fully covered.
  bool solid = false;
  for (int y = b.bottom; y <= b.top; ++y)
    for (int x = b.left; x <= b.right; ++x) {
      const Rgb p = after.at(x, y), bg = before.at(x, y);
      if (p == bg) continue;
      const double k = (p.r - bg.r) / (255.0 - bg.r);  // coverage, from the red channel
      ASSERT_TRUE(near(p,
                       {p.r, static_cast<int>(std::lround(bg.g + k * (51 - bg.g))),
                        static_cast<int>(std::lround(bg.b + k * (51 - bg.b)))},
                       2))
          << x << "," << y << " " << p;
      solid = solid || near(p, {255, 51, 51}, 2);
    }
  EXPECT_TRUE(solid);
}

TEST(Screenshot, WrappedStringsBreakAtSpacesWithinTheirWidth) {
  Shots s;
  const Image before = s.shoot();
  const char *text = "the quick brown fox jumps over the lazy dog and on and on";
  s.draw = [text] { drawString(1, 1, 1, 300, 600, text); };
  const Bounds unwrapped = changed(before, s.shoot());
  EXPECT_GT(unwrapped.right, 400);
  s.draw = [text] { drawString(1, 1, 1, 300, 600, text, 100); };  // 16 characters a line
  const Image wrapped = s.shoot();
  const Bounds b = changed(before, wrapped);
  EXPECT_GE(b.left, 299);
  EXPECT_LE(b.right, 400);
  // "the quick brown", "fox jumps over", "the lazy dog and", "on and on": four lines 12 apart.
  EXPECT_EQ(b.bottom, 600 - 3 * 12);
  EXPECT_GT(changedIn(before, wrapped, 300, 588 - 2, 400, 588 + 9), 20) << "second line";

  // "aaa bbbb" in five-character lines: the break comes at the space, not after five characters.
  s.draw = [] { drawString(1, 1, 1, 600, 300, "aaa bbbb", 30); };
  const Image words = s.shoot();
  EXPECT_GT(changedIn(before, words, 600, 297, 618, 308), 10);  // "aaa"
  EXPECT_EQ(changedIn(before, words, 618, 297, 640, 310), 0);   // nothing after it on line one
  EXPECT_GT(changedIn(before, words, 618, 285, 624, 296), 3);   // the fourth b on line two
  EXPECT_EQ(changedIn(before, words, 600, 260, 640, 284), 0);   // no third line
}

TEST(Screenshot, OnlyWindowsAndFlatDrawPhasesShow) {
  Shots s;
  const Image before = s.shoot();
  std::function<void()> flat = [] { XPLMDrawTranslucentDarkBox(10, 60, 40, 30); };
  std::function<void()> scene = [] { XPLMDrawTranslucentDarkBox(60, 60, 90, 30); };
  XPLMRegisterDrawCallback(DrawPhase, xplm_Phase_Window, 0, &flat);
  XPLMRegisterDrawCallback(DrawPhase, xplm_Phase_Airplanes, 0, &scene);
  XPLMSetWindowIsVisible(s.window, 0);
  s.draw = [] { XPLMDrawTranslucentDarkBox(110, 60, 140, 30); };
  const Image after = s.shoot();
  EXPECT_EQ(changedIn(before, after, 10, 30, 40, 60), 30 * 30);
  EXPECT_EQ(changedIn(before, after, 60, 30, 90, 60), 0) << "a 3-D phase";
  EXPECT_EQ(changedIn(before, after, 110, 30, 140, 60), 0) << "a hidden window";
  XPLMUnregisterDrawCallback(DrawPhase, xplm_Phase_Window, 0, &flat);
  XPLMUnregisterDrawCallback(DrawPhase, xplm_Phase_Airplanes, 0, &scene);
}

TEST(Screenshot, ShowsTheLastCompletedFrame) {
  Shots s;
  const Image plain = s.shoot();
  s.draw = [] { XPLMDrawTranslucentDarkBox(100, 300, 200, 250); };
  s.host.runFrame();
  s.draw = [] {};
  const Image drawn = s.file();  // the frame with the box, although the window no longer draws it
  EXPECT_EQ(changedIn(plain, drawn, 100, 250, 200, 300), 100 * 50);
}

// Bad geometry from a plugin draws what it can and never reads or writes out of bounds.
TEST(Screenshot, SurvivesWildDrawing) {
  Shots s;
  s.draw = [] {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf("");
    XPLMDrawTranslucentDarkBox(INT_MAX, INT_MIN, INT_MIN, INT_MAX);  // the whole screen
    glVertex2f(5, 5);                                                // outside glBegin
    glColor4f(nan, 2, -1, 7);
    quad(-1e30f, -1e30f, 1e30f, 1e30f);
    quad(nan, 0, 10, 10);
    line(-inf, 0, inf, 0);
    line(-1e30f, -3e30f, 1e30f, 3e30f);
    glBegin(GL_QUADS);
    glVertex2f(1, 1);  // three vertices, then no glEnd
    glVertex2f(2, 1);
    glVertex2f(2, 2);
    drawString(1, 1, 1, INT_MAX, INT_MIN, "edge");
    drawString(1, 1, 1, INT_MIN, INT_MAX, "edge", INT_MAX);
    drawString(1, 1, 1, -3, 2, "\xff\xfe\xc3\x28 bad utf-8 \xe2\x82", -5);
  };
  const Image img = s.shoot();
  // The huge quad covers the screen in the colour clamped into range: (0, 1, 0).
  EXPECT_EQ(img.at(512, 700), (Rgb{0, 255, 0}));
}

TEST(Screenshot, WidgetsDrawMainWindowsCaptionsAndHideWhatIsHidden) {
  Shots s;
  const Image scene = s.shoot();
  XPWidgetID main = XPCreateWidget(100, 600, 400, 400, 1, "Settings", 1, nullptr, xpWidgetClass_MainWindow);
  XPWidgetID caption = XPCreateWidget(110, 560, 250, 540, 1, "Callsign", 0, main, xpWidgetClass_Caption);
  XPWidgetID sub = XPCreateWidget(110, 520, 390, 420, 0, "", 0, main, xpWidgetClass_SubWindow);
  const Image shown = s.file();
  EXPECT_EQ(changedIn(scene, shown, 100, 400, 400, 600), 300 * 200) << "the window covers its rectangle";
  EXPECT_TRUE(sameIn(scene, shown, 0, 0, 1024, 400));
  EXPECT_TRUE(sameIn(scene, shown, 400, 0, 1024, 768));
  // The title bar differs from the body, and holds the title's ink.
  const Rgb body = shown.at(300, 450), bar = shown.at(120, 590);
  EXPECT_NE(body, bar);
  int titleInk = 0;
  for (int x = 200; x < 300; ++x)
    for (int y = 583; y < 599; ++y) titleInk += shown.at(x, y) != bar;
  EXPECT_GT(titleInk, 20);
  // The caption's text, inside its widget, on the body.
  int captionInk = 0, strayInk = 0;
  for (int x = 102; x < 398; ++x)
    for (int y = 402; y < 575; ++y) {
      if (shown.at(x, y) == body) continue;
      (x >= 110 && x < 110 + 8 * 6 + 1 && y >= 540 && y < 560 ? captionInk : strayInk)++;
    }
  EXPECT_GT(captionInk, 30);
  EXPECT_EQ(strayInk, 0) << "the hidden sub window is not drawn";

  XPShowWidget(sub);
  const Image withSub = s.file();
  EXPECT_GT(changedIn(shown, withSub, 110, 420, 390, 520), 20000);
  XPHideWidget(caption);
  EXPECT_EQ(changedIn(withSub, s.file(), 110, 540, 250, 560), captionInk);
  XPHideWidget(main);
  EXPECT_TRUE(sameIn(scene, s.file(), 0, 0, 1024, 768)) << "a hidden root hides its children";
}

TEST(Screenshot, CloseBoxesShowWhenTheWindowHasThem) {
  Shots s;
  XPWidgetID main = XPCreateWidget(100, 600, 400, 400, 1, "", 1, nullptr, xpWidgetClass_MainWindow);
  s.host.runFrame();
  const Image without = s.file();
  XPSetWidgetProperty(main, xpProperty_MainWindowHasCloseBoxes, 1);
  const Image with = s.file();
  const Bounds b = changed(without, with);
  EXPECT_GT(b.count, 50);
  EXPECT_GE(b.left, 100);
  EXPECT_LE(b.right, 120);
  EXPECT_GE(b.bottom, 582);
}

TEST(Screenshot, PasswordFieldsShowNoPlainText) {
  Shots s;
  s.host.runFrame();
  XPWidgetID field = XPCreateWidget(200, 300, 400, 280, 1, "abc", 1, nullptr, xpWidgetClass_TextField);
  auto shotOf = [&](const char *text, int masked) {
    XPSetWidgetDescriptor(field, text);
    XPSetWidgetProperty(field, xpProperty_PasswordMode, masked);
    return s.file();
  };
  const Image plainAbc = shotOf("abc", 0), plainXyz = shotOf("xyz", 0);
  const Image maskedAbc = shotOf("abc", 1), maskedXyz = shotOf("xyz", 1), maskedAbcd = shotOf("abcd", 1);
  EXPECT_GT(changedIn(plainAbc, plainXyz, 200, 280, 400, 300), 10);
  EXPECT_TRUE(sameIn(maskedAbc, maskedXyz, 0, 0, 1024, 768))
      << "the masked text does not depend on the letters";
  EXPECT_GT(changedIn(plainAbc, maskedAbc, 200, 280, 400, 300), 10);
  EXPECT_GT(changedIn(maskedAbc, maskedAbcd, 221, 280, 227, 300), 3) << "one more star";
  // Text too long for the field stays inside it.
  const Image empty = shotOf("", 0);
  const Image tooLong = shotOf("a text far longer than the field is wide, clipped at its right edge", 0);
  const Bounds b = changed(empty, tooLong);
  EXPECT_GE(b.left, 201);
  EXPECT_LE(b.right, 398);
  EXPECT_GT(b.right, 390);
}

TEST(Screenshot, RadioButtonsShowTheirStateAndLabel) {
  Shots s;
  s.host.runFrame();
  XPWidgetID radio = XPCreateWidget(300, 310, 310, 300, 1, "Pilot", 1, nullptr, xpWidgetClass_Button);
  XPSetWidgetProperty(radio, xpProperty_ButtonType, xpRadioButton);
  XPSetWidgetProperty(radio, xpProperty_ButtonBehavior, xpButtonBehaviorCheckBox);
  const Image off = s.file();
  XPSetWidgetProperty(radio, xpProperty_ButtonState, 1);
  const Image on = s.file();
  const Bounds b = changed(off, on);
  EXPECT_GT(b.count, 4);
  EXPECT_GE(b.left, 300);
  EXPECT_LE(b.right, 310) << "only the circle changes";
  XPSetWidgetDescriptor(radio, "");
  const Bounds label = changed(s.file(), on);
  EXPECT_GE(label.left, 312) << "the label is right of the circle";
  EXPECT_LE(label.right, 314 + 5 * 6);
  EXPECT_GT(label.count, 20);
}

TEST(Screenshot, SceneHasTheUserAtTheCentreAndOthersAtTheirOffsets) {
  Shots s;
  XPLMSetWindowIsVisible(s.window, 0);
  // The user 500 m east and 300 m north of the local origin, heading east.
  s.host.setd("sim/flightmodel/position/local_x", 500);
  s.host.setd("sim/flightmodel/position/local_z", -300);
  s.host.setf("sim/flightmodel/position/psi", 90);
  const Image alone = s.shoot();
  // Grid lines every 1 km at 10 m a pixel: x = 0 at column 512 - 50, z = 0 at row 384 - 30.
  const Rgb ground = alone.at(700, 700);
  EXPECT_NE(alone.at(462, 700), ground);
  EXPECT_EQ(alone.at(463, 700), ground);
  EXPECT_EQ(alone.at(562, 700), alone.at(462, 700));
  EXPECT_NE(alone.at(700, 354), ground);
  EXPECT_EQ(alone.at(700, 355), ground);
  EXPECT_NE(alone.at(700, 454), ground);  // z = -1000 (north) is above
  // The user's white arrowhead at the centre, pointing east.
  Bounds white;
  for (int y = 0; y < 768; ++y)
    for (int x = 0; x < 1024; ++x)
      if (alone.at(x, y) == (Rgb{255, 255, 255})) {
        white.left = std::min(white.left, x);
        white.right = std::max(white.right, x);
        white.bottom = std::min(white.bottom, y);
        white.top = std::max(white.top, y);
        ++white.count;
      }
  EXPECT_GT(white.count, 40);
  EXPECT_GE(white.left, 512 - 7);
  EXPECT_LE(white.right, 512 + 10);
  EXPECT_GT(white.right - 512, 512 - white.left) << "nose to the east";
  EXPECT_LE(std::abs((white.top + white.bottom) / 2 - 384), 1);

  // Plane 1 one kilometre east of the user, plane 2 one kilometre north; plane 3 at 0, 0 is no
  // aircraft.
  s.host.setd("sim/multiplayer/position/plane1_x", 1500);
  s.host.setd("sim/multiplayer/position/plane1_z", -300);
  s.host.setd("sim/multiplayer/position/plane2_x", 500);
  s.host.setd("sim/multiplayer/position/plane2_z", -1300);
  s.host.setf("sim/multiplayer/position/plane2_psi", 180);
  const Image planes = s.shoot();
  const Bounds one = changed(alone, [&] {
    s.host.setd("sim/multiplayer/position/plane2_x", 0);
    s.host.setd("sim/multiplayer/position/plane2_z", 0);
    return s.shoot();
  }());
  EXPECT_GE(one.left, 612 - 7);    // plane 2 gone: what differs is plane 1 and its label
  EXPECT_LE(one.right, 612 + 30);  // the arrowhead, then "1" to its right
  EXPECT_GE(one.bottom, 384 - 7);
  EXPECT_LE(one.top, 384 + 14);
  EXPECT_GT(changedIn(alone, planes, 612 + 9, 384, 612 + 16, 384 + 12), 3) << "its slot number";
  const Bounds both = changed(alone, planes);
  EXPECT_GE(both.top, 484 - 7);  // plane 2, 100 px up
  EXPECT_LE(both.top, 484 + 14);
  EXPECT_GE(both.left, 512 - 7);
  EXPECT_EQ(changedIn(alone, planes, 0, 0, 1024, 374), 0) << "nothing south of the user";
}

TEST(Screenshot, TheFixturePaneAndWindowDraw) {
  hosttest::WithFixture f;
  f.host.enable();
  f.host.runFrame();
  const std::string path = f.dir / "pane.png";
  ASSERT_TRUE(f.host.screenshot(path));
  Image before;
  ASSERT_TRUE(hosttest::readPng(path, &before));
  f.host.pickMenu({"Fixture", "Build Pane"});
  f.host.pickMenu({"Fixture", "Toggle Window"});
  f.host.runFrame();
  ASSERT_TRUE(f.host.screenshot(path));
  Image after;
  ASSERT_TRUE(hosttest::readPng(path, &after));
  EXPECT_EQ(changedIn(before, after, 100, 200, 400, 500), 300 * 300) << "the pane";
  EXPECT_EQ(changedIn(before, after, 10, 200, 100, 300), 90 * 100)
      << "the window's dark box left of the pane";
  EXPECT_EQ(changedIn(before, after, 0, 0, 1024, 200), 0);
}
