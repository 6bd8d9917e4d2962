// The plugin's hand-written matchers against the regular expressions that define the messages:
// for any text, the same accept or reject and the same captures.
#include <cstdint>
#include <string>

#include "fuzz_input.h"
#include "net/wire.h"
#include "reference_patterns.h"

namespace {

void CheckHeaderAndReport(const std::string &text) {
  int wantSlot = 0, gotSlot = 0;
  std::string wantLetter, wantRest;
  char gotLetter = 0;
  size_t length = 0;
  bool want = reference::MatchDatagramHeader(text, wantSlot, wantLetter, wantRest);
  bool got = MatchDatagramHeader(text, gotSlot, gotLetter, length);
  FUZZ_CHECK(got == want, text);
  if (got) {
    FUZZ_CHECK(gotSlot == wantSlot, text);
    FUZZ_CHECK(std::string(1, gotLetter) == wantLetter, text);
    FUZZ_CHECK(text.substr(length) == wantRest, text);
  }

  // The report matcher on the text after a header, or on the whole text when there is none.
  const std::string rest = got ? wantRest : text;
  std::string fields[kReportFieldCount];
  ReportFields view;
  bool wantReport = reference::MatchPositionReport(rest, fields);
  bool gotReport = MatchPositionReport(rest, view);
  FUZZ_CHECK(gotReport == wantReport, rest);
  if (gotReport) {
    for (int i = 0; i < kReportFieldCount; ++i) {
      FUZZ_CHECK(std::string(view.field[i]) == fields[i], "field " + std::to_string(i) + " of " + rest);
      // Fields are read in place: each must be followed by "|", a final line feed or the end.
      const char *end = view.field[i].data() + view.field[i].size();
      const char *stop = rest.data() + rest.size();
      FUZZ_CHECK(end == stop || *end == '|' || (*end == '\n' && end + 1 == stop), rest);
    }
  }
}

void CheckStream(const std::string &raw) {
  std::string buffer;
  AppendStreamText(buffer, raw.data(), raw.size());
  const std::string marked = reference::MarkLineBreaks(reference::WithoutNulTails(raw));
  FUZZ_CHECK(buffer == marked, raw);

  int wantNumber = 0;
  std::string wantLetter, wantBody, wantRest;
  bool want = reference::MatchStreamMessage(marked, wantNumber, wantLetter, wantBody, wantRest);
  StreamMessage got;
  size_t next = wire_detail::MatchStreamMessage(marked, 0, got);
  FUZZ_CHECK((next != std::string::npos) == want, marked);
  if (want) {
    FUZZ_CHECK(got.number == wantNumber, marked);
    FUZZ_CHECK(std::string(1, got.letter) == wantLetter, marked);
    FUZZ_CHECK(got.text == wantBody, marked);
    FUZZ_CHECK(marked.substr(next) == wantRest, marked);
  }
}

void CheckPathRules(const std::string &text) {
  const std::string separators[] = {"/", "\\", ":", "::", ""};
  for (const std::string &sep : separators) {
    std::string out = ReplaceSeparatorsWith(text, sep);
    if (!sep.empty() && sep[0] == '/') {
      FUZZ_CHECK(out == text, text);
      continue;
    }
    // Rebuild the input from the output: each of the first 50 "/" became the separator.
    std::string undone;
    size_t slashes = 0, at = 0;
    for (char c : text) slashes += c == '/';
    size_t converted = slashes < 50 ? slashes : 50;
    FUZZ_CHECK(out.size() == text.size() + converted * (sep.size() - 1) || sep.empty(), text);
    if (!sep.empty()) {
      for (size_t done = 0; done < converted; ++done) {
        size_t hit = out.find(sep, at);
        FUZZ_CHECK(hit != std::string::npos, text);
        undone += out.substr(at, hit - at) + "/";
        at = hit + sep.size();
      }
      undone += out.substr(at);
      // Only meaningful when the separator cannot be confused with the text around it.
      if (text.find(sep[0]) == std::string::npos) FUZZ_CHECK(undone == text, text);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  CheckHeaderAndReport(text);
  CheckStream(text);
  CheckPathRules(text);
  return 0;
}
