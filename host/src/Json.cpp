#include "skyhost/Json.h"

#include <cmath>
#include <cstdio>

namespace skyhost {

void JsonWriter::separate() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!first_.empty()) {
    if (!first_.back()) out_ += ',';
    first_.back() = false;
  }
}

JsonWriter &JsonWriter::beginObject() {
  separate();
  out_ += '{';
  first_.push_back(true);
  return *this;
}

JsonWriter &JsonWriter::endObject() {
  out_ += '}';
  if (!first_.empty()) first_.pop_back();
  return *this;
}

JsonWriter &JsonWriter::beginArray() {
  separate();
  out_ += '[';
  first_.push_back(true);
  return *this;
}

JsonWriter &JsonWriter::endArray() {
  out_ += ']';
  if (!first_.empty()) first_.pop_back();
  return *this;
}

JsonWriter &JsonWriter::key(const std::string &name) {
  separate();
  out_ += quote(name);
  out_ += ':';
  afterKey_ = true;
  return *this;
}

JsonWriter &JsonWriter::value(const std::string &text) {
  separate();
  out_ += quote(text);
  return *this;
}

JsonWriter &JsonWriter::value(const char *text) {
  return text ? value(std::string(text)) : null();
}

JsonWriter &JsonWriter::value(double number) {
  if (!std::isfinite(number)) return null();
  separate();
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", number);
  out_ += buf;
  return *this;
}

JsonWriter &JsonWriter::value(int number) {
  return value(static_cast<long long>(number));
}

JsonWriter &JsonWriter::value(long long number) {
  separate();
  out_ += std::to_string(number);
  return *this;
}

JsonWriter &JsonWriter::value(bool flag) {
  separate();
  out_ += flag ? "true" : "false";
  return *this;
}

JsonWriter &JsonWriter::null() {
  separate();
  out_ += "null";
  return *this;
}

std::string JsonWriter::quote(const std::string &text) {
  std::string out = "\"";
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7f) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace skyhost
