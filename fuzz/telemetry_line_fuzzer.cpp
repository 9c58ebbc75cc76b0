// The telemetry line parser over a stream of CR-ended lines, against a reference of the line
// format: fields split at ';', keys without blanks, later duplicates winning, status lines apart,
// sample fields gathered over lines until all twelve are there.
#include <array>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "epson/telemetry_parser.hpp"

namespace {

using epson::telemetry::LineResult;
using epson::telemetry::PendingFields;
using Fields = std::map<std::string, double>;

constexpr std::array<const char*, 6> kPose{"X", "Y", "Z", "U", "V", "W"};
constexpr std::array<const char*, 6> kJoints{"J1agl", "J2agl", "J3agl", "J4agl", "J5agl", "J6agl"};

void check(bool condition) {
  if (!condition) std::abort();
}

bool sameBits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

bool sameFields(const Fields& a, const Fields& b) {
  if (a.size() != b.size()) return false;
  for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
    if (i->first != j->first || !sameBits(i->second, j->second)) return false;
  }
  return true;
}

/// The fields of a line, or nothing when one value is not a number or out of range.
std::optional<Fields> referenceFields(std::string_view line) {
  Fields fields;
  std::size_t start = 0;
  while (start < line.size()) {
    std::size_t end = line.find(';', start);
    if (end == std::string_view::npos) end = line.size();
    const std::string piece(line.substr(start, end - start));
    start = end + 1;
    const std::size_t equals = piece.find('=');
    if (equals == std::string::npos) continue;
    std::string key;
    for (std::size_t i = 0; i < equals; ++i) {
      if (std::strchr(" \t\n\v\f\r", piece[i]) == nullptr || piece[i] == '\0') key += piece[i];
    }
    if (key.empty()) continue;
    const std::string value = piece.substr(equals + 1);
    char* stop = nullptr;
    errno = 0;
    const double number = std::strtod(value.c_str(), &stop);  // the fuzzer runs in the "C" locale
    if (stop == value.c_str() || errno == ERANGE) return std::nullopt;
    fields[key] = number;
  }
  return fields;
}

std::int64_t referenceInteger(double value) {
  if (std::isnan(value) || value < -9223372036854775808.0 || value >= 9223372036854775808.0) {
    return 0;
  }
  return static_cast<std::int64_t>(std::trunc(value));
}

void checkLine(std::string_view line, PendingFields& pending) {
  const Fields before = pending.toMap();
  const std::optional<Fields> fields = referenceFields(line);
  LineResult result;
  try {
    result = epson::telemetry::parseLine(line, pending);
  } catch (const std::invalid_argument&) {
    check(!fields && sameFields(pending.toMap(), before));
    return;
  } catch (const std::out_of_range&) {
    check(!fields && sameFields(pending.toMap(), before));
    return;
  }
  check(fields.has_value());

  if (fields->count("STAT") != 0) {
    check(sameFields(pending.toMap(), before));
    const char* keys[] = {"STAT", "SYSERR", "CTRLDEV", "ROBOTINFO", "CTRLINFO"};
    bool complete = true;
    for (const char* key : keys) complete = complete && fields->count(key) != 0;
    if (!complete) {
      check(result.kind == LineResult::Kind::kNothing);
      return;
    }
    check(result.kind == LineResult::Kind::kStatus);
    std::map<std::string, std::int64_t> status{{"stale", 1}};
    epson::telemetry::storeStatus(result.status, status);
    check(status.size() == 8);
    const std::int64_t stat = referenceInteger(fields->at("STAT"));
    const std::int64_t info = referenceInteger(fields->at("CTRLINFO"));
    check(status.at("stat") == stat);
    check(status.at("system_error") == referenceInteger(fields->at("SYSERR")));
    check(status.at("control_device") == referenceInteger(fields->at("CTRLDEV")));
    check(status.at("robot_info") == referenceInteger(fields->at("ROBOTINFO")));
    check(status.at("ctrl_info") == info);
    check(status.at("emergency_stopped") == ((info >> 8) & 1));
    check(status.at("safeguard_open") == ((info >> 9) & 1));
    check(status.at("teach_mode") == ((stat >> 19) & 1));
    return;
  }

  Fields merged = fields->count("X") != 0 ? Fields{} : before;
  for (const auto& [key, value] : *fields) merged[key] = value;
  bool complete = true;
  for (std::size_t i = 0; i < 6; ++i) {
    complete = complete && merged.count(kPose[i]) != 0 && merged.count(kJoints[i]) != 0;
  }
  if (!complete) {
    check(result.kind == LineResult::Kind::kNothing && sameFields(pending.toMap(), merged) &&
          pending.size() == merged.size());
    return;
  }
  check(result.kind == LineResult::Kind::kSample && pending.empty());
  for (std::size_t i = 0; i < 6; ++i) {
    check(sameBits(result.pose[i], merged.at(kPose[i])));
    check(sameBits(result.joints[i], merged.at(kJoints[i])));
  }
}

}  // namespace

// Input: controller output; each CR ends a line, as the reader splits it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  PendingFields pending;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\r');
    checkLine(rest.substr(0, end), pending);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  }
  return 0;
}
