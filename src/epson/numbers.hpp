// Numbers to and from the controller, in one place: the text sent (classic locale, "." as the
// decimal point, no grouping), the values read back from `$Execute` payloads, and the exact
// conversion of the plain decimals the controller prints, without strtod or a stream (the
// telemetry parser's hot path, hence inline).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <istream>
#include <locale>
#include <sstream>
#include <string>
#include <vector>

namespace epson::numbers {

// ---- Text sent to the controller ----

/// Fixed notation with `decimals` digits after the point: 250 with 17 is "250.00000000000000000".
std::string fixed(double value, int decimals);

/// "XY(" + the values in general notation (as printf's %.<n>g: 0.1 with 17 digits is
/// "0.10000000000000001", -0.0 is "-0"), joined by bare commas, + ")".
std::string xyPoint(const std::vector<double>& values, int significant);

/// The values in general notation joined by bare commas.
std::string joined(const std::vector<double>& values, int significant);

// ---- Values read from controller output ----

/// The one parser for a single integer or Boolean controller value: blanks anywhere are
/// dropped, case is ignored, "true"/"false" are 1/0, numbers follow strtoll base 0.
/// Throws std::runtime_error "Failed to parse controller status value as an integer: \"...\"".
std::int64_t parseControllerInteger(const std::string& text);

/// A copy of `text` with every comma replaced by a blank.
std::string commasToBlanks(std::string text);

/// Doubles read by stream extraction (classic locale) from `text` with commas taken as blanks,
/// until one extraction fails.
std::vector<double> leadingDoubles(const std::string& text);

/// `text` enclosed in double quotes, for parse-failure messages.
std::string quoted(const std::string& text);

/// A stream over `text` that reads numbers with "." as decimal point whatever the global locale.
inline std::istringstream classicInput(const std::string& text) {
  std::istringstream stream(text);
  stream.imbue(std::locale::classic());
  return stream;
}

/// True when only white space is left in a stream whose reads so far succeeded.
inline bool onlyBlanksLeft(std::istream& stream) {
  if (stream.fail()) return false;
  if (stream.eof()) return true;
  stream >> std::ws;
  return stream.eof();
}

// ---- Plain decimals ----

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

}  // namespace epson::numbers
