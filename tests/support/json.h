#pragma once
// A small JSON reader: the hosts' dumps, the server's feed.
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace harness {

struct Json {
  enum Type { Null, Bool, Number, String, Array, Object } type = Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Json> items;
  std::map<std::string, Json> fields;

  const Json &operator[](const std::string &key) const;  // Null when absent
  const Json &operator[](size_t index) const;             // Null when out of range
  bool has(const std::string &key) const { return fields.count(key) != 0; }
  size_t size() const { return type == Array ? items.size() : fields.size(); }
};

// Parses text; a malformed text gives false and leaves out unspecified.
bool ParseJson(const std::string &text, Json &out);
// Parses text as a strict reader does (a browser's, say): also false for bytes that are not
// UTF-8, control bytes inside a string, and escapes JSON does not have.
bool ParseStrictJson(const std::string &text, Json &out);
bool ParseJsonFile(const std::string &path, Json &out);

}  // namespace harness
