#include "render/Font.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <sys/stat.h>

namespace skyhost::render {

struct Font::Library {
  FT_Library lib = nullptr;
  FT_Face face = nullptr;
  ~Library() {
    if (face) FT_Done_Face(face);
    if (lib) FT_Done_FreeType(lib);
  }
};

std::u32string decodeUtf8(const std::string &text) {
  std::u32string out;
  const auto *s = reinterpret_cast<const unsigned char *>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    const unsigned char b = s[i];
    int extra = 0;
    char32_t cp = b;
    if (b >= 0xC2 && b <= 0xDF) {
      extra = 1;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      extra = 2;
      cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      extra = 3;
      cp = b & 0x07;
    }
    bool ok = extra > 0;
    for (int k = 1; ok && k <= extra; ++k) {
      const size_t at = i + static_cast<size_t>(k);
      if (at >= n || (s[at] & 0xC0) != 0x80)
        ok = false;
      else
        cp = (cp << 6) | (s[at] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are no characters.
    if (ok && ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
               (cp >= 0xD800 && cp <= 0xDFFF)))
      ok = false;
    if (ok) {
      out.push_back(cp);
      i += static_cast<size_t>(extra) + 1;
    } else {
      out.push_back(b);
      ++i;
    }
  }
  return out;
}

std::vector<std::u32string> wrapLines(const std::u32string &text, int maxChars) {
  std::vector<std::u32string> lines;
  size_t start = 0;
  while (true) {
    const size_t nl = text.find(U'\n', start);
    const std::u32string para =
        text.substr(start, nl == std::u32string::npos ? std::u32string::npos : nl - start);
    if (maxChars <= 0) {
      lines.push_back(para);
    } else {
      const size_t max = static_cast<size_t>(maxChars);
      std::u32string line;
      size_t i = 0;
      bool any = false;
      while (i < para.size()) {
        if (para[i] == U' ') {
          ++i;
          continue;
        }
        size_t end = para.find(U' ', i);
        if (end == std::u32string::npos) end = para.size();
        std::u32string word = para.substr(i, end - i);
        i = end;
        while (!word.empty()) {
          const size_t room = line.empty() ? max : (line.size() + 1 < max ? max - line.size() - 1 : 0);
          if (word.size() <= room) {
            if (!line.empty()) line.push_back(U' ');
            line += word;
            word.clear();
          } else if (line.empty()) {  // longer than a whole line: cut it
            lines.push_back(word.substr(0, max));
            any = true;
            word.erase(0, max);
          } else {
            lines.push_back(line);
            any = true;
            line.clear();
          }
        }
      }
      if (!line.empty() || !any) lines.push_back(line);
    }
    if (nl == std::u32string::npos) break;
    start = nl + 1;
  }
  return lines;
}

Font::Font(int cellWidth, int pixelSize) : ft_(new Library), cell_(cellWidth), size_(pixelSize) {}
Font::~Font() = default;

bool Font::open(const std::string &path, std::string *why) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *why = "font file " + (path.empty() ? std::string("(none)") : path) + " not found";
    return false;
  }
  if (!ft_->lib && FT_Init_FreeType(&ft_->lib) != 0) {
    ft_->lib = nullptr;
    *why = "FreeType would not start";
    return false;
  }
  if (ft_->face) {
    FT_Done_Face(ft_->face);
    ft_->face = nullptr;
  }
  cache_.clear();
  FT_Face face = nullptr;
  if (FT_New_Face(ft_->lib, path.c_str(), 0, &face) != 0 || !FT_IS_SCALABLE(face) ||
      FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(size_)) != 0) {
    if (face) FT_Done_Face(face);
    *why = "font file " + path + " is no scalable font FreeType can read";
    return false;
  }
  ft_->face = face;
  return true;
}

const Font::Glyph &Font::glyph(char32_t cp) {
  auto it = cache_.find(cp);
  if (it != cache_.end()) return it->second;
  Glyph g;
  FT_Face face = ft_->face;
  if (face && FT_Load_Char(face, cp, FT_LOAD_RENDER) == 0) {
    const FT_Bitmap &bm = face->glyph->bitmap;
    g.left = face->glyph->bitmap_left;
    g.top = face->glyph->bitmap_top;
    g.width = static_cast<int>(bm.width);
    g.rows = static_cast<int>(bm.rows);
    g.coverage.assign(static_cast<size_t>(g.width) * static_cast<size_t>(g.rows), 0);
    for (int r = 0; r < g.rows; ++r) {
      const unsigned char *row = bm.buffer + static_cast<ptrdiff_t>(r) * bm.pitch;
      for (int c = 0; c < g.width; ++c) {
        uint8_t v = 0;
        if (bm.pixel_mode == FT_PIXEL_MODE_GRAY)
          v = static_cast<uint8_t>(bm.num_grays > 1 ? row[c] * 255 / (bm.num_grays - 1) : row[c]);
        else if (bm.pixel_mode == FT_PIXEL_MODE_MONO)
          v = (row[c / 8] & (0x80 >> (c % 8))) ? 255 : 0;
        g.coverage[static_cast<size_t>(r) * static_cast<size_t>(g.width) + static_cast<size_t>(c)] = v;
      }
    }
  }
  return cache_.emplace(cp, std::move(g)).first->second;
}

void Font::drawLine(Canvas &canvas, int x, int baseline, const std::u32string &text, const Rgba &color) {
  if (baseline < -2 * size_ || baseline > canvas.height() + 2 * size_) return;
  for (size_t k = 0; k < text.size(); ++k) {
    const char32_t cp = text[k];
    if (cp < 0x20 || cp == 0x7F) continue;  // control characters take their cell, draw nothing
    const long penLong = static_cast<long>(x) + static_cast<long>(k) * cell_;
    if (penLong > canvas.width() + 64L) break;
    if (penLong < -64L - cell_) continue;
    const Glyph &g = glyph(cp);
    const int pen = static_cast<int>(penLong);
    for (int r = 0; r < g.rows; ++r) {
      const int y = baseline + g.top - 1 - r;  // glyph row 0 is the top one
      for (int c = 0; c < g.width; ++c) {
        const uint8_t v =
            g.coverage[static_cast<size_t>(r) * static_cast<size_t>(g.width) + static_cast<size_t>(c)];
        if (v) canvas.plot(pen + g.left + c, y, color, true, v / 255.0f);
      }
    }
  }
}

}  // namespace skyhost::render
