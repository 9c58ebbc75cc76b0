#include "epson/telemetry_parser.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace {

using epson::telemetry::lineFields;
using epson::telemetry::LineResult;
using epson::telemetry::parseLine;
using epson::telemetry::PendingFields;
using epson::telemetry::statusInteger;
using epson::telemetry::storeStatus;
using Fields = std::map<std::string, double>;
using Kind = LineResult::Kind;

constexpr const char* kFullSample =
    "X=412.5;Y=-20;Z=610.25;U=90;V=0;W=180;"
    "J1agl=10.5;J2agl=-35;J3agl=20;J4agl=0;J5agl=75.5;J6agl=-90";

std::map<std::string, std::int64_t> statusOf(const std::string& line) {
  PendingFields pending;
  const LineResult result = parseLine(line, pending);
  EXPECT_EQ(result.kind, Kind::kStatus) << line;
  std::map<std::string, std::int64_t> status;
  storeStatus(result.status, status);
  return status;
}

TEST(TelemetryFields, SkipEmptyPiecesAndPiecesWithoutEquals) {
  EXPECT_TRUE(lineFields("").empty());
  EXPECT_TRUE(lineFields(";;;").empty());
  EXPECT_TRUE(lineFields("abc;def ; ").empty());
  EXPECT_EQ(lineFields(";X=1;;Y=2;"), (Fields{{"X", 1}, {"Y", 2}}));
}

TEST(TelemetryFields, StripEveryBlankFromKeys) {
  EXPECT_EQ(lineFields(" X = 1.5"), (Fields{{"X", 1.5}}));
  EXPECT_EQ(lineFields("J1 agl=3"), (Fields{{"J1agl", 3}}));
  EXPECT_EQ(lineFields("\nX=1;\t\v\fY\r=2"), (Fields{{"X", 1}, {"Y", 2}}));
}

TEST(TelemetryFields, IgnoreEmptyKeysWithoutLookingAtTheirValues) {
  EXPECT_EQ(lineFields("=5;  =abc; \t=;X=1"), (Fields{{"X", 1}}));
}

TEST(TelemetryFields, KeepTheLaterOfTwoEqualKeys) {
  EXPECT_EQ(lineFields("X=1.5;X=2"), (Fields{{"X", 2}}));
}

TEST(TelemetryFields, ConvertTheLongestNumericPrefixLikeStrtod) {
  EXPECT_EQ(lineFields("X=12.5mm"), (Fields{{"X", 12.5}}));
  EXPECT_EQ(lineFields("X=1=2"), (Fields{{"X", 1}}));
  EXPECT_EQ(lineFields("X=0x1p3"), (Fields{{"X", 8}}));
  EXPECT_EQ(lineFields("X=-1.25e2"), (Fields{{"X", -125}}));
  EXPECT_EQ(lineFields("X=  +7"), (Fields{{"X", 7}}));
  EXPECT_TRUE(std::isinf(lineFields("X=-inf").at("X")));
  EXPECT_TRUE(std::isnan(lineFields("X=nan").at("X")));
}

TEST(TelemetryFields, RejectTheWholeLineOnOneBadValue) {
  for (const char* line : {"X=", "X=1;Y=abc", "Y=abc;X=1", "foo=.", "X= ;Y=1", "A=-"}) {
    EXPECT_THROW(lineFields(line), std::invalid_argument) << line;
  }
  for (const char* line : {"X=1e999", "X=1;Y=-1e400", "Z=1e-400"}) {
    EXPECT_THROW(lineFields(line), std::out_of_range) << line;
  }
}

TEST(TelemetryFields, KeysWrittenAlmostLikeTheControllersAreOrdinaryKeys) {
  EXPECT_EQ(lineFields("J7agl=1;J0agl=2;Jxagl=3;J1ag=4;J1aglx=5;XX=6;x=7;A=8"),
            (Fields{{"J7agl", 1},
                    {"J0agl", 2},
                    {"Jxagl", 3},
                    {"J1ag", 4},
                    {"J1aglx", 5},
                    {"XX", 6},
                    {"x", 7},
                    {"A", 8}}));
  EXPECT_EQ(lineFields("STATS=1;STA=2;SYSERR2=3;CTRLDEVX=4;CTRLINF=5;ROBOTINFO =6;CTRLINFO"),
            (Fields{{"STATS", 1},
                    {"STA", 2},
                    {"SYSERR2", 3},
                    {"CTRLDEVX", 4},
                    {"CTRLINF", 5},
                    {"ROBOTINFO", 6}}));
  // A known key cut off by the end of the line is a piece without '='.
  for (const char* line : {"X", "J1agl", "CTRLDEV", "ROBOTINFO"}) {
    EXPECT_TRUE(lineFields(line).empty()) << line;
  }
  PendingFields pending;
  EXPECT_EQ(parseLine("X=1;J 1agl=2;Y\t=3;Tool =1", pending).kind, Kind::kNothing);
  EXPECT_EQ(pending.toMap(), (Fields{{"X", 1}, {"J1agl", 2}, {"Y", 3}, {"Tool", 1}}));
  EXPECT_EQ(statusOf(" STAT=1;SYSERR =2;CTRL DEV=3;ROBOTINFO\t=4;CTRLINFO=5").at("control_device"),
            3);
}

TEST(TelemetryFields, ValuesReadTheSameAtTheLineEndAndInLongLines) {
  EXPECT_EQ(lineFields("X=-12.345"), (Fields{{"X", -12.345}}));
  EXPECT_EQ(lineFields("X=+.5;Y=7."), (Fields{{"X", 0.5}, {"Y", 7}}));
  EXPECT_EQ(lineFields(std::string("X=1\0"
                                   "2;Y=3",
                                   9)),
            (Fields{{"X", 1}, {"Y", 3}}));
  const double negativeZero = lineFields("X=-0").at("X");
  EXPECT_TRUE(negativeZero == 0 && std::signbit(negativeZero));
  for (const char* line : {"X=-", "X=+", "X=+-1", "X=.", "Y=1;X= "}) {
    EXPECT_THROW(lineFields(line), std::invalid_argument) << line;
  }
  // Past a few hundred characters a line is read from the heap instead of the stack.
  const std::string padding = "Note=" + std::string(600, '0') + "2.5;";
  EXPECT_EQ(lineFields(padding + "X=-1.5;Y=2"), (Fields{{"Note", 2.5}, {"X", -1.5}, {"Y", 2}}));
}

TEST(TelemetryFields, ReadThePointAsDecimalSeparatorWhateverTheGlobalLocale) {
  const std::string previous = std::setlocale(LC_ALL, nullptr);
  const char* chosen = nullptr;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"}) {
    if (std::setlocale(LC_ALL, name) != nullptr) {
      chosen = name;
      break;
    }
  }
  if (chosen == nullptr) GTEST_SKIP() << "no locale with a decimal comma is installed";
  const Fields fields = lineFields("X=1.5;Y=2,5");
  std::setlocale(LC_ALL, previous.c_str());
  EXPECT_EQ(fields, (Fields{{"X", 1.5}, {"Y", 2}}));
}

TEST(TelemetrySample, OneLineWithAllTwelveFieldsPublishesAtOnce) {
  PendingFields pending{{"J1agl", 99}};
  const LineResult result = parseLine(kFullSample, pending);
  ASSERT_EQ(result.kind, Kind::kSample);
  EXPECT_EQ(result.pose, (std::array<double, 6>{412.5, -20, 610.25, 90, 0, 180}));
  EXPECT_EQ(result.joints, (std::array<double, 6>{10.5, -35, 20, 0, 75.5, -90}));
  EXPECT_TRUE(pending.empty());
}

TEST(TelemetrySample, FieldsSpreadOverLinesPublishOnTheCompletingLine) {
  PendingFields pending;
  EXPECT_EQ(parseLine("X=1;Y=2;Z=3", pending).kind, Kind::kNothing);
  EXPECT_EQ(pending.size(), 3u);
  const LineResult result =
      parseLine("U=4;V=5;W=6;J1agl=7;J2agl=8;J3agl=9;J4agl=10;J5agl=11;J6agl=12", pending);
  ASSERT_EQ(result.kind, Kind::kSample);
  EXPECT_EQ(result.pose, (std::array<double, 6>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(result.joints, (std::array<double, 6>{7, 8, 9, 10, 11, 12}));
  EXPECT_TRUE(pending.empty());
}

TEST(TelemetrySample, ALineWithXDiscardsWhatWasPending) {
  PendingFields pending;
  parseLine("U=4;V=5;W=6;J1agl=7;J2agl=8;J3agl=9;J4agl=10;J5agl=11;J6agl=12", pending);
  EXPECT_EQ(parseLine("X=1;Y=2;Z=3", pending).kind, Kind::kNothing);
  EXPECT_EQ(pending.toMap(), (Fields{{"X", 1}, {"Y", 2}, {"Z", 3}}));
}

TEST(TelemetrySample, ElevenFieldsOrStrayJointKeysPublishNothing) {
  PendingFields pending;
  EXPECT_EQ(parseLine("X=1;Y=2;Z=3;U=4;V=5;W=6;J1agl=1;J2agl=2;J3agl=3;J4agl=4;J5agl=5;"
                      "J0agl=0;J7agl=7;x=1;j6agl=6",
                      pending)
                .kind,
            Kind::kNothing);
  EXPECT_EQ(pending.count("J0agl"), 1u);
  EXPECT_EQ(pending.count("J7agl"), 1u);
  EXPECT_EQ(parseLine("J6agl=6", pending).kind, Kind::kSample);
}

TEST(TelemetrySample, ARejectedLineLeavesPendingFieldsAsTheyWere) {
  PendingFields pending;
  parseLine("X=1;Y=2", pending);
  EXPECT_THROW(parseLine("Z=3;U=bad", pending), std::invalid_argument);
  EXPECT_EQ(pending.toMap(), (Fields{{"X", 1}, {"Y", 2}}));
}

TEST(TelemetrySample, CrLfLineEndsLeaveTheLineFeedInTheFirstKeyWhereItIsStripped) {
  PendingFields pending;
  parseLine("X=1;Y=2;Z=3;U=4;V=5;W=6", pending);
  const LineResult result =
      parseLine("\nJ1agl=7;J2agl=8;J3agl=9;J4agl=10;J5agl=11;J6agl=12", pending);
  EXPECT_EQ(result.kind, Kind::kSample);
}

TEST(TelemetryStatus, DerivesTheFlagsFromStatAndCtrlInfo) {
  EXPECT_EQ(statusOf("STAT=524288;SYSERR=0;CTRLDEV=21;ROBOTINFO=0;CTRLINFO=256"),
            (std::map<std::string, std::int64_t>{{"stat", 524288},
                                                 {"system_error", 0},
                                                 {"control_device", 21},
                                                 {"robot_info", 0},
                                                 {"ctrl_info", 256},
                                                 {"emergency_stopped", 1},
                                                 {"safeguard_open", 0},
                                                 {"teach_mode", 1}}));
  const auto both = statusOf("CTRLINFO=768;ROBOTINFO=3;CTRLDEV=1;SYSERR=4001;STAT=0");
  EXPECT_EQ(both.at("emergency_stopped"), 1);
  EXPECT_EQ(both.at("safeguard_open"), 1);
  EXPECT_EQ(both.at("teach_mode"), 0);
  EXPECT_EQ(both.at("system_error"), 4001);
  const auto none = statusOf("STAT=524287;SYSERR=0;CTRLDEV=0;ROBOTINFO=0;CTRLINFO=255");
  EXPECT_EQ(none.at("emergency_stopped"), 0);
  EXPECT_EQ(none.at("teach_mode"), 0);
}

TEST(TelemetryStatus, TruncatesTowardZeroAndTestsBitsOfTheTwosComplement) {
  const auto fraction = statusOf("STAT=524288.9;SYSERR=-2.7;CTRLDEV=0;ROBOTINFO=0;CTRLINFO=0");
  EXPECT_EQ(fraction.at("stat"), 524288);
  EXPECT_EQ(fraction.at("teach_mode"), 1);
  EXPECT_EQ(fraction.at("system_error"), -2);
  const auto negative = statusOf("STAT=-1;SYSERR=0;CTRLDEV=0;ROBOTINFO=0;CTRLINFO=-256");
  EXPECT_EQ(negative.at("teach_mode"), 1);
  EXPECT_EQ(negative.at("emergency_stopped"), 1);  // -256 = ...FF00
  EXPECT_EQ(negative.at("safeguard_open"), 1);
}

TEST(TelemetryStatus, ValuesWithoutAnInt64AreZeroAndIntegersComeOutExactly) {
  EXPECT_EQ(statusInteger(std::numeric_limits<double>::infinity()), 0);
  EXPECT_EQ(statusInteger(-std::numeric_limits<double>::infinity()), 0);
  EXPECT_EQ(statusInteger(std::nan("")), 0);
  EXPECT_EQ(statusInteger(1e30), 0);
  EXPECT_EQ(statusInteger(9223372036854775808.0), 0);
  EXPECT_EQ(statusInteger(-9223372036854775808.0), INT64_MIN);
  EXPECT_EQ(statusInteger(9007199254740992.0), 9007199254740992);
  EXPECT_EQ(
      statusOf("STAT=inf;SYSERR=nan;CTRLDEV=1e30;ROBOTINFO=-1e30;CTRLINFO=4095").at("ctrl_info"),
      4095);
}

TEST(TelemetryStatus, AnIncompleteStatusLineIsIgnoredAndNeverFeedsTheSample) {
  PendingFields pending{{"X", 1}};
  EXPECT_EQ(parseLine("STAT=1;SYSERR=0;CTRLDEV=0;ROBOTINFO=0", pending).kind, Kind::kNothing);
  EXPECT_EQ(
      parseLine(std::string("STAT=1;SYSERR=0;CTRLDEV=0;ROBOTINFO=0;CTRLINFO=0;") + kFullSample,
                pending)
          .kind,
      Kind::kStatus);
  EXPECT_EQ(pending.toMap(), (Fields{{"X", 1}}));
}

TEST(TelemetryStatus, KeysAreCaseSensitive) {
  PendingFields pending;
  EXPECT_EQ(parseLine("stat=1;SYSERR=0;CTRLDEV=0;ROBOTINFO=0;CTRLINFO=0", pending).kind,
            Kind::kNothing);
  EXPECT_EQ(pending.count("stat"), 1u);  // went down the sample path
}

TEST(TelemetrySample, OtherKeysArePendingWithTheSampleKeysAndClearedWithThem) {
  PendingFields pending;
  EXPECT_EQ(parseLine("X=1;SYSERR=2;foo=3;Y=4;foo=5", pending).kind, Kind::kNothing);
  EXPECT_EQ(pending.toMap(), (Fields{{"SYSERR", 2}, {"X", 1}, {"Y", 4}, {"foo", 5}}));
  EXPECT_EQ(pending.size(), 4u);
  EXPECT_EQ(parseLine("bar=6;Z=7", pending).kind, Kind::kNothing);
  EXPECT_EQ(pending.toMap(),
            (Fields{{"SYSERR", 2}, {"X", 1}, {"Y", 4}, {"Z", 7}, {"bar", 6}, {"foo", 5}}));
  EXPECT_EQ(
      parseLine("U=4;V=5;W=6;J1agl=7;J2agl=8;J3agl=9;J4agl=10;J5agl=11;J6agl=12;baz=1", pending)
          .kind,
      Kind::kSample);
  EXPECT_TRUE(pending.empty());
  EXPECT_EQ(parseLine("foo=1;Y=2", pending).kind, Kind::kNothing);
  EXPECT_EQ(parseLine("X=3", pending).kind, Kind::kNothing);
  EXPECT_EQ(pending.toMap(), (Fields{{"X", 3}}));
}

TEST(TelemetrySample, EverNewOtherKeysKeepThePendingFieldsBoundedAndTheSampleIntact) {
  // A stream of distinct unknown keys that never completes a sample.
  PendingFields pending;
  EXPECT_EQ(parseLine("X=1;Y=2;J1agl=7", pending).kind, Kind::kNothing);
  std::string line;
  for (int i = 0; i < 1000000; ++i) {
    line = "key" + std::to_string(i) + "=1";
    parseLine(line, pending);
  }
  EXPECT_LE(pending.size(), 3 + PendingFields::kMaxOtherKeyBytes / 4);
  EXPECT_EQ(pending.count("key0"), 1u);  // the first ones fit
  EXPECT_EQ(pending.count("key999999"), 0u);
  const LineResult result =
      parseLine("Z=3;U=4;V=5;W=6;J2agl=8;J3agl=9;J4agl=10;J5agl=11;J6agl=12", pending);
  ASSERT_EQ(result.kind, Kind::kSample);
  EXPECT_EQ(result.pose, (std::array<double, 6>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(result.joints, (std::array<double, 6>{7, 8, 9, 10, 11, 12}));
  // Publishing frees the room again; a single key longer than the room is never kept.
  EXPECT_EQ(parseLine("key999999=1", pending).kind, Kind::kNothing);
  EXPECT_EQ(pending.count("key999999"), 1u);
  pending.clear();
  parseLine(std::string(PendingFields::kMaxOtherKeyBytes + 1, 'k') + "=1;Y=2", pending);
  EXPECT_EQ(pending.toMap(), (Fields{{"Y", 2}}));
}

TEST(TelemetryStatus, StoringUpdatesTheEntriesInPlaceAndReplacesAnyOtherContent) {
  std::map<std::string, std::int64_t> status{{"stale", 1}};
  epson::telemetry::StatusValues values;
  values.stat = 7;
  values.teachMode = 1;
  storeStatus(values, status);
  EXPECT_EQ(status, (std::map<std::string, std::int64_t>{{"control_device", 0},
                                                         {"ctrl_info", 0},
                                                         {"emergency_stopped", 0},
                                                         {"robot_info", 0},
                                                         {"safeguard_open", 0},
                                                         {"stat", 7},
                                                         {"system_error", 0},
                                                         {"teach_mode", 1}}));
  const auto* entry = &*status.find("stat");
  values.stat = -3;
  storeStatus(values, status);
  EXPECT_EQ(&*status.find("stat"), entry);
  EXPECT_EQ(status.at("stat"), -3);
  EXPECT_EQ(status.size(), 8u);
}

}  // namespace
