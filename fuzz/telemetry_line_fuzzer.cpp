// The telemetry line parser over a stream of CR-ended lines, against a reference of the line
// format: fields split at ';', keys without blanks, later duplicates winning, status lines apart,
// sample fields gathered over lines until all twelve are there. The reference keeps the pending
// sample fields itself; after every line probe lines on copies of the parser's pending fields
// check that they hold the same, as far as any later line could tell.
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
#include <vector>

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

/// A line giving the sample keys of `slots` values no other line brings together.
std::string probeLine(const std::vector<std::size_t>& slots) {
  std::string line;
  for (const std::size_t slot : slots) {
    line += slot < 6 ? kPose[slot] : kJoints[slot - 6];
    line += "=" + std::to_string(1000 + slot) + ";";
  }
  return line;
}

/// Checks that the parser's pending fields hold `expected`, the sample fields of the reference.
/// With X pending, the line bringing the missing keys completes a sample of `expected` and one
/// bringing all but one of them completes nothing. Without X no later line can use what is
/// pending (a line bringing X clears it first), so no X may be pending.
void checkPending(const PendingFields& pending, const Fields& expected) {
  std::vector<std::size_t> missing;
  for (std::size_t slot = 0; slot < 12; ++slot) {
    if (expected.count(slot < 6 ? kPose[slot] : kJoints[slot - 6]) == 0) missing.push_back(slot);
  }
  PendingFields probe = pending;
  if (expected.count("X") == 0) {
    check(epson::telemetry::parseLine(probeLine({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}), probe).kind ==
          LineResult::Kind::kNothing);
    return;
  }
  check(!missing.empty());
  const LineResult result = epson::telemetry::parseLine(probeLine(missing), probe);
  check(result.kind == LineResult::Kind::kSample);
  for (std::size_t i = 0; i < 6; ++i) {
    const auto value = [&expected](const char* key, std::size_t slot) {
      const auto found = expected.find(key);
      return found != expected.end() ? found->second : 1000.0 + static_cast<double>(slot);
    };
    check(sameBits(result.pose[i], value(kPose[i], i)));
    check(sameBits(result.joints[i], value(kJoints[i], 6 + i)));
  }
  for (std::size_t left = 0; left < missing.size(); ++left) {
    std::vector<std::size_t> fewer = missing;
    fewer.erase(fewer.begin() + static_cast<std::ptrdiff_t>(left));
    probe = pending;
    check(epson::telemetry::parseLine(probeLine(fewer), probe).kind == LineResult::Kind::kNothing);
  }
}

bool isSampleKey(const std::string& key) {
  for (std::size_t i = 0; i < 6; ++i) {
    if (key == kPose[i] || key == kJoints[i]) return true;
  }
  return false;
}

/// Runs one line through the parser and the reference, whose pending sample fields `held` are
/// updated as the line says.
void checkLine(std::string_view line, PendingFields& pending, Fields& held) {
  const std::optional<Fields> fields = referenceFields(line);
  LineResult result;
  try {
    result = epson::telemetry::parseLine(line, pending);
  } catch (const std::invalid_argument&) {
    check(!fields);
    checkPending(pending, held);
    return;
  } catch (const std::out_of_range&) {
    check(!fields);
    checkPending(pending, held);
    return;
  }
  check(fields.has_value());

  if (fields->count("STAT") != 0) {
    checkPending(pending, held);
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

  Fields merged = fields->count("X") != 0 ? Fields{} : held;
  for (const auto& [key, value] : *fields) {
    if (isSampleKey(key)) merged[key] = value;
  }
  if (merged.size() != 12) {
    check(result.kind == LineResult::Kind::kNothing);
    checkPending(pending, merged);
    held = merged;
    return;
  }
  check(result.kind == LineResult::Kind::kSample);
  checkPending(pending, Fields{});
  held.clear();
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
  Fields held;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\r');
    checkLine(rest.substr(0, end), pending, held);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  }
  return 0;
}
