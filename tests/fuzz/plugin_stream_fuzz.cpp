// The stream side of the packet cycle: bytes from the server arrive in arbitrary reads, each read
// is followed by a whole run of SkytetherPacketProcess, and in the end the plugin's callsigns,
// model names and chat history are those the reference patterns give for the same bytes.
//
// Input: one byte k, then k % 32 two-byte read sizes (1..1400 each), then the stream bytes. The
// bytes are cut into reads of those sizes; what is left after the last size goes in reads of 1400.
// (k = 255 is the exception below.)
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "net/net.h"
#include "net/wire.h"
#include "plugin/SkytetherSE.h"
#include "plugin_in_host.h"
#include "reference_patterns.h"

namespace {

constexpr size_t kReadSize = 1400;
// Below the stream buffer's cap even if every other byte is a line break (each becomes four).
constexpr size_t kMaxStream = 20000;

int writeEnd = -1;

struct Picture {
  std::string callsigns[kSlotCount];
  std::string planes[kSlotCount];
  std::string chat[kChatLines];
  int hold = 0;
};

Picture Initial() {
  Picture p;
  for (int n = 0; n < kSlotCount; ++n) p.planes[n] = "Plane " + std::to_string(n);
  return p;
}

// A callsign is held to 31 bytes; the cut lets go of at most three bytes more so as not to end
// inside a character (a byte 10xxxxxx is never a character's first).
std::string HeldCallsign(const std::string &text) {
  if (text.size() <= 31) return text;
  for (size_t end = 31; end >= 28; --end)
    if ((static_cast<unsigned char>(text[end]) & 0xC0) != 0x80) return text.substr(0, end);
  return text.substr(0, 31);
}

// The dispatch rules, applied to what the reference patterns take from the whole stream.
void Apply(Picture &p, int n, const std::string &letter, const std::string &text) {
  bool slot = n >= 0 && n < kSlotCount;
  if (letter == "c" && slot) {
    p.callsigns[n] = text == "BLANK" ? "" : HeldCallsign(text);
  } else if (letter == "m") {
    for (int i = 0; i + 1 < kChatLines; ++i) p.chat[i] = p.chat[i + 1];
    p.chat[kChatLines - 1] = text;
    p.hold = 9;
  } else if (letter == "p" && slot) {
    p.planes[n] = text == "BLANK" ? "" : reference::ModelDisplayName(text);
  }
}

// Returns what stays in the buffer: the text after the last line marker. No message begins with
// "=", so a run of them at the head of the text goes first.
std::string Expect(Picture &p, const std::string &stream) {
  std::string marked = reference::MarkLineBreaks(stream);
  for (;;) {
    marked.erase(0, std::min(marked.find_first_not_of('='), marked.size()));
    int number = 0;
    std::string letter, body, rest;
    if (reference::MatchStreamMessage(marked, number, letter, body, rest)) {
      Apply(p, number, letter, body);
      marked = rest;
      continue;
    }
    size_t marker = marked.find("====");
    if (marker == std::string::npos) return marked;
    marked.erase(0, marker + 4);
  }
}

size_t Waiting(int fd) {
  int n = 0;
  ioctl(fd, FIONREAD, &n);
  return size_t(n);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::PluginHost();
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0)
    fuzz::Fail(__FILE__, __LINE__, "socketpair");
  tsockfd = fds[0];
  writeEnd = fds[1];
  sockfd = 0;  // no datagram socket: this target is the stream side alone
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  // A first byte of 255: the bytes are repeated past the buffer's cap and sent as one burst, as
  // much as the socket takes between packet cycles. Then only the cap and the reads are checked,
  // since what a cut keeps depends on where reads end.
  const uint8_t head = in.Byte();
  const bool flood = head == 0xff;
  std::vector<size_t> reads(flood ? 0 : head % 32);
  for (size_t &r : reads) r = 1 + in.Word() % kReadSize;
  std::string stream = in.Bytes(kMaxStream);
  while (flood && !stream.empty() && stream.size() < kStreamBufferCap + 8 * kReadSize) stream += stream;
  for (size_t left = stream.size(), i = 0; i < reads.size(); ++i) {
    reads[i] = reads[i] < left ? reads[i] : left;
    left -= reads[i];
  }

  fuzz::ResetReceivedState();
  const size_t modelsBefore = fuzz::PluginHost().setAircraftModelLog().size();
  auto checkBuffer = [] {
    FUZZ_CHECK(tcpBuffer.size() <= kStreamBufferCap, std::to_string(tcpBuffer.size()));
    FUZZ_CHECK(tcpBuffer.find_first_of(std::string("\r\n\0", 3)) == std::string::npos, tcpBuffer);
    // Every line whose marker arrived was taken, and the search resumes within what is left.
    FUZZ_CHECK(tcpBuffer.find("====") == std::string::npos && tcpBuffer.rfind('=', 0) != 0, tcpBuffer);
    FUZZ_CHECK(tcpSearched <= tcpBuffer.size(), std::to_string(tcpSearched));
  };
  if (flood) {
    for (size_t sent = 0; sent < stream.size() || Waiting(tsockfd) > 0;) {
      ssize_t n = write(writeEnd, stream.data() + sent, stream.size() - sent);
      if (n > 0) sent += size_t(n);
      SkytetherPacketProcess(0.03f, 0.03f, 1, nullptr);
      checkBuffer();
    }
    return 0;
  }

  std::string delivered;  // what the plugin keeps of each read
  size_t at = 0, next = 0;
  while (at < stream.size()) {
    size_t n = next < reads.size() ? reads[next++] : std::min(kReadSize, stream.size() - at);
    if (n == 0) continue;
    const std::string piece = stream.substr(at, n);
    at += n;
    FUZZ_CHECK(write(writeEnd, piece.data(), piece.size()) == ssize_t(piece.size()), "write");
    SkytetherPacketProcess(0.03f, 0.03f, 1, nullptr);
    FUZZ_CHECK(Waiting(tsockfd) == 0, "one run reads a whole read's worth");
    FUZZ_CHECK(tsockfd != 0, "the stream stays open");
    delivered += reference::WithoutNulTails(piece);
    checkBuffer();
  }

  Picture want = Initial();
  const std::string rest = Expect(want, delivered);
  FUZZ_CHECK(tcpBuffer == rest, "left in the buffer: " + tcpBuffer + " instead of " + rest);
  for (int n = 0; n < kSlotCount; ++n) {
    FUZZ_CHECK(Callsigns[n] == want.callsigns[n], "callsign " + std::to_string(n) + ": " + Callsigns[n]);
    FUZZ_CHECK(Planes[n] == want.planes[n], "model name " + std::to_string(n) + ": " + Planes[n]);
  }
  for (int i = 0; i < kChatLines; ++i)
    FUZZ_CHECK(imRead[i] == want.chat[i], "chat line " + std::to_string(i));
  FUZZ_CHECK(newTextRcvd == want.hold, std::to_string(newTextRcvd));
  const auto &models = fuzz::PluginHost().setAircraftModelLog();
  for (size_t i = modelsBefore; i < models.size(); ++i)
    FUZZ_CHECK(models[i].first >= 0 && models[i].first < kSlotCount, std::to_string(models[i].first));
  return 0;
}
