// The telemetry line format written by the controller's Background Task, and its parser.
//
// A line is `KEY=VALUE` fields separated by ';' and ended by CR (the reader strips the CR). Pose
// fields X Y Z U V W and joint fields J1agl..J6agl may be spread over consecutive lines, the one
// carrying X first; a line with STAT is a status line.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace epson {

/// The latest complete six-axis sample.
struct TelemetrySample {
  std::array<double, 6> joints{};  ///< J1..J6 in the controller's joint units
  std::array<double, 6> pose{};    ///< [X, Y, Z, U, V, W], millimetres and degrees
  std::chrono::steady_clock::time_point timestamp{};  ///< when it was stored
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

/// Sample fields collected across lines until all twelve are present: the twelve sample keys in
/// fixed slots, any other key in a map. Other keys are kept only while their names come to at
/// most kMaxOtherKeyBytes characters in all; a new one beyond that is dropped, so that a stream
/// of ever new keys that never completes a sample cannot grow it without bound.
class PendingFields {
 public:
  static constexpr std::size_t kMaxOtherKeyBytes = 4096;

  PendingFields() = default;
  PendingFields(std::initializer_list<std::pair<const std::string, double>> fields);

  bool empty() const { return present_ == 0 && others_.empty(); }
  std::size_t size() const;
  std::size_t count(std::string_view key) const;
  void clear() {
    present_ = 0;
    others_.clear();
    otherKeyBytes_ = 0;
  }
  /// Sets a key as a line field with that key would (within the bound on other keys).
  void set(std::string_view key, double value);
  /// Every entry by key.
  std::map<std::string, double> toMap() const;

 private:
  friend LineResult parseLine(std::string_view line, PendingFields& pending);

  std::array<double, 12> values_{};  ///< X Y Z U V W J1agl..J6agl
  std::uint16_t present_ = 0;        ///< bit i: values_[i] is set
  std::map<std::string, double, std::less<>> others_;
  std::size_t otherKeyBytes_ = 0;  ///< the characters of the keys in others_
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

/// The fields of one line, later duplicates winning. Keys lose all whitespace; fields without
/// '=' or with an empty key are skipped; values follow strtod in the "C" locale. Throws
/// std::invalid_argument when a value has no number and std::out_of_range when strtod reports
/// ERANGE, so one bad value rejects the whole line.
std::map<std::string, double> lineFields(std::string_view line);

/// A status value as a signed 64-bit integer, truncated toward zero. Infinities, NaN and values
/// outside the int64 range have no such integer and give 0.
std::int64_t statusInteger(double value);

/// Parses one line (without its CR) and applies it to `pending`. A status line (one with STAT)
/// yields the status when all five status keys are present and leaves `pending` alone. Any other
/// line merges into `pending` (a line with X clears it first) and yields a sample once all twelve
/// fields are there, clearing `pending`. On a conversion error throws as lineFields() does and
/// leaves `pending` unchanged.
LineResult parseLine(std::string_view line, PendingFields& pending);

}  // namespace telemetry
}  // namespace epson
