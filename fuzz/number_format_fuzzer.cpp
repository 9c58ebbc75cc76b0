// The number formatters print what printf prints in the "C" locale, whatever the global C++
// locale, and what a single value joined with 17 digits prints reads back as exactly v.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <string>
#include <vector>

#include "epson/numbers.hpp"

namespace {

namespace numbers = epson::numbers;

// A host application may install a global locale with a decimal comma and digit grouping.
struct CommaPunctuation : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

std::string printed(const char* format, int digits, double value) {
  char buffer[512];
  const int length = std::snprintf(buffer, sizeof buffer, format, digits, value);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof buffer) std::abort();
  return std::string(buffer, static_cast<std::size_t>(length));
}

bool sameBits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::locale::global(std::locale(std::locale::classic(), new CommaPunctuation));
  return 0;
}

// Input: one byte of digits (0..40), then doubles of 8 bytes each.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const int digits = data[0] % 41;
  std::vector<double> values;
  for (std::size_t at = 1; at + sizeof(double) <= size && values.size() < 8; at += sizeof(double)) {
    double value;
    std::memcpy(&value, data + at, sizeof value);
    values.push_back(value);
  }

  for (const double value : values) {
    const std::string general = numbers::joined({value}, digits);
    check(general == printed("%.*g", digits, value));
    check(numbers::fixed(value, digits) == printed("%.*f", digits, value));

    if (!std::isfinite(value)) continue;
    const std::string exact = numbers::joined({value}, 17);
    check(sameBits(std::strtod(exact.c_str(), nullptr), value));
    // With at least 17 decimals, a value of magnitude 1 or more has enough digits to read back.
    if (std::fabs(value) >= 1 && digits >= 17) {
      const std::string fixed = numbers::fixed(value, digits);
      check(sameBits(std::strtod(fixed.c_str(), nullptr), value));
    }
  }

  std::string expected;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i != 0) expected.push_back(',');
    expected += numbers::joined({values[i]}, digits);
  }
  check(numbers::joined(values, digits) == expected);
  check(numbers::xyPoint(values, digits) == "XY(" + expected + ")");
  return 0;
}
