#pragma once
// The head of an HTTP/1.x request, read within hard limits. Pure: the bytes a connection sent so
// far come in; a request, a refusal, or a wish for more bytes comes out. The socket side feeds it
// from its buffer, the fuzz target and the tests from theirs.
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace skytether {

struct HttpRequest {
  std::string method;   // as sent: methods are case-sensitive
  std::string target;   // as sent
  std::string path;     // the target up to its '?', percent-escapes decoded
  std::string query;    // after the '?', as sent
  std::string version;  // "HTTP/1.0" or "HTTP/1.1"
  std::vector<std::pair<std::string, std::string>> headers;  // in order; values without their blanks
  std::string body;  // as sent (Content-Length bytes after the head); filled by the server

  // The value of the first header of that name (any case); empty when there is none.
  std::string_view Header(std::string_view name) const;
};

enum class ReadStatus {
  kNeedMore,    // no end of the head yet, and no limit passed: read on
  kDone,        // *out holds the request
  kBad,         // malformed, a header line over the line limit, or a head over the byte limit (400)
  kUriTooLong,  // a request line over the line limit (414)
};

struct RequestLimits {
  std::size_t max_head = 16 * 1024;  // bytes of the head, its blank line included
  std::size_t max_line = 8192;       // bytes of one line, its CR LF included
};

// Reads the request head at the start of bytes. Lines end in CR LF (a bare LF is malformed);
// header lines without a ':' are skipped. On kDone, *used is the head's length (a body, if any,
// follows it).
ReadStatus ReadRequest(std::string_view bytes, const RequestLimits &limits, HttpRequest *out,
                       std::size_t *used = nullptr);

// The length of the body that follows a request's head: its Content-Length (0 without one).
// False for a request whose body cannot be read so: a Transfer-Encoding, a Content-Length that
// is not a plain number, or two of them.
bool BodyLength(const HttpRequest &request, std::size_t *length);

// True for the methods of HTTP/1.1; a request with any other is malformed.
bool IsKnownMethod(std::string_view method);

}  // namespace skytether
