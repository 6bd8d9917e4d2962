// The HTTP request reader on any bytes, with the server's limits or small ones: whatever it
// decides on a part of a request it decides on the whole (the server reads as bytes come), it
// stays within its limits, and a request it accepts reads back the same once written out again.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "http/request.h"

using namespace skytether;

namespace {

std::string Describe(const HttpRequest &r) {
  std::string s = r.method + " " + r.target + " " + r.version + " path=" + r.path + " query=" + r.query;
  for (const auto &h : r.headers) s += " [" + h.first + "=" + h.second + "]";
  return s;
}

bool Same(const HttpRequest &a, const HttpRequest &b) {
  return Describe(a) == Describe(b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  RequestLimits limits;
  if (in.Flag()) {
    limits.max_line = 4 + in.Pick(200);
    limits.max_head = limits.max_line + in.Pick(600);
  }
  const std::size_t cut = in.Word();
  const std::string bytes = in.Rest();

  HttpRequest whole;
  std::size_t used = 0;
  const ReadStatus verdict = ReadRequest(bytes, limits, &whole, &used);
  if (verdict == ReadStatus::kDone) {
    FUZZ_CHECK(used <= bytes.size() && used <= limits.max_head, bytes);
    FUZZ_CHECK(IsKnownMethod(whole.method), bytes);
    FUZZ_CHECK(whole.version == "HTTP/1.1" || whole.version == "HTTP/1.0", bytes);
    FUZZ_CHECK(whole.target.find_first_of(" \r\n") == std::string::npos, bytes);
    for (const auto &h : whole.headers) {
      FUZZ_CHECK(!h.first.empty() && h.first.find_first_of(":\n") == std::string::npos, bytes);
      FUZZ_CHECK(h.second.find('\n') == std::string::npos, bytes);
    }
    // A body length is a plain number the server can hold, or none is read at all.
    std::size_t body = 0;
    if (BodyLength(whole, &body)) FUZZ_CHECK(body < 1000000000, bytes);
    // Written out again, it reads back the same.
    std::string text = whole.method + " " + whole.target + " " + whole.version + "\r\n";
    for (const auto &h : whole.headers) text += h.first + ": " + h.second + "\r\n";
    text += "\r\n";
    HttpRequest again;
    FUZZ_CHECK(
        ReadRequest(text, RequestLimits{1 << 20, 1 << 20}, &again) == ReadStatus::kDone && Same(again, whole),
        bytes + " -> " + text);
  }
  // A part of the bytes, as a connection may have sent so far: a verdict on it is the verdict on
  // the whole.
  if (!bytes.empty()) {
    HttpRequest part;
    std::size_t part_used = 0;
    const ReadStatus early =
        ReadRequest(std::string_view(bytes).substr(0, cut % bytes.size()), limits, &part, &part_used);
    if (early != ReadStatus::kNeedMore) {
      FUZZ_CHECK(early == verdict, bytes);
      if (early == ReadStatus::kDone) FUZZ_CHECK(part_used == used && Same(part, whole), bytes);
    }
  }
  return 0;
}
