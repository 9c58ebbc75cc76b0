#include "epson/telemetry_parser.hpp"

#include <locale.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <forward_list>
#include <iterator>
#include <stdexcept>
#include <vector>

#include "epson/plain_decimal.hpp"

namespace epson::telemetry {

namespace {

/// Line keys of a status, in the order they are taken.
constexpr std::array<std::string_view, 5> kStatusKeys{"STAT", "SYSERR", "CTRLDEV", "ROBOTINFO",
                                                      "CTRLINFO"};

constexpr std::uint64_t kEmergencyStopBit = 0x100;
constexpr std::uint64_t kSafeguardOpenBit = 0x200;
constexpr std::uint64_t kTeachModeBit = 0x80000;

using number::convertPlainDecimal;
using number::isBlank;

/// The "C" locale, so that a process-wide setlocale() (Python's locale module, for one) cannot
/// turn the decimal point into a comma under the reader thread.
locale_t classicLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

/// The general conversion: strtod in the "C" locale, on a terminated copy of the value.
double convertWithStrtod(std::string_view key, std::string_view value) {
  const std::string text(value);
  char* end = nullptr;
  errno = 0;
  const double result = strtod_l(text.c_str(), &end, classicLocale());
  if (end == text.c_str()) {
    throw std::invalid_argument("Telemetry field " + std::string(key) + " has no number: \"" +
                                text + "\"");
  }
  if (errno == ERANGE) {
    throw std::out_of_range("Telemetry field " + std::string(key) + " is out of range: \"" + text +
                            "\"");
  }
  return result;
}

/// Where a sample key goes: 0..5 the pose X..W, 6..11 the joints J1agl..J6agl, -1 elsewhere.
int sampleSlot(std::string_view key) {
  if (key.size() == 1) {
    switch (key.front()) {
      case 'X':
        return 0;
      case 'Y':
        return 1;
      case 'Z':
        return 2;
      case 'U':
        return 3;
      case 'V':
        return 4;
      case 'W':
        return 5;
      default:
        return -1;
    }
  }
  if (key.size() == 5 && key[0] == 'J' && key[1] >= '1' && key[1] <= '6' && key[2] == 'a' &&
      key[3] == 'g' && key[4] == 'l') {
    return 6 + (key[1] - '1');
  }
  return -1;
}

struct Field {
  std::string_view key;
  double value;
  int slot;  ///< sampleSlot() of the key
};

/// The fields of one line in line order, keys without blanks: views into the line, or into
/// copies kept here for the rare key with a blank inside. Converting a value may throw.
class Fields {
 public:
  explicit Fields(std::string_view line) {
    const char* p = line.data();
    const char* const end = p + line.size();
    while (p != end) {
      const char* const keyStart = p;
      while (p != end && *p != '=' && *p != ';') ++p;
      if (p == end || *p == ';') {  // a piece without '=' (or an empty one) is skipped
        if (p != end) ++p;
        continue;
      }
      const std::string_view key = withoutBlanks(keyStart, p);
      const char* const valueStart = ++p;
      if (key.empty()) {  // the value is not looked at
        while (p != end && *p != ';') ++p;
        if (p != end) ++p;
        continue;
      }
      double value;
      const char* const number = convertPlainDecimal(valueStart, end, value);
      p = number != nullptr ? number : valueStart;
      while (p != end && *p != ';') ++p;  // text after the number does not count
      if (number == nullptr) {
        value = convertWithStrtod(
            key, std::string_view(valueStart, static_cast<std::size_t>(p - valueStart)));
      }
      if (p != end) ++p;
      add(key, value);
    }
  }

  const Field* begin() const { return count_ <= kInline ? inline_.data() : more_.data(); }
  const Field* end() const { return begin() + count_; }
  bool hasStat() const { return hasStat_; }
  bool hasX() const { return hasX_; }

  /// The value of the last field with this key, the one that wins.
  const double* find(std::string_view key) const {
    for (const Field* field = end(); field != begin();) {
      if ((--field)->key == key) return &field->value;
    }
    return nullptr;
  }

 private:
  static constexpr std::size_t kInline = 24;

  std::string_view withoutBlanks(const char* first, const char* last) {
    bool low = false;  // a character at or below ' ', which a blank is
    for (const char* c = first; c != last; ++c) low |= *c <= ' ';
    if (!low) return std::string_view(first, static_cast<std::size_t>(last - first));
    while (first != last && isBlank(*first)) ++first;
    while (first != last && isBlank(last[-1])) --last;
    if (std::none_of(first, last, isBlank)) {
      return std::string_view(first, static_cast<std::size_t>(last - first));
    }
    std::string& copy = strippedKeys_.emplace_front();
    std::copy_if(first, last, std::back_inserter(copy), [](char c) { return !isBlank(c); });
    return copy;
  }

  void add(std::string_view key, double value) {
    const int slot = sampleSlot(key);
    hasX_ |= slot == 0;
    hasStat_ |= key.size() == 4 && key[0] == 'S' && key[1] == 'T' && key[2] == 'A' && key[3] == 'T';
    if (count_ == kInline) more_.assign(inline_.begin(), inline_.end());
    (count_ < kInline ? inline_[count_] : more_.emplace_back()) = Field{key, value, slot};
    ++count_;
  }

  std::array<Field, kInline> inline_;
  std::vector<Field> more_;  // every field, once there are more than fit inline
  std::size_t count_ = 0;
  bool hasStat_ = false;
  bool hasX_ = false;
  std::forward_list<std::string> strippedKeys_;  // nodes do not move: views stay valid
};

using SampleKeys = std::array<std::string, 6>;

// Strings made once: map lookups take the key type itself.
const SampleKeys& poseKeys() {
  static const SampleKeys keys{"X", "Y", "Z", "U", "V", "W"};
  return keys;
}

const SampleKeys& jointKeys() {
  static const SampleKeys keys{"J1agl", "J2agl", "J3agl", "J4agl", "J5agl", "J6agl"};
  return keys;
}

/// The values of the six keys, in key order; false when one is missing.
bool collect(const PendingFields& fields, const SampleKeys& keys, std::array<double, 6>& values) {
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const auto found = fields.find(keys[i]);
    if (found == fields.end()) return false;
    values[i] = found->second;
  }
  return true;
}

LineResult statusResult(const Fields& fields) {
  LineResult result;
  std::array<std::int64_t, kStatusKeys.size()> values{};
  for (std::size_t i = 0; i < kStatusKeys.size(); ++i) {
    const double* value = fields.find(kStatusKeys[i]);
    if (value == nullptr) return result;  // incomplete status: ignored
    values[i] = statusInteger(*value);
  }
  const auto [stat, systemError, controlDevice, robotInfo, ctrlInfo] = values;
  const auto bit = [](std::int64_t value, std::uint64_t mask) -> std::int64_t {
    return (static_cast<std::uint64_t>(value) & mask) != 0 ? 1 : 0;
  };
  // In the map's own order, each entry goes in after the last with a single key comparison.
  auto& status = result.status;
  status.emplace_hint(status.end(), "control_device", controlDevice);
  status.emplace_hint(status.end(), "ctrl_info", ctrlInfo);
  status.emplace_hint(status.end(), "emergency_stopped", bit(ctrlInfo, kEmergencyStopBit));
  status.emplace_hint(status.end(), "robot_info", robotInfo);
  status.emplace_hint(status.end(), "safeguard_open", bit(ctrlInfo, kSafeguardOpenBit));
  status.emplace_hint(status.end(), "stat", stat);
  status.emplace_hint(status.end(), "system_error", systemError);
  status.emplace_hint(status.end(), "teach_mode", bit(stat, kTeachModeBit));
  result.kind = LineResult::Kind::kStatus;
  return result;
}

}  // namespace

std::map<std::string, double> lineFields(std::string_view line) {
  std::map<std::string, double> result;
  for (const Field& field : Fields(line)) result[std::string(field.key)] = field.value;
  return result;
}

std::int64_t statusInteger(double value) {
  // [-2^63, 2^63) holds exactly the doubles whose truncation fits; NaN fails both tests.
  constexpr double kLimit = 9223372036854775808.0;
  if (!(value >= -kLimit && value < kLimit)) return 0;
  return static_cast<std::int64_t>(value);
}

LineResult parseLine(std::string_view line, PendingFields& pending) {
  const Fields fields(line);  // a bad value throws here, before anything has changed
  if (fields.hasStat()) return statusResult(fields);

  LineResult result;
  // X opens a cycle: whatever is pending belongs to an earlier, incomplete one.
  if (fields.hasX()) pending.clear();

  if (pending.empty()) {
    // The usual case, a whole sample in one line, is taken from the line directly: the same as
    // merging it into the empty pending fields, publishing, and clearing them again.
    std::array<double, 12> values{};
    std::array<bool, 12> found{};
    int count = 0;
    for (const Field& field : fields) {
      if (field.slot < 0) continue;
      values[field.slot] = field.value;
      count += found[field.slot] ? 0 : 1;
      found[field.slot] = true;
    }
    if (count == 12) {
      std::copy(values.begin(), values.begin() + 6, result.pose.begin());
      std::copy(values.begin() + 6, values.end(), result.joints.begin());
      result.kind = LineResult::Kind::kSample;
      return result;
    }
  }

  for (const Field& field : fields) pending.insert_or_assign(std::string(field.key), field.value);
  if (pending.size() < 12) return result;  // too few entries to hold the twelve

  std::array<double, 6> joints{};
  std::array<double, 6> pose{};
  if (!collect(pending, jointKeys(), joints) || !collect(pending, poseKeys(), pose)) return result;
  result.joints = joints;
  result.pose = pose;
  result.kind = LineResult::Kind::kSample;
  pending.clear();
  return result;
}

}  // namespace epson::telemetry
