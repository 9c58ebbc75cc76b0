#include <gtest/gtest.h>

#include <cstring>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "epson/numbers.hpp"

namespace {

namespace numbers = epson::numbers;

using epson::numbers::parseControllerInteger;

TEST(ParseControllerInteger, ReadsBooleansAndIntegersInEveryBase) {
  EXPECT_EQ(parseControllerInteger("True"), 1);
  EXPECT_EQ(parseControllerInteger("  true \t"), 1);
  EXPECT_EQ(parseControllerInteger("FALSE"), 0);
  EXPECT_EQ(parseControllerInteger("0x10"), 16);
  EXPECT_EQ(parseControllerInteger("010"), 8);
  EXPECT_EQ(parseControllerInteger("-1"), -1);
  EXPECT_EQ(parseControllerInteger("1 2"), 12);
  EXPECT_EQ(parseControllerInteger(" 9223372036854775807 "), INT64_MAX);
}

TEST(ParseControllerInteger, RejectsWithTheTextAsReceived) {
  for (const std::string text : {"", "  ", "1.5", "yes", "0x", "99999999999999999999", "1-"}) {
    try {
      parseControllerInteger(text);
      ADD_FAILURE() << '"' << text << '"';
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(error.what()),
                "Failed to parse controller status value as an integer: \"" + text + "\"");
    }
  }
}

TEST(LeadingDoubles, StopsAtTheFirstTokenThatIsNotANumber) {
  EXPECT_EQ(numbers::leadingDoubles("1,2, 3"), (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(numbers::leadingDoubles(" 1 x 3"), (std::vector<double>{1}));
  EXPECT_TRUE(numbers::leadingDoubles("").empty());
}

TEST(LeadingDoubles, AgreesBitForBitWithStreamExtraction) {
  // Plain decimals take a path of their own; every other form is left to the stream.
  const auto byStream = [](const std::string& text) {
    std::istringstream stream(numbers::commasToBlanks(text));
    stream.imbue(std::locale::classic());
    std::vector<double> values;
    double value = 0.0;
    while (stream >> value) values.push_back(value);
    return values;
  };
  for (const std::string text :
       {" 0.1 0.2 0.30000000000000004", "-0,+.5,1.,00.25", "9007199254740993 1", "1e3 2", "1.5.3",
        "12.5abc 4", "-182.632,240.114, -0", "0.1234567890123456789012345",
        "1234567890123456789012 5", " \t1\n2\v3\f4\r5", "-", ".", "+.", "1,,2", "0x10 1", "inf 1",
        "123456789.123456789"}) {
    const std::vector<double> expected = byStream(text);
    const std::vector<double> actual = numbers::leadingDoubles(text);
    ASSERT_EQ(actual.size(), expected.size()) << text;
    for (std::size_t i = 0; i < actual.size(); ++i) {
      EXPECT_EQ(std::memcmp(&actual[i], &expected[i], sizeof(double)), 0) << text << " #" << i;
    }
  }
}

}  // namespace
