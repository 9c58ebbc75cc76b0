// Exact conversion of the plain decimals a controller prints, without strtod or a stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace epson::number {

/// The blanks strtod and stream extraction skip in the classic locale.
inline bool isBlank(char c) {
  // All six lie at or below ' ': one comparison settles the ordinary characters.
  return c <= ' ' && (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r');
}

/// The value of the digit at p; above 9 for any other character.
inline unsigned digitAt(const char* p) {
  return static_cast<unsigned>(static_cast<unsigned char>(*p)) - unsigned{'0'};
}

inline constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
inline constexpr std::uint64_t kLargestExactInteger = std::uint64_t{1} << 53;

/// Reads the plain decimals a controller prints ([blanks][sign]digits[.digits], no exponent)
/// when the digit string taken as an integer is at most 2^53 and there are at most 22 decimals:
/// both are then exact doubles, and one correctly rounded division gives exactly what strtod
/// gives. Returns where the number ends, or nullptr for every other form, which goes to strtod.
/// kTerminated: the text goes on past `end` with a character that ends every scan here (';' for
/// one), so the scans need not compare with `end` on each character.
template <bool kTerminated>
inline const char* convertDecimal(const char* p, const char* const end, double& result) {
  const auto more = [end](const char* at) { return kTerminated || at != end; };
  while (more(p) && isBlank(*p)) ++p;
  // Signs come in no order a branch predictor could learn: they are taken without branches.
  bool negative = false;
  if (more(p)) {
    const char sign = *p;
    negative = sign == '-';
    p += static_cast<int>(negative | (sign == '+'));
  }
  const char* const first = p;
  std::uint64_t digits = 0;
  for (unsigned digit; more(p) && (digit = digitAt(p)) <= 9; ++p) digits = digits * 10 + digit;
  const auto wholeDigits = p - first;
  std::ptrdiff_t decimals = 0;
  if (more(p) && *p == '.') {
    const char* const firstDecimal = ++p;
    for (unsigned digit; more(p) && (digit = digitAt(p)) <= 9; ++p) digits = digits * 10 + digit;
    decimals = p - firstDecimal;
  }
  const auto length = wholeDigits + decimals;
  if (length == 0) return nullptr;
  // An exponent or a hexadecimal form would go on where this stops.
  if (more(p) && (*p == 'e' || *p == 'E' || *p == 'x' || *p == 'X')) return nullptr;
  // Up to 19 digits the integer cannot have wrapped around; the decimals (22 at most for an
  // exact power of ten) are among them.
  if (length > 19 || digits > kLargestExactInteger) return nullptr;
  // The sign goes on before the division, which then rounds as strtod rounds the signed text. It
  // goes on as a bit: a branch on it would mispredict as often as the one above would have.
  const double magnitude = static_cast<double>(digits);
  std::uint64_t bits;
  std::memcpy(&bits, &magnitude, sizeof bits);
  bits |= std::uint64_t{negative} << 63;
  double value;
  std::memcpy(&value, &bits, sizeof value);
  if (decimals != 0) value /= kPowersOfTen[decimals];
  result = value;
  return p;
}

/// convertDecimal() of text that ends at `end`.
inline const char* convertPlainDecimal(const char* p, const char* const end, double& result) {
  return convertDecimal<false>(p, end, result);
}

}  // namespace epson::number
