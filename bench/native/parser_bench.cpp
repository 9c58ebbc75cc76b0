// Telemetry line parsing on one core, against a baseline that only finds the line ends in the
// same buffer. Three streams: one-line samples, samples split over three lines (the first
// carrying X), and status lines. Values vary from line to line like a moving robot's and carry
// the decimals a controller prints; J1agl is a microsecond time stamp, as in the latency test.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>

#include "epson/telemetry_parser.hpp"

namespace {

enum class Stream { kOneLine, kSplit, kStatus };

constexpr int kCycles = 1024;

std::string makeStream(Stream kind) {
  std::mt19937_64 random(42);
  std::uniform_real_distribution<double> mm(-800.0, 800.0);
  std::uniform_real_distribution<double> deg(-180.0, 180.0);
  std::string text;
  char line[512];
  double stamp = 5234567890.125;
  for (int i = 0; i < kCycles; ++i) {
    stamp += 1000.0 + deg(random) / 100.0;
    if (kind == Stream::kStatus) {
      std::snprintf(line, sizeof line, "STAT=%d;SYSERR=0;CTRLDEV=21;ROBOTINFO=%d;CTRLINFO=%d\r",
                    (i % 3 == 0) ? 524288 : 0, i % 4, (i % 5 == 0) ? 256 : 0);
      text += line;
      continue;
    }
    const char* separator = kind == Stream::kSplit ? "\r" : ";";
    std::snprintf(line, sizeof line,
                  "X=%.3f;Y=%.3f;Z=%.3f;U=%.3f%sV=%.3f;W=%.3f;J1agl=%.3f;J2agl=%.3f%s"
                  "J3agl=%.3f;J4agl=%.3f;J5agl=%.3f;J6agl=%.3f\r",
                  mm(random), mm(random), mm(random), deg(random), separator, deg(random),
                  deg(random), stamp, deg(random), separator, deg(random), deg(random), deg(random),
                  deg(random));
    text += line;
  }
  return text;
}

const std::string& streamOf(Stream kind) {
  static const std::string streams[] = {makeStream(Stream::kOneLine), makeStream(Stream::kSplit),
                                        makeStream(Stream::kStatus)};
  return streams[static_cast<int>(kind)];
}

/// The baseline: the reader's framing alone, finding every CR of the buffer.
void findLineEnds(benchmark::State& state, Stream kind) {
  const std::string_view text = streamOf(kind);
  std::int64_t lines = 0;
  for (auto _ : state) {
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\r', start)) != std::string_view::npos;
         start = end + 1) {
      benchmark::DoNotOptimize(end);
      ++lines;
    }
  }
  state.SetItemsProcessed(lines);
}

/// The same line ends found byte by byte, as a framer without a vectorised search finds them.
void scanLineEnds(benchmark::State& state, Stream kind) {
  const std::string_view text = streamOf(kind);
  std::int64_t lines = 0;
  for (auto _ : state) {
    const char* start = text.data();
    const char* const end = text.data() + text.size();
    for (const char* found; (found = std::find(start, end, '\r')) != end; start = found + 1) {
      benchmark::DoNotOptimize(found);
      ++lines;
    }
  }
  state.SetItemsProcessed(lines);
}

/// The same framing, and every line through the parser with the pending fields it carries.
void parseLines(benchmark::State& state, Stream kind) {
  const std::string_view text = streamOf(kind);
  epson::telemetry::PendingFields pending;
  std::int64_t lines = 0;
  std::int64_t published = 0;
  for (auto _ : state) {
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\r', start)) != std::string_view::npos;
         start = end + 1) {
      const epson::telemetry::LineResult result =
          epson::telemetry::parseLine(text.substr(start, end - start), pending);
      published += result.kind != epson::telemetry::LineResult::Kind::kNothing;
      benchmark::DoNotOptimize(result);
      ++lines;
    }
  }
  if (published * (kind == Stream::kSplit ? 3 : 1) != lines) state.SkipWithError("lost lines");
  state.SetItemsProcessed(lines);
}

BENCHMARK_CAPTURE(findLineEnds, one_line_sample, Stream::kOneLine);
BENCHMARK_CAPTURE(scanLineEnds, one_line_sample, Stream::kOneLine);
BENCHMARK_CAPTURE(parseLines, one_line_sample, Stream::kOneLine);
BENCHMARK_CAPTURE(findLineEnds, split_sample, Stream::kSplit);
BENCHMARK_CAPTURE(scanLineEnds, split_sample, Stream::kSplit);
BENCHMARK_CAPTURE(parseLines, split_sample, Stream::kSplit);
BENCHMARK_CAPTURE(findLineEnds, status_line, Stream::kStatus);
BENCHMARK_CAPTURE(scanLineEnds, status_line, Stream::kStatus);
BENCHMARK_CAPTURE(parseLines, status_line, Stream::kStatus);

}  // namespace

BENCHMARK_MAIN();
