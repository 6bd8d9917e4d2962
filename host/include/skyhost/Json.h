#pragma once
// A small JSON writer for the host's dumps. Strings are 8-bit texts: bytes outside printable
// ASCII are written as \u00XX escapes, so the output is valid JSON whatever the plugin drew.

#include <cstdint>
#include <string>
#include <vector>

namespace skyhost {

class JsonWriter {
 public:
  JsonWriter &beginObject();
  JsonWriter &endObject();
  JsonWriter &beginArray();
  JsonWriter &endArray();
  JsonWriter &key(const std::string &name);
  JsonWriter &value(const std::string &text);
  JsonWriter &value(const char *text);  // null pointer: JSON null
  JsonWriter &value(double number);     // NaN and infinities: JSON null
  JsonWriter &value(int number);
  JsonWriter &value(long long number);
  JsonWriter &value(bool flag);
  JsonWriter &null();
  const std::string &str() const { return out_; }

  static std::string quote(const std::string &text);

 private:
  void separate();
  std::string out_;
  std::vector<bool> first_;  // per open container: nothing written in it yet
  bool afterKey_ = false;
};

}  // namespace skyhost
