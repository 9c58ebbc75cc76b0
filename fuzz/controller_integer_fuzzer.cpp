// numbers::parseControllerInteger against a reference written digit by digit: blanks dropped, case
// ignored, "true"/"false", then sign, base prefix and digits as strtoll base 0 takes them, with the
// whole text consumed and the value inside int64.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

#include "epson/numbers.hpp"

namespace {

namespace numbers = epson::numbers;

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  return 99;
}

std::optional<std::int64_t> reference(const std::string& text) {
  std::string s;
  for (const char c : text) {
    if (isBlank(c)) continue;
    s.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  if (s == "true") return 1;
  if (s == "false") return 0;

  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  int base = 10;
  if (i + 2 < s.size() && s[i] == '0' && s[i + 1] == 'x' && digitValue(s[i + 2]) < 16) {
    base = 16;
    i += 2;
  } else if (i < s.size() && s[i] == '0') {
    base = 8;
  }
  if (i == s.size()) return std::nullopt;
  unsigned __int128 magnitude = 0;
  for (; i < s.size(); ++i) {
    const int digit = digitValue(s[i]);
    if (digit >= base) return std::nullopt;
    magnitude = magnitude * base + digit;
    if (magnitude > (static_cast<unsigned __int128>(1) << 64)) magnitude = 0 - 1;  // saturate
  }
  const unsigned __int128 limit = static_cast<unsigned __int128>(INT64_MAX) + (negative ? 1 : 0);
  if (magnitude > limit) return std::nullopt;
  if (negative) return static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(magnitude));
  return static_cast<std::int64_t>(magnitude);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::optional<std::int64_t> expected = reference(text);
  try {
    const std::int64_t value = numbers::parseControllerInteger(text);
    if (!expected || *expected != value) std::abort();
  } catch (const std::runtime_error& error) {
    if (expected) std::abort();
    // what() ends at the first NUL byte of the message.
    std::string wanted = "Failed to parse controller status value as an integer: \"" + text + "\"";
    wanted.resize(std::min(wanted.size(), wanted.find('\0')));
    if (error.what() != wanted) std::abort();
  }
  return 0;
}
