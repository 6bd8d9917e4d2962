#include "json.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace harness {

namespace {

const Json kNull;

struct Reader {
  const std::string &s;
  size_t at = 0;

  void Skip() {
    while (at < s.size() && (s[at] == ' ' || s[at] == '\n' || s[at] == '\r' || s[at] == '\t')) ++at;
  }
  bool Literal(const char *word) {
    size_t n = std::char_traits<char>::length(word);
    if (s.compare(at, n, word) != 0) return false;
    at += n;
    return true;
  }
  static void PutUtf8(std::string &out, unsigned cp) {
    if (cp < 0x80) {
      out += char(cp);
    } else if (cp < 0x800) {
      out += char(0xC0 | (cp >> 6));
      out += char(0x80 | (cp & 0x3F));
    } else {
      out += char(0xE0 | (cp >> 12));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    }
  }
  bool Str(std::string &out) {
    if (at >= s.size() || s[at] != '"') return false;
    ++at;
    while (at < s.size() && s[at] != '"') {
      char c = s[at++];
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at >= s.size()) return false;
      char e = s[at++];
      switch (e) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
          if (at + 4 > s.size()) return false;
          unsigned cp = unsigned(std::strtoul(s.substr(at, 4).c_str(), nullptr, 16));
          at += 4;
          // Escaped bytes of 8-bit text come through as code points below 256.
          if (cp < 0x100) out += char(cp); else PutUtf8(out, cp);
          break;
        }
        default: out += e;
      }
    }
    if (at >= s.size()) return false;
    ++at;
    return true;
  }
  bool Value(Json &v) {
    Skip();
    if (at >= s.size()) return false;
    char c = s[at];
    if (c == '{') {
      v.type = Json::Object;
      ++at;
      Skip();
      if (at < s.size() && s[at] == '}') return ++at, true;
      for (;;) {
        Skip();
        std::string key;
        if (!Str(key)) return false;
        Skip();
        if (at >= s.size() || s[at++] != ':') return false;
        if (!Value(v.fields[key])) return false;
        Skip();
        if (at < s.size() && s[at] == ',') { ++at; continue; }
        if (at < s.size() && s[at] == '}') return ++at, true;
        return false;
      }
    }
    if (c == '[') {
      v.type = Json::Array;
      ++at;
      Skip();
      if (at < s.size() && s[at] == ']') return ++at, true;
      for (;;) {
        v.items.emplace_back();
        if (!Value(v.items.back())) return false;
        Skip();
        if (at < s.size() && s[at] == ',') { ++at; continue; }
        if (at < s.size() && s[at] == ']') return ++at, true;
        return false;
      }
    }
    if (c == '"') {
      v.type = Json::String;
      return Str(v.text);
    }
    if (Literal("true")) { v.type = Json::Bool; v.boolean = true; return true; }
    if (Literal("false")) { v.type = Json::Bool; return true; }
    if (Literal("null")) { v.type = Json::Null; return true; }
    char *end = nullptr;
    v.number = std::strtod(s.c_str() + at, &end);
    if (end == s.c_str() + at) return false;
    v.type = Json::Number;
    at = size_t(end - s.c_str());
    return true;
  }
};

}  // namespace

const Json &Json::operator[](const std::string &key) const {
  auto it = fields.find(key);
  return it == fields.end() ? kNull : it->second;
}

const Json &Json::operator[](size_t index) const { return index < items.size() ? items[index] : kNull; }

bool ParseJson(const std::string &text, Json &out) {
  Reader r{text};
  out = Json();
  if (!r.Value(out)) return false;
  r.Skip();
  return r.at == text.size();
}

bool ParseStrictJson(const std::string &text, Json &out) {
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {  // a whole UTF-8 sequence, shortest form, no surrogates
      const size_t n = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : 2;
      if (c < 0xc2 || c > 0xf4 || i + n > text.size()) return false;
      unsigned cp = c & (0x3f >> (n - 1));
      for (size_t k = 1; k < n; ++k) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) return false;
        cp = cp << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3f);
      }
      if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || (cp >= 0xd800 && cp <= 0xdfff) ||
          cp > 0x10ffff)
        return false;
      i += n - 1;
    } else if (in_string && c < 0x20) {
      return false;
    } else if (c == '"') {
      in_string = !in_string;
    } else if (in_string && c == '\\') {
      if (++i >= text.size()) return false;
      const char e = text[i];
      if (e == 'u') {
        for (size_t k = 1; k <= 4; ++k) {
          if (i + k >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + k]))) return false;
        }
        i += 4;
      } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos) {
        return false;
      }
    }
  }
  return ParseJson(text, out);
}

bool ParseJsonFile(const std::string &path, Json &out) {
  std::ifstream in(path);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  return ParseJson(s.str(), out);
}

}  // namespace harness
