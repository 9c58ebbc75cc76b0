#include "epson/telemetry_parser.hpp"

#include <locale.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace epson::telemetry {

namespace {

constexpr std::array<const char*, 6> kPoseKeys{"X", "Y", "Z", "U", "V", "W"};
constexpr std::array<const char*, 6> kJointKeys{"J1agl", "J2agl", "J3agl",
                                                "J4agl", "J5agl", "J6agl"};

/// Line keys in the order they are taken, and the status entry each fills.
constexpr std::array<std::pair<const char*, const char*>, 5> kStatusKeys{{
    {"STAT", "stat"},
    {"SYSERR", "system_error"},
    {"CTRLDEV", "control_device"},
    {"ROBOTINFO", "robot_info"},
    {"CTRLINFO", "ctrl_info"},
}};

constexpr std::uint64_t kEmergencyStopBit = 0x100;
constexpr std::uint64_t kSafeguardOpenBit = 0x200;
constexpr std::uint64_t kTeachModeBit = 0x80000;

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string withoutBlanks(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (const char c : text) {
    if (!isBlank(c)) result.push_back(c);
  }
  return result;
}

/// The "C" locale, so that a process-wide setlocale() (Python's locale module, for one) cannot
/// turn the decimal point into a comma under the reader thread.
locale_t classicLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

double toDouble(const std::string& key, std::string_view value) {
  const std::string text(value);  // strtod needs a terminated string
  char* end = nullptr;
  errno = 0;
  const double result = strtod_l(text.c_str(), &end, classicLocale());
  if (end == text.c_str()) {
    throw std::invalid_argument("Telemetry field " + key + " has no number: \"" + text + "\"");
  }
  if (errno == ERANGE) {
    throw std::out_of_range("Telemetry field " + key + " is out of range: \"" + text + "\"");
  }
  return result;
}

bool hasAll(const PendingFields& fields, const std::array<const char*, 6>& keys) {
  for (const char* key : keys) {
    if (fields.find(key) == fields.end()) return false;
  }
  return true;
}

}  // namespace

std::map<std::string, double> lineFields(std::string_view line) {
  std::map<std::string, double> fields;
  while (!line.empty()) {
    const std::size_t separator = line.find(';');
    const std::string_view piece = line.substr(0, separator);
    line.remove_prefix(separator == std::string_view::npos ? line.size() : separator + 1);

    const std::size_t equals = piece.find('=');
    if (equals == std::string_view::npos) continue;
    std::string key = withoutBlanks(piece.substr(0, equals));
    if (key.empty()) continue;
    const double value = toDouble(key, piece.substr(equals + 1));
    fields[std::move(key)] = value;
  }
  return fields;
}

std::int64_t statusInteger(double value) {
  // [-2^63, 2^63) holds exactly the doubles whose truncation fits; NaN fails both tests.
  constexpr double kLimit = 9223372036854775808.0;
  if (!(value >= -kLimit && value < kLimit)) return 0;
  return static_cast<std::int64_t>(value);
}

LineResult parseLine(std::string_view line, PendingFields& pending) {
  const std::map<std::string, double> fields = lineFields(line);
  LineResult result;

  if (fields.find("STAT") != fields.end()) {
    for (const auto& [lineKey, entry] : kStatusKeys) {
      const auto found = fields.find(lineKey);
      if (found == fields.end()) return result;  // incomplete status: ignored
      result.status[entry] = statusInteger(found->second);
    }
    const auto stat = static_cast<std::uint64_t>(result.status["stat"]);
    const auto ctrlInfo = static_cast<std::uint64_t>(result.status["ctrl_info"]);
    result.status["emergency_stopped"] = (ctrlInfo & kEmergencyStopBit) != 0 ? 1 : 0;
    result.status["safeguard_open"] = (ctrlInfo & kSafeguardOpenBit) != 0 ? 1 : 0;
    result.status["teach_mode"] = (stat & kTeachModeBit) != 0 ? 1 : 0;
    result.kind = LineResult::Kind::kStatus;
    return result;
  }

  // X opens a cycle: whatever is pending belongs to an earlier, incomplete one.
  if (fields.find("X") != fields.end()) pending.clear();
  for (const auto& [key, value] : fields) pending[key] = value;
  if (!hasAll(pending, kJointKeys) || !hasAll(pending, kPoseKeys)) return result;

  for (std::size_t i = 0; i < 6; ++i) {
    result.joints[i] = pending.at(kJointKeys[i]);
    result.pose[i] = pending.at(kPoseKeys[i]);
  }
  result.kind = LineResult::Kind::kSample;
  pending.clear();
  return result;
}

}  // namespace epson::telemetry
