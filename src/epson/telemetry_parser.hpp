// The telemetry line format written by the controller's Background Task, and its parser.
//
// A line is `KEY=VALUE` fields separated by ';' and ended by CR (the reader strips the CR). Pose
// fields X Y Z U V W and joint fields J1agl..J6agl may be spread over consecutive lines, the one
// carrying X first; a line with STAT is a status line.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace epson {

/// One complete six-axis sample.
struct TelemetrySample {
  std::array<double, 6> joints{};  ///< J1..J6 in the controller's joint units
  std::array<double, 6> pose{};    ///< [X, Y, Z, U, V, W], millimetres and degrees
  std::chrono::steady_clock::time_point timestamp{};  ///< when it was stored
  /// Complete samples since the last connect, this one included (1 for the first): a gap
  /// between two samples tells how many were lost between them. The reader's own reconnections
  /// do not reset it.
  std::uint64_t sequence = 0;
  bool valid = false;  ///< a sample has been stored since the last connect
};

/// The latest controller status: stat, system_error, control_device, robot_info, ctrl_info and
/// the derived emergency_stopped, safeguard_open and teach_mode (each 0 or 1).
struct TelemetryStatus {
  std::map<std::string, std::int64_t> fields;
  std::chrono::steady_clock::time_point timestamp{};
  bool valid = false;
};

namespace telemetry {

struct LineResult;
class PendingFields;
LineResult parseLine(std::string_view line, PendingFields& pending);

/// The eight entries of a status, as integers.
struct StatusValues {
  std::int64_t stat = 0;
  std::int64_t systemError = 0;
  std::int64_t controlDevice = 0;
  std::int64_t robotInfo = 0;
  std::int64_t ctrlInfo = 0;
  std::int64_t emergencyStopped = 0;  ///< bit 8 of ctrlInfo
  std::int64_t safeguardOpen = 0;     ///< bit 9 of ctrlInfo
  std::int64_t teachMode = 0;         ///< bit 19 of stat
};

/// Writes the entries into `fields` under their names (stat, system_error, control_device,
/// robot_info, ctrl_info, emergency_stopped, safeguard_open, teach_mode), so that `fields` holds
/// exactly those eight; a map that holds them already is updated in place, without allocating.
void storeStatus(const StatusValues& values, std::map<std::string, std::int64_t>& fields);

/// The sample fields collected across lines until all twelve are present. Other keys are not
/// kept, as nothing reads them: however many distinct ones the lines bring, this stays its size.
class PendingFields {
 public:
  void clear() { present_ = 0; }

 private:
  friend LineResult parseLine(std::string_view line, PendingFields& pending);

  std::array<double, 12> values_{};  ///< X Y Z U V W J1agl..J6agl
  std::uint16_t present_ = 0;        ///< bit i: values_[i] is set
};

/// What one line yields. Only the members of its kind are meaningful: the sample arrays of any
/// other kind are left uninitialised, as clearing them took longer than parsing a status line.
struct LineResult {
  enum class Kind { kNothing, kStatus, kSample };
  Kind kind = Kind::kNothing;
  StatusValues status;           ///< kStatus
  std::array<double, 6> joints;  ///< kSample
  std::array<double, 6> pose;    ///< kSample
};

/// A status value as a signed 64-bit integer, truncated toward zero. Infinities, NaN and values
/// outside the int64 range have no such integer and give 0.
std::int64_t statusInteger(double value);

/// Parses one line (without its CR) and applies it to `pending`. The line's fields are read with
/// later duplicates winning: keys lose all whitespace, fields without '=' or with an empty key are
/// skipped, values follow strtod in the "C" locale. A status line (one with STAT) yields the
/// status when all five status keys are present and leaves `pending` alone. Any other line merges
/// its sample fields into `pending` (a line with X clears it first) and yields a sample once all
/// twelve are there, clearing `pending`. Throws std::invalid_argument when a value of any key has
/// no number and std::out_of_range when strtod reports ERANGE, so one bad value rejects the whole
/// line; `pending` is then left unchanged.
LineResult parseLine(std::string_view line, PendingFields& pending);

}  // namespace telemetry
}  // namespace epson
