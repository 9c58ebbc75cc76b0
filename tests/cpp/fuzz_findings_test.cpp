// Inputs the fuzzers in fuzz/ found faults with, kept as unit tests (the same inputs are in the
// seed corpora, which every fuzz run replays first).
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "epson/numbers.hpp"

namespace {

using epson::numbers::parseControllerInteger;

TEST(FuzzFindings, ControllerIntegerWithANulByteInsideIsRejected) {
  // strtoll stopped at the NUL, and the text after it passed unseen: "9223372" was accepted.
  const std::string text(
      "9223372\0\0\x7f"
      "7\ty\xc3\xc0"
      "86$0",
      19);
  EXPECT_THROW(parseControllerInteger(text), std::runtime_error);
  EXPECT_THROW(parseControllerInteger(std::string("12\0", 3)), std::runtime_error);
  EXPECT_THROW(parseControllerInteger(std::string("\0", 1)), std::runtime_error);
  EXPECT_EQ(parseControllerInteger("12"), 12);
}

}  // namespace
