// Small helpers every unit of the core uses: text prefixes and endpoints, finite values,
// deadlines, and whole log lines.
#pragma once

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "epson/errors.hpp"
#include "epson/log_sink.hpp"

namespace epson {

inline bool startsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

/// Equal but for the case of ASCII letters, as SPEL+ compares names and keywords.
inline bool sameIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

/// "host:port", as messages name an endpoint.
inline std::string endpointText(const std::string& host, std::uint16_t port) {
  return host + ":" + std::to_string(port);
}

template <typename Values>
bool allFinite(const Values& values) {
  return std::all_of(std::begin(values), std::end(values),
                     [](double value) { return std::isfinite(value); });
}

/// Now plus `wait`, saturated instead of overflowing for waits that mean "forever".
inline std::chrono::steady_clock::time_point deadlineAfter(std::chrono::milliseconds wait) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point now = Clock::now();
  wait = std::max(wait, std::chrono::milliseconds::zero());
  if (wait >
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now)) {
    return Clock::time_point::max();
  }
  return now + wait;
}

/// One whole log line through the log sink: `stdout` lines at info level, `stderr` lines at
/// warning level (by default written to that stream, flushed, never interleaved).
void logLine(std::FILE* stream, const std::string& text);

/// Logs `message` to standard error, then throws it as `Error` (an EpsonError by default).
template <typename Error = EpsonError>
[[noreturn]] void logAndThrow(const std::string& message) {
  writeLog(LogLevel::kError, message);
  throw Error(message);
}

}  // namespace epson
