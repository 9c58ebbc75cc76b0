// Exact conversion of the plain decimals a controller prints, without strtod or a stream.
#pragma once

#include <cstdint>

namespace epson::number {

/// The blanks strtod and stream extraction skip in the classic locale.
inline bool isBlank(char c) {
  // All six lie at or below ' ': one comparison settles the ordinary characters.
  return c <= ' ' && (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r');
}

inline bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

inline constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
inline constexpr std::uint64_t kLargestExactInteger = std::uint64_t{1} << 53;

/// Reads the plain decimals a controller prints ([blanks][sign]digits[.digits], no exponent)
/// when the digit string taken as an integer is at most 2^53 and there are at most 22 decimals:
/// both are then exact doubles, and one correctly rounded division gives exactly what strtod
/// gives. Returns where the number ends, or nullptr for every other form, which goes to strtod.
inline const char* convertPlainDecimal(const char* p, const char* const end, double& result) {
  while (p != end && isBlank(*p)) ++p;
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  const char* const first = p;
  std::uint64_t digits = 0;
  for (; p != end && isDigit(*p); ++p) digits = digits * 10 + static_cast<unsigned>(*p - '0');
  const auto wholeDigits = p - first;
  int decimals = 0;
  if (p != end && *p == '.') {
    for (++p; p != end && isDigit(*p); ++p) {
      digits = digits * 10 + static_cast<unsigned>(*p - '0');
      ++decimals;
    }
  }
  const auto length = wholeDigits + decimals;
  if (length == 0) return nullptr;
  // An exponent or a hexadecimal form would go on where this stops.
  if (p != end && (*p == 'e' || *p == 'E' || *p == 'x' || *p == 'X')) return nullptr;
  // Up to 19 digits the integer cannot have wrapped around.
  if (length > 19 || digits > kLargestExactInteger || decimals > 22) return nullptr;
  // The sign goes on before the division, which then rounds as strtod rounds the signed text.
  const double whole = negative ? -static_cast<double>(digits) : static_cast<double>(digits);
  result = decimals == 0 ? whole : whole / kPowersOfTen[decimals];
  return p;
}

}  // namespace epson::number
