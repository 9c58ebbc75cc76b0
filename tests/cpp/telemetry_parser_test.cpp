#include "epson/telemetry_parser.hpp"

#include <gtest/gtest.h>

#include <array>
#include <clocale>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace {

using epson::telemetry::LineResult;
using epson::telemetry::parseLine;
using epson::telemetry::PendingFields;
using epson::telemetry::statusInteger;
using epson::telemetry::storeStatus;
/// Sample keys and their values.
using Fields = std::map<std::string, double>;
using Kind = LineResult::Kind;

constexpr const char* kFullSample =
    "X=412.5;Y=-20;Z=610.25;U=90;V=0;W=180;"
    "J1agl=10.5;J2agl=-35;J3agl=20;J4agl=0;J5agl=75.5;J6agl=-90";

/// The sample keys in the order of a sample: pose X..W, then joints J1agl..J6agl.
constexpr std::array<const char*, 12> kSampleKeys{
    "X", "Y", "Z", "U", "V", "W", "J1agl", "J2agl", "J3agl", "J4agl", "J5agl", "J6agl"};

/// What a probing line writes for a sample key: no test line writes these values.
double probeValue(std::size_t slot) {
  return 1000.0 + static_cast<double>(slot);
}

/// A line giving the keys of `slots` their probe values.
std::string probeLine(const std::vector<std::size_t>& slots) {
  std::string line;
  for (const std::size_t slot : slots) {
    if (!line.empty()) line += ';';
    line += std::string(kSampleKeys[slot]) + "=" + std::to_string(1000 + slot);
  }
  return line;
}

/// The slots of the sample keys that `fields` lacks.
std::vector<std::size_t> missingFrom(const Fields& fields) {
  std::vector<std::size_t> missing;
  for (std::size_t slot = 0; slot < kSampleKeys.size(); ++slot) {
    if (fields.count(kSampleKeys[slot]) == 0) missing.push_back(slot);
  }
  return missing;
}

/// Equal, down to the sign of a zero; NaN matches NaN.
bool sameValue(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return a == b && std::signbit(a) == std::signbit(b);
}

/// Checks that a sample carries `expected` for its keys and the probe value for the rest.
void expectSample(const LineResult& result, const Fields& expected) {
  ASSERT_EQ(result.kind, Kind::kSample);
  for (std::size_t slot = 0; slot < kSampleKeys.size(); ++slot) {
    const auto found = expected.find(kSampleKeys[slot]);
    const double want = found != expected.end() ? found->second : probeValue(slot);
    const double got = slot < 6 ? result.pose[slot] : result.joints[slot - 6];
    EXPECT_TRUE(sameValue(got, want)) << kSampleKeys[slot] << " is " << got << ", not " << want;
  }
}

/// Checks what `pending` holds, as far as any later line can tell. With X among the fields, the
/// line bringing the other keys completes a sample that carries `expected`, and a line bringing
/// all but one of the other keys completes nothing. Without X no later line can complete from
/// the pending fields (one that brings X clears them first): then all there is to check is that
/// no X is pending, so that the eleven other keys complete nothing.
/// A line's result is the sample with this pose and these joints.
void expectSample(const LineResult& result, const std::array<double, 6>& pose,
                  const std::array<double, 6>& joints) {
  ASSERT_EQ(result.kind, Kind::kSample);
  EXPECT_EQ(result.pose, pose);
  EXPECT_EQ(result.joints, joints);
}

void expectPending(const PendingFields& pending, const Fields& expected) {
  const std::vector<std::size_t> missing = missingFrom(expected);
  if (expected.count("X") == 0) {
    PendingFields probe = pending;
    EXPECT_EQ(parseLine(probeLine({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}), probe).kind,
              Kind::kNothing);
    return;
  }
  ASSERT_FALSE(missing.empty()) << "all twelve are never pending";
  PendingFields probe = pending;
  expectSample(parseLine(probeLine(missing), probe), expected);
  for (std::size_t left = 0; left < missing.size(); ++left) {
    std::vector<std::size_t> fewer = missing;
    fewer.erase(fewer.begin() + static_cast<std::ptrdiff_t>(left));
    probe = pending;
    EXPECT_EQ(parseLine(probeLine(fewer), probe).kind, Kind::kNothing)
        << kSampleKeys[missing[left]] << " is pending";
  }
}

/// The line with its control characters written out, for messages.
std::string shown(std::string_view line) {
  std::string text;
  for (const char c : line) {
    if (static_cast<unsigned char>(c) >= ' ') {
      text += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned>(c));
      text += escaped;
    }
  }
  return text;
}

/// Checks that the sample keys of a line carry exactly `expected`, whatever other keys it has,
/// through the sample the line goes into. A line with X goes in on its own; a line without X goes
/// after pending fields with X and the other keys it does not bring, so that it completes them,
/// and a line expected to bring no sample key after all of them but J6agl, which stays pending.
void expectLineFields(std::string_view line, const Fields& expected) {
  SCOPED_TRACE("line \"" + shown(line) + "\"");
  PendingFields pending;
  if (expected.count("X") != 0) {
    const LineResult result = parseLine(line, pending);
    if (expected.size() == kSampleKeys.size()) {
      expectSample(result, expected);
    } else {
      EXPECT_EQ(result.kind, Kind::kNothing);
      expectPending(pending, expected);
    }
    return;
  }
  std::vector<std::size_t> before = missingFrom(expected);
  if (expected.empty()) before.pop_back();
  ASSERT_EQ(parseLine(probeLine(before), pending).kind, Kind::kNothing);
  const LineResult result = parseLine(line, pending);
  if (expected.empty()) {
    EXPECT_EQ(result.kind, Kind::kNothing);
    Fields held;
    for (const std::size_t slot : before) held[kSampleKeys[slot]] = probeValue(slot);
    expectPending(pending, held);
  } else {
    expectSample(result, expected);
  }
}

std::map<std::string, std::int64_t> statusOf(const std::string& line) {
  PendingFields pending;
  const LineResult result = parseLine(line, pending);
  EXPECT_EQ(result.kind, Kind::kStatus) << line;
  std::map<std::string, std::int64_t> status;
  storeStatus(result.status, status);
  return status;
}

/// Sets the first of the locales with a decimal comma that is installed, and restores the
/// previous locale when it goes.
class DecimalCommaLocale {
 public:
  DecimalCommaLocale() : previous_(std::setlocale(LC_ALL, nullptr)) {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"}) {
      if (std::setlocale(LC_ALL, name) != nullptr) {
        set_ = true;
        break;
      }
    }
  }
  ~DecimalCommaLocale() { std::setlocale(LC_ALL, previous_.c_str()); }
  DecimalCommaLocale(const DecimalCommaLocale&) = delete;
  DecimalCommaLocale& operator=(const DecimalCommaLocale&) = delete;
  bool set() const { return set_; }

 private:
  std::string previous_;
  bool set_ = false;
};

TEST(TelemetryLine, SkipsEmptyPiecesAndPiecesWithoutEquals) {
  for (const char* line : {"", ";;;", "abc;def ; "}) expectLineFields(line, {});
  expectLineFields(";X=1;;Y=2;", {{"X", 1}, {"Y", 2}});
}

TEST(TelemetryLine, StripsEveryBlankFromKeys) {
  expectLineFields(" X = 1.5", {{"X", 1.5}});
  expectLineFields("J1 agl=3", {{"J1agl", 3}});
  expectLineFields("\nX=1;\t\v\fY\r=2", {{"X", 1}, {"Y", 2}});
  expectLineFields("X=1;J 1agl=2;Y\t=3;Tool =1", {{"X", 1}, {"J1agl", 2}, {"Y", 3}});
  EXPECT_EQ(statusOf(" STAT=1;SYSERR =2;CTRL DEV=3;ROBOTINFO\t=4;CTRLINFO=5").at("control_device"),
            3);
}

TEST(TelemetryLine, IgnoresEmptyKeysWithoutLookingAtTheirValues) {
  expectLineFields("=5;  =abc; \t=;X=1", {{"X", 1}});
}

TEST(TelemetryLine, KeepsTheLaterOfTwoEqualKeys) {
  expectLineFields("X=1.5;X=2", {{"X", 2}});
  expectLineFields("Y=1;J2agl=3;Y=-4", {{"Y", -4}, {"J2agl", 3}});
  EXPECT_EQ(
      statusOf("STAT=1;SYSERR=2;CTRLDEV=3;ROBOTINFO=4;CTRLINFO=5;SYSERR=6").at("system_error"), 6);
}

TEST(TelemetryLine, ConvertsTheLongestNumericPrefixLikeStrtod) {
  expectLineFields("X=12.5mm", {{"X", 12.5}});
  expectLineFields("X=1=2", {{"X", 1}});
  expectLineFields("X=0x1p3", {{"X", 8}});
  expectLineFields("X=-1.25e2", {{"X", -125}});
  expectLineFields("X=  +7", {{"X", 7}});
  expectLineFields("X=-inf", {{"X", -std::numeric_limits<double>::infinity()}});
  expectLineFields("X=nan", {{"X", std::nan("")}});
}

TEST(TelemetryLine, ReadsValuesTheSameAtTheLineEndAndInLongLines) {
  expectLineFields("X=-12.345", {{"X", -12.345}});
  expectLineFields("X=+.5;Y=7.", {{"X", 0.5}, {"Y", 7}});
  expectLineFields("V=-0", {{"V", -0.0}});
  // A NUL ends neither the line nor a key: it ends the number it follows, and makes a key of its
  // own that is no sample key.
  expectLineFields(std::string("X=1\0"
                               "2;Y=3",
                               9),
                   {{"X", 1}, {"Y", 3}});
  expectLineFields(std::string("Z\0=5;Y=3", 8), {{"Y", 3}});
  // Past a few hundred characters a line is read from the heap instead of the stack.
  const std::string zeros(600, '0');
  expectLineFields("Note=" + zeros + "2.5;X=-1.5;Y=2", {{"X", -1.5}, {"Y", 2}});
  expectLineFields("Note=1;Z=" + zeros + "2.5;U=-1", {{"Z", 2.5}, {"U", -1}});
}

TEST(TelemetryLine, ReadsThePointAsDecimalSeparatorWhateverTheGlobalLocale) {
  const DecimalCommaLocale locale;
  if (!locale.set()) GTEST_SKIP() << "no locale with a decimal comma is installed";
  // Plain decimals and the forms that go to strtod.
  expectLineFields("X=1.5;Y=2,5;Z=2.5e1;U=0x1.8p1", {{"X", 1.5}, {"Y", 2}, {"Z", 25}, {"U", 3}});
}

TEST(TelemetryLine, OneBadValueRejectsTheWholeLineAndLeavesThePendingFieldsAlone) {
  const auto expectRejected = [](const char* line, auto kind) {
    SCOPED_TRACE(line);
    PendingFields pending;
    ASSERT_EQ(parseLine("X=1;Y=2", pending).kind, Kind::kNothing);
    EXPECT_THROW(parseLine(line, pending), decltype(kind)) << line;
    expectPending(pending, {{"X", 1}, {"Y", 2}});
  };
  for (const char* line :
       {"X=", "X=1;Y=abc", "Y=abc;X=1", "Z=3;U=bad", "foo=.", "X= ;Y=1", "Y=1;X= ", "A=-", "X=-",
        "X=+", "X=+-1", "X=.", "STAT=1;SYSERR=0;CTRLDEV=x;ROBOTINFO=0;CTRLINFO=0"}) {
    expectRejected(line, std::invalid_argument(""));
  }
  for (const char* line : {"X=1e999", "X=1;Y=-1e400", "Z=1e-400", "Note=1e999;U=1"}) {
    expectRejected(line, std::out_of_range(""));
  }
}

TEST(TelemetryLine, KeysWrittenAlmostLikeTheControllersAreOtherKeys) {
  expectLineFields("J7agl=1;J0agl=2;Jxagl=3;J1ag=4;J1aglx=5;XX=6;x=7;A=8", {});
  expectLineFields("STATS=1;STA=2;SYSERR2=3;CTRLDEVX=4;CTRLINF=5;ROBOTINFO =6;CTRLINFO", {});
  // A known key cut off by the end of the line is a piece without '='.
  for (const char* line : {"X", "J1agl", "CTRLDEV", "ROBOTINFO"}) expectLineFields(line, {});
  // None of them stands in for the status key it resembles, nor overwrites it.
  for (const char* line : {"STATS=1;SYSERR=2;CTRLDEV=3;ROBOTINFO=4;CTRLINFO=5",
                           "STA=1;SYSERR=2;CTRLDEV=3;ROBOTINFO=4;CTRLINFO=5",
                           "STAT=1;SYSERR2=2;CTRLDEV=3;ROBOTINFO=4;CTRLINFO=5",
                           "STAT=1;SYSERR=2;CTRLDEVX=3;ROBOTINFO=4;CTRLINFO=5",
                           "STAT=1;SYSERR=2;CTRLDEV=3;ROBOTINF=4;CTRLINFO=5",
                           "STAT=1;SYSERR=2;CTRLDEV=3;ROBOTINFO=4;CTRLINF=5",
                           "STAT=1;SYSERR=2;CTRLDEV=3;ROBOTINFO=4;CTRLINFO",
                           "STAT=1;SYSERR=2;ROBOTINFO=4;CTRLINFO=5;CTRLDEV"}) {
    PendingFields pending;
    EXPECT_EQ(parseLine(line, pending).kind, Kind::kNothing) << line;
  }
  EXPECT_EQ(statusOf("STAT=1;SYSERR=2;CTRLDEV=3;ROBOTINFO=4;CTRLINFO=5;"
                     "STATS=9;STA=9;SYSERR2=9;CTRLDEVX=9;CTRLINF=9;ROBOTINFO =6;CTRLINFO"),
            (std::map<std::string, std::int64_t>{{"stat", 1},
                                                 {"system_error", 2},
                                                 {"control_device", 3},
                                                 {"robot_info", 6},
                                                 {"ctrl_info", 5},
                                                 {"emergency_stopped", 0},
                                                 {"safeguard_open", 0},
                                                 {"teach_mode", 0}}));
}

TEST(TelemetrySample, OneLineWithAllTwelveFieldsPublishesAtOnce) {
  PendingFields pending;
  ASSERT_EQ(parseLine("X=0;J1agl=99", pending).kind, Kind::kNothing);
  const LineResult result = parseLine(kFullSample, pending);
  expectSample(result, {412.5, -20, 610.25, 90, 0, 180}, {10.5, -35, 20, 0, 75.5, -90});
  expectPending(pending, {});
}

TEST(TelemetrySample, FieldsSpreadOverLinesPublishOnTheCompletingLine) {
  PendingFields pending;
  EXPECT_EQ(parseLine("X=1;Y=2;Z=3", pending).kind, Kind::kNothing);
  const LineResult result =
      parseLine("U=4;V=5;W=6;J1agl=7;J2agl=8;J3agl=9;J4agl=10;J5agl=11;J6agl=12", pending);
  expectSample(result, {1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12});
  expectPending(pending, {});
}

TEST(TelemetrySample, ALineWithXDiscardsWhatWasPending) {
  PendingFields pending;
  parseLine("U=4;V=5;W=6;J1agl=7;J2agl=8;J3agl=9;J4agl=10;J5agl=11;J6agl=12", pending);
  EXPECT_EQ(parseLine("X=1;Y=2;Z=3", pending).kind, Kind::kNothing);
  expectPending(pending, {{"X", 1}, {"Y", 2}, {"Z", 3}});
}

TEST(TelemetrySample, ElevenFieldsOrStrayJointKeysPublishNothing) {
  PendingFields pending;
  EXPECT_EQ(parseLine("X=1;Y=2;Z=3;U=4;V=5;W=6;J1agl=1;J2agl=2;J3agl=3;J4agl=4;J5agl=5;"
                      "J0agl=0;J7agl=7;x=9;j6agl=9",
                      pending)
                .kind,
            Kind::kNothing);
  const LineResult result = parseLine("J6agl=6", pending);
  expectSample(result, {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6});
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
  PendingFields pending;
  ASSERT_EQ(parseLine("X=1", pending).kind, Kind::kNothing);
  EXPECT_EQ(parseLine("STAT=1;SYSERR=0;CTRLDEV=0;ROBOTINFO=0", pending).kind, Kind::kNothing);
  EXPECT_EQ(
      parseLine(std::string("STAT=1;SYSERR=0;CTRLDEV=0;ROBOTINFO=0;CTRLINFO=0;") + kFullSample,
                pending)
          .kind,
      Kind::kStatus);
  EXPECT_EQ(parseLine(std::string("Y=2;STAT=1;") + kFullSample, pending).kind, Kind::kNothing);
  expectPending(pending, {{"X", 1}});
}

TEST(TelemetryStatus, KeysAreCaseSensitive) {
  // Not a status line, so its J6agl completes the pending sample.
  PendingFields pending;
  ASSERT_EQ(
      parseLine("X=1;Y=2;Z=3;U=4;V=5;W=6;J1agl=7;J2agl=8;J3agl=9;J4agl=10;J5agl=11", pending).kind,
      Kind::kNothing);
  const LineResult result =
      parseLine("stat=1;SYSERR=0;CTRLDEV=0;ROBOTINFO=0;CTRLINFO=0;J6agl=12", pending);
  ASSERT_EQ(result.kind, Kind::kSample);
  EXPECT_EQ(result.joints, (std::array<double, 6>{7, 8, 9, 10, 11, 12}));
}

TEST(TelemetrySample, OtherKeysNeverChangeWhatASampleYields) {
  PendingFields pending;
  EXPECT_EQ(parseLine("X=1;SYSERR=2;foo=3;Y=4;foo=5", pending).kind, Kind::kNothing);
  expectPending(pending, {{"X", 1}, {"Y", 4}});
  EXPECT_EQ(parseLine("bar=6;Z=7;CTRLINFO=1", pending).kind, Kind::kNothing);
  expectPending(pending, {{"X", 1}, {"Y", 4}, {"Z", 7}});
  const LineResult result =
      parseLine("U=4;V=5;W=6;J1agl=7;J2agl=8;J3agl=9;J4agl=10;J5agl=11;J6agl=12;baz=1", pending);
  expectSample(result, {1, 4, 7, 4, 5, 6}, {7, 8, 9, 10, 11, 12});
  expectPending(pending, {});
  EXPECT_EQ(parseLine("foo=1;Y=2", pending).kind, Kind::kNothing);
  EXPECT_EQ(parseLine("X=3", pending).kind, Kind::kNothing);
  expectPending(pending, {{"X", 3}});
}

TEST(TelemetrySample, EverNewOtherKeysLeaveThePendingSampleIntact) {
  // The pending fields own no memory, so nothing a line brings can make them grow.
  static_assert(std::is_trivially_copyable_v<PendingFields>);
  // A stream of distinct other keys that never completes a sample, and one very long key.
  PendingFields pending;
  EXPECT_EQ(parseLine("X=1;Y=2;J1agl=7", pending).kind, Kind::kNothing);
  std::string line;
  for (int i = 0; i < 100000; ++i) {
    line = "key" + std::to_string(i) + "=1";
    ASSERT_EQ(parseLine(line, pending).kind, Kind::kNothing) << line;
  }
  EXPECT_EQ(parseLine(std::string(5000, 'k') + "=1;Z=3", pending).kind, Kind::kNothing);
  expectPending(pending, {{"X", 1}, {"Y", 2}, {"Z", 3}, {"J1agl", 7}});
  const LineResult result =
      parseLine("U=4;V=5;W=6;J2agl=8;J3agl=9;J4agl=10;J5agl=11;J6agl=12", pending);
  expectSample(result, {1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12});
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
