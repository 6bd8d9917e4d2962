#pragma once
// Text for the screenshots: a monospaced TrueType font through FreeType, drawn in the host's
// character cell so that what a plugin measures is what it sees.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "render/Canvas.h"

namespace skyhost::render {

// UTF-8 to code points; a byte that starts no valid sequence stands for itself (Latin-1).
std::u32string decodeUtf8(const std::string &text);

// Splits text into lines of at most maxChars characters: at newlines, and at spaces when a line
// would grow too long (the spaces at a break are dropped); a word longer than a line is cut.
// maxChars <= 0 splits at newlines only.
std::vector<std::u32string> wrapLines(const std::u32string &text, int maxChars);

class Font {
 public:
  Font(int cellWidth, int pixelSize);
  ~Font();
  Font(const Font &) = delete;
  Font &operator=(const Font &) = delete;

  // False with the reason in *why when the file is missing or not a scalable font.
  bool open(const std::string &path, std::string *why);
  int cellWidth() const { return cell_; }

  // One line of text: character k sits in the cell starting at x + k * cellWidth, on the baseline
  // y (host coordinates, y up). Ink is the colour at the glyph's coverage, always blended.
  void drawLine(Canvas &canvas, int x, int baseline, const std::u32string &text, const Rgba &color);

 private:
  struct Glyph {
    int left = 0, top = 0, width = 0, rows = 0;
    std::vector<uint8_t> coverage;  // rows x width, top row first
  };
  const Glyph &glyph(char32_t cp);

  struct Library;
  std::unique_ptr<Library> ft_;
  int cell_, size_;
  std::map<char32_t, Glyph> cache_;
};

}  // namespace skyhost::render
