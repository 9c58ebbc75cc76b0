#include "epson/reply_values.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

using epson::reply::parseControllerInteger;

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
  EXPECT_EQ(epson::reply::leadingDoubles("1,2, 3"), (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(epson::reply::leadingDoubles(" 1 x 3"), (std::vector<double>{1}));
  EXPECT_TRUE(epson::reply::leadingDoubles("").empty());
}

}  // namespace
