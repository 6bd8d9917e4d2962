// The text work of one position line and one report, each way it can be done: what the plugin
// does (BuildPositionLine; MatchPositionReport and ReadFloatText), and the library and
// regular-expression ways it replaced, which stay the reference for what the texts are.
#include <benchmark/benchmark.h>
#include <pcrecpp.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/wire.h"
#include "reference_patterns.h"
#include "support/strings.h"

namespace {

OwnState State() {
  OwnState s{};
  const float single[17] = {-12345.6787f, 1523.45667f,   23456.7891f,  47.4502258f,   8.56123447f, 1523.45667f,
                            2.51234579f,  -10.2512341f,  270.512344f,  0.333333343f,  0.333333343f, 0.0125f,
                            0.5f,         0.0f,          0.0123456791f, -0.234567896f, 0.00345678907f};
  std::memcpy(s.single, single, sizeof single);
  s.latitude = 47.45022583456;
  s.longitude = 8.5612344732;
  for (int i = 0; i < 10; ++i) s.gear[i] = 0.476190478f + 0.0476190478f * float(i / 3);
  for (int i = 0; i < 5; ++i) s.lights[i] = i != 4;
  for (int i = 0; i < 8; ++i) s.throttle[i] = 0.812345684f - 0.1f * float(i / 2);
  s.seconds = 1.73361600e+09f;
  s.microseconds = 123456.0f;
  return s;
}

// ---- the position line ----

void Line_Plugin(benchmark::State &state) {
  const OwnState s = State();
  std::string line;
  for (auto _ : state) {
    BuildPositionLine(line, 123456, false, s);
    benchmark::DoNotOptimize(line.data());
  }
  state.counters["bytes"] = double(line.size());
}

template <typename Append>
void LineWith(benchmark::State &state, Append append) {
  const OwnState s = State();
  std::string line;
  for (auto _ : state) {
    line.clear();
    line += "123456|LOC";
    for (float v : s.single) append(line, v);
    for (float v : s.gear) append(line, v);
    for (int v : s.lights) {
      line += '|';
      line += char('0' + v);
    }
    for (float v : s.throttle) append(line, v);
    append(line, s.seconds);
    append(line, s.microseconds);
    benchmark::DoNotOptimize(line.data());
  }
}

void Line_Snprintf(benchmark::State &state) {
  LineWith(state, [](std::string &line, float v) {
    char b[40];
    int n = std::snprintf(b, sizeof b, "|%.9g", double(v));
    line.append(b, size_t(n));
  });
}

void Line_ToChars(benchmark::State &state) {
  LineWith(state, [](std::string &line, float v) {
    char b[40];
    b[0] = '|';
    char *e = std::to_chars(b + 1, b + sizeof b, double(v), std::chars_format::general, 9).ptr;
    line.append(b, size_t(e - b));
  });
}

// ---- one report: match the 40 fields and read them ----

std::string ReportRest() {
  std::string line;
  BuildPositionLine(line, 123456, false, State());
  return line.substr(line.find("|LOC|") + 5);
}

void Report_Plugin(benchmark::State &state) {
  const std::string rest = ReportRest();
  float values[40];
  for (auto _ : state) {
    ReportFields f;
    if (!MatchPositionReport(rest, f)) state.SkipWithError("no match");
    for (int i = 0; i < 40; ++i) values[i] = ReadFloatText(f.field[i]);
    benchmark::DoNotOptimize(values);
  }
}

void Report_SplitFromChars(benchmark::State &state) {
  const std::string rest = ReportRest();
  float values[40];
  for (auto _ : state) {
    ReportFields f;
    if (!MatchPositionReport(rest, f)) state.SkipWithError("no match");
    for (int i = 0; i < 40; ++i) std::from_chars(f.field[i].data(), f.field[i].data() + f.field[i].size(), values[i]);
    benchmark::DoNotOptimize(values);
  }
}

void Report_SplitStrtof(benchmark::State &state) {
  const std::string rest = ReportRest();
  float values[40];
  for (auto _ : state) {
    ReportFields f;
    if (!MatchPositionReport(rest, f)) state.SkipWithError("no match");
    for (int i = 0; i < 40; ++i) values[i] = std::strtof(f.field[i].data(), nullptr);
    benchmark::DoNotOptimize(values);
  }
}

void Report_Patterns(benchmark::State &state) {
  const std::string rest = ReportRest();
  std::string fields[40];
  float values[40];
  for (auto _ : state) {
    if (!reference::MatchPositionReport(rest, fields)) state.SkipWithError("no match");
    for (int i = 0; i < 40; ++i) values[i] = std::strtof(fields[i].c_str(), nullptr);
    benchmark::DoNotOptimize(values);
  }
}

// The same patterns with a field written as ([^|\n]*)\| instead of (.*?)\|.
void Report_PatternsCharClass(benchmark::State &state) {
  static const pcrecpp::RE position("([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|");
  static const pcrecpp::RE surfaces("([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|");
  static const pcrecpp::RE gear("([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|");
  static const pcrecpp::RE lights("(\\d)\\|(\\d)\\|(\\d)\\|(\\d)\\|(\\d)\\|");
  static const pcrecpp::RE throttles("([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)\\|([^|\\n]*)(?:\\||$)");
  const std::string rest = ReportRest();
  std::string f[40];
  float values[40];
  for (auto _ : state) {
    pcrecpp::StringPiece input(rest);
    bool ok = position.Consume(&input, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &f[7], &f[8]) &&
              surfaces.Consume(&input, &f[9], &f[10], &f[11], &f[12], &f[13], &f[14], &f[15], &f[16]) &&
              gear.Consume(&input, &f[17], &f[18], &f[19], &f[20], &f[21], &f[22], &f[23], &f[24], &f[25], &f[26]) &&
              lights.Consume(&input, &f[27], &f[28], &f[29], &f[30], &f[31]) &&
              throttles.Consume(&input, &f[32], &f[33], &f[34], &f[35], &f[36], &f[37], &f[38], &f[39]);
    if (!ok) state.SkipWithError("no match");
    for (int i = 0; i < 40; ++i) values[i] = std::strtof(f[i].c_str(), nullptr);
    benchmark::DoNotOptimize(values);
  }
}

}  // namespace

BENCHMARK(Line_Plugin);
BENCHMARK(Line_ToChars);
BENCHMARK(Line_Snprintf);
BENCHMARK(Report_Plugin);
BENCHMARK(Report_SplitFromChars);
BENCHMARK(Report_SplitStrtof);
BENCHMARK(Report_PatternsCharClass);
BENCHMARK(Report_Patterns);

BENCHMARK_MAIN();
