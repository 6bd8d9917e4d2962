// The server's codec on any bytes: a position it accepts is one every plugin reads whole and with
// finite values once relayed; every line it splits off parses into views of that line; every
// text it would send on is one the plugin reads as exactly one message.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

#include "core/codec.h"
#include "fuzz_input.h"
#include "net/wire.h"

using namespace skytether;

namespace {

bool Inside(std::string_view part, std::string_view whole) {
  return part.empty() ||
         (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

// The plugin's stream reader on one notice line: exactly one message, nothing left over.
StreamMessage ReadAsPlugin(const std::string &notice) {
  std::string buffer;
  AppendStreamText(buffer, notice.data(), notice.size());
  int count = 0;
  StreamMessage got{};
  TakeStreamMessages(buffer, [&](const StreamMessage &m) {
    got = m;
    ++count;
  });
  FUZZ_CHECK(count == 1 && buffer.empty(), notice);
  return got;
}

void CheckPosition(std::string_view d) {
  Position pos;
  if (!ParsePosition(d, &pos)) return;
  FUZZ_CHECK(d.size() <= kMaxDatagram && Inside(pos.values, d), std::string(d));
  FUZZ_CHECK(pos.latitude >= -90 && pos.latitude <= 90 && pos.longitude >= -180 && pos.longitude <= 180,
             std::string(d));
  // The numbers read as the values are checked are those a full reading of their texts gives.
  for (int i = 0; i < 6; ++i) {
    double v = 0;
    if (!ReadDecimal(pos.motion[i], &v)) v = 0;  // too small for a double
    FUZZ_CHECK(std::memcmp(&v, &pos.motion_values[i], sizeof v) == 0, "value " + std::to_string(i) + " of " + std::string(d));
  }
  double micros = 0;
  if (!ReadDecimal(pos.micros, &micros)) micros = -1;
  FUZZ_CHECK(micros == pos.micros_value, std::string(d));
  for (int slot : {1, 19}) {
    const std::string relayed = std::string(ReportHeader(slot)) + std::string(pos.values);
    FUZZ_CHECK(relayed.size() <= kMaxDatagram, relayed);
    int n = 0;
    char letter = 0;
    size_t header = 0;
    FUZZ_CHECK(MatchDatagramHeader(relayed, n, letter, header) && n == slot && letter == 'l', relayed);
    ReportFields f;
    FUZZ_CHECK(MatchPositionReport(std::string_view(relayed).substr(header), f), relayed);
    for (int i = 0; i < kReportFieldCount; ++i) {
      if (i >= 27 && i < 32) continue;  // light digits
      // The plugin reads every other field with strtof: what we relay must stay a number.
      float v = std::strtof(std::string(f.field[i]).c_str(), nullptr);
      FUZZ_CHECK(std::isfinite(v), "field " + std::to_string(i) + " of " + relayed);
    }
  }
}

void CheckText(std::string_view raw) {
  const std::string callsign = SanitizeText(raw, kMaxCallsign);
  FUZZ_CHECK(callsign.size() <= kMaxCallsign && callsign.find("====") == std::string::npos, callsign);
  for (unsigned char c : callsign) FUZZ_CHECK(c >= 0x20 && c != 0x7f, callsign);
  StreamMessage m = ReadAsPlugin(CallsignNotice(7, callsign));
  FUZZ_CHECK(m.number == 7 && m.letter == 'c' && m.text == (callsign.empty() ? "BLANK" : callsign), callsign);

  const std::string chat = SanitizeText(raw, kMaxChat);
  m = ReadAsPlugin(ChatNotice("Falcon: " + chat));
  FUZZ_CHECK(m.number == 0 && m.letter == 'm' && m.text == "Falcon: " + chat, chat);

  const std::string path = RelativeModelPath(raw);
  if (!path.empty()) {
    FUZZ_CHECK(path.size() > 4 && path.size() <= kMaxPath, path);
    FUZZ_CHECK(path.find('\\') == std::string::npos && path.find("====") == std::string::npos, path);
    const std::string suffix = path.substr(path.size() - 4);
    FUZZ_CHECK(suffix == ".acf" || suffix == ".ACF" ||
                   (suffix[0] == '.' && (suffix[1] | 0x20) == 'a' && (suffix[2] | 0x20) == 'c' &&
                    (suffix[3] | 0x20) == 'f'),
               path);
    FUZZ_CHECK(("/" + path + "/").find("/../") == std::string::npos, path);
    // Relative on the receiver: no root, share or drive of its own.
    FUZZ_CHECK(path[0] != '/' && !(std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':'),
               path);
    m = ReadAsPlugin(ModelNotice(3, path));
    FUZZ_CHECK(m.number == 3 && m.letter == 'p' && m.text == path, path);
  }
}

void CheckLines(std::string_view bytes) {
  while (!bytes.empty()) {
    std::string_view line;
    size_t used = 0;
    SplitResult r = SplitLine(bytes, &line, &used);
    if (r == SplitResult::kNeedMore) {
      FUZZ_CHECK(bytes.size() < kMaxLine && bytes.find('\n') == std::string_view::npos, "need more");
      return;
    }
    if (r == SplitResult::kBad) {
      FUZZ_CHECK(bytes.size() >= kMaxLine, "a bad line is a long one");
      return;
    }
    FUZZ_CHECK(used > 0 && used <= kMaxLine && used <= bytes.size() && bytes[used - 1] == '\n', "split");
    FUZZ_CHECK(line.find('\n') == std::string_view::npos && (line.empty() || line.back() != '\r'), "split");
    ClientLine m = ParseClientLine(line);
    if (m.kind != LineKind::kMalformed) FUZZ_CHECK(m.id >= 0, std::string(line));
    FUZZ_CHECK(Inside(m.user, line) && Inside(m.token, line) && Inside(m.text, line), std::string(line));
    if (m.kind == LineKind::kLogin) FUZZ_CHECK(m.token.size() == 32, std::string(line));
    CheckText(m.text);
    bytes.remove_prefix(used);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char *>(data), size);
  CheckPosition(bytes);
  CheckLines(bytes);
  CheckText(bytes);
  int id = 0;
  if (ParseId(bytes, &id))
    FUZZ_CHECK(id >= 0 && std::to_string(id).size() <= bytes.size(), std::string(bytes));
  return 0;
}
