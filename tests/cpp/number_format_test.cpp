#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <locale>
#include <string>

#include "epson/numbers.hpp"

namespace {

namespace numbers = epson::numbers;

TEST(NumberFormat, GeneralNotationWith17SignificantDigits) {
  EXPECT_EQ(numbers::joined({0.1}, 17), "0.10000000000000001");
  EXPECT_EQ(numbers::joined({100}, 17), "100");
  EXPECT_EQ(numbers::joined({-0.0}, 17), "-0");
  EXPECT_EQ(numbers::joined({-300}, 17), "-300");
  EXPECT_EQ(numbers::joined({1e-20}, 17), "9.9999999999999995e-21");
  EXPECT_EQ(numbers::joined({1e17}, 17), "1e+17");
  EXPECT_EQ(numbers::joined({0.1}, 15), "0.1");
}

TEST(NumberFormat, FixedNotationWith17Decimals) {
  EXPECT_EQ(numbers::fixed(250, 17), "250.00000000000000000");
  EXPECT_EQ(numbers::fixed(0.5, 17), "0.50000000000000000");
  EXPECT_EQ(numbers::fixed(1e-20, 17), "0.00000000000000000");
}

TEST(NumberFormat, PointTextJoinsWithBareCommas) {
  EXPECT_EQ(numbers::xyPoint({0, 0, 100, 0, 0, 0}, 15), "XY(0,0,100,0,0,0)");
  EXPECT_EQ(numbers::xyPoint({400, 0, 300, 0, 90, 0}, 17), "XY(400,0,300,0,90,0)");
}

TEST(NumberFormat, IgnoresTheGlobalLocale) {
  // A host application may install a global locale with a decimal comma and digit grouping.
  struct GermanPunctuation : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
  };
  const std::locale previous =
      std::locale::global(std::locale(std::locale::classic(), new GermanPunctuation));
  EXPECT_EQ(numbers::joined({12345.5}, 17), "12345.5");
  EXPECT_EQ(numbers::fixed(1234.5, 2), "1234.50");
  std::locale::global(previous);
}

TEST(NumberFormat, GeneralTextParsesBackExactly) {
  for (const double value :
       {0.1, 1.0 / 3.0, -123.456789e-7, 6.02214076e23, std::numeric_limits<double>::denorm_min()}) {
    EXPECT_EQ(std::strtod(numbers::joined({value}, 17).c_str(), nullptr), value);
  }
}

}  // namespace
