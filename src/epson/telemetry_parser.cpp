#include "epson/telemetry_parser.hpp"

#include <locale.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>

#include "epson/numbers.hpp"
#include "epson/status_keys.hpp"

namespace epson::telemetry {

namespace {

/// Line keys of a status, in the order they are taken.
constexpr std::array<std::string_view, 5> kStatusKeys{"STAT", "SYSERR", "CTRLDEV", "ROBOTINFO",
                                                      "CTRLINFO"};

constexpr std::uint64_t kEmergencyStopBit = 0x100;
constexpr std::uint64_t kSafeguardOpenBit = 0x200;
constexpr std::uint64_t kTeachModeBit = 0x80000;

using numbers::isBlank;

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

/// The index of a status key in kStatusKeys, or -1.
int statusSlot(std::string_view key) {
  switch (key.size()) {
    case 4:
      return key == kStatusKeys[0] ? 0 : -1;
    case 6:
      return key == kStatusKeys[1] ? 1 : -1;
    case 7:
      return key == kStatusKeys[2] ? 2 : -1;
    case 9:
      return key == kStatusKeys[3] ? 3 : -1;
    case 8:
      return key == kStatusKeys[4] ? 4 : -1;
    default:
      return -1;
  }
}

constexpr std::uint16_t kAllSampleSlots = 0xFFF;
constexpr unsigned kAllStatusSlots = 0x1F;

/// Where a field's value goes: 0..11 the sample slots of sampleSlot(), from kStatusSlotBase on
/// the status keys in kStatusKeys order, -1 nowhere in particular.
constexpr int kStatusSlotBase = 12;
/// A slot not known yet: fieldSlot() of the key tells.
constexpr int kSlotUnknown = -2;

int fieldSlot(std::string_view key) {
  const int sample = sampleSlot(key);
  if (sample >= 0) return sample;
  const int status = statusSlot(key);
  return status >= 0 ? kStatusSlotBase + status : -1;
}

/// Lines up to this long are scanned from a copy on the stack, longer ones from the heap.
constexpr std::size_t kStackLine = 512;
/// Separators after the copy: every scan stops there, and the key tests may look past the line.
constexpr std::size_t kSentinels = 16;

bool startsWith(const char* p, std::string_view text) {
  return std::memcmp(p, text.data(), text.size()) == 0;
}

/// A key recognised where it starts: its length (0: none recognised) and its fieldSlot().
struct KnownKey {
  std::size_t length = 0;
  int slot = kSlotUnknown;
};

/// The status key at p when it is one the controller writes and a '=' follows. Reads at most 10
/// characters, of the line or its sentinels: a '=' it matches is the line's, and so is all
/// before it.
KnownKey knownStatusKey(const char* p) {
  switch (p[0]) {
    case 'S':
      if (startsWith(p, "STAT=")) return {4, kStatusSlotBase + 0};
      if (startsWith(p, "SYSERR=")) return {6, kStatusSlotBase + 1};
      return {};
    case 'C':
      if (startsWith(p, "CTRLDEV=")) return {7, kStatusSlotBase + 2};
      if (startsWith(p, "CTRLINFO=")) return {8, kStatusSlotBase + 4};
      return {};
    case 'R':
      if (startsWith(p, "ROBOTINFO=")) return {9, kStatusSlotBase + 3};
      return {};
    default:
      return {};
  }
}

/// knownStatusKey() for the sample keys too, X Y Z U V W and J1agl..J6agl. Reads at most 10
/// characters, as knownStatusKey() does.
inline KnownKey knownKey(const char* p) {
  if (p[1] == '=') {
    // U V W X Y Z are six letters in a row: X Y Z take slots 0..2, U V W 3..5.
    const unsigned letter = static_cast<unsigned char>(p[0]) - unsigned{'U'};
    if (letter > 5) return {};
    return {1, static_cast<int>(letter >= 3 ? letter - 3 : letter + 3)};
  }
  if (p[0] == 'J' && p[5] == '=' && startsWith(p + 2, "agl") && p[1] >= '1' && p[1] <= '6') {
    return {5, 6 + (p[1] - '1')};
  }
  return knownStatusKey(p);
}

/// memcpy for a line's length: sixteen bytes at a time inline, the last block overlapping the one
/// before, which beats the call for the few dozen bytes of a line.
inline void copyText(char* to, const char* from, std::size_t size) {
  constexpr std::size_t kBlock = 16;
  if (size < kBlock) {
    std::memcpy(to, from, size);
    return;
  }
  for (std::size_t at = 0; at + kBlock < size; at += kBlock) {
    std::memcpy(to + at, from + at, kBlock);
  }
  std::memcpy(to + size - kBlock, from + size - kBlock, kBlock);
}

/// What parseLine needs of a line: the last value of each sample and status key.
struct LineSlots {
  /// The pending sample values, overwritten by the line's; a value counts only where its bit is
  /// set, here or in the pending fields.
  std::array<double, 12> sample;
  std::array<double, kStatusKeys.size()> status;  // read only where statusPresent has the bit
  std::uint16_t samplePresent = 0;
  unsigned statusPresent = 0;

  /// knownSlot is the key's fieldSlot() when the scan recognised the key, else kSlotUnknown.
  void operator()(std::string_view key, double value, int knownSlot) {
    const int slot = knownSlot != kSlotUnknown ? knownSlot : fieldSlot(key);
    if (slot >= 0 && slot < kStatusSlotBase) {
      sample[static_cast<std::size_t>(slot)] = value;
      samplePresent |= static_cast<std::uint16_t>(1u << slot);
    } else if (slot >= kStatusSlotBase) {
      const int statusIndex = slot - kStatusSlotBase;
      status[static_cast<std::size_t>(statusIndex)] = value;
      statusPresent |= 1u << statusIndex;
    }
  }
};

/// Hands every field of the line to `slots` in line order, keys without blanks. Converting a
/// value may throw, after the earlier fields went in.
void scanFields(std::string_view line, LineSlots& slots) {
  // The scans run over a copy followed by ';', where each of them stops, so that none compares
  // its position with the line's end on every character.
  char onStack[kStackLine + kSentinels];
  std::string onHeap;
  char* text = onStack;
  if (line.size() > kStackLine) {
    onHeap.resize(line.size() + kSentinels);
    text = onHeap.data();
  }
  copyText(text, line.data(), line.size());
  std::memset(text + line.size(), ';', kSentinels);

  std::string stripped;  // the rare key with a blank inside
  const char* p = text;
  const char* const end = p + line.size();
  while (p != end) {
    const char* const keyStart = p;
    std::string_view key;
    const KnownKey known = knownKey(p);
    const int slot = known.slot;
    if (known.length != 0) {
      key = std::string_view(p, known.length);
      p += known.length;
    } else {
      bool low = false;  // a character at or below ' ', which a blank is
      for (;; ++p) {
        const char c = *p;
        if (c == '=' || c == ';') break;
        low |= c <= ' ';
      }
      if (p == end || *p == ';') {  // a piece without '=' (or an empty one) is skipped
        if (p != end) ++p;
        continue;
      }
      key = std::string_view(keyStart, static_cast<std::size_t>(p - keyStart));
      if (low) {
        const char* first = keyStart;
        const char* last = p;
        while (first != last && isBlank(*first)) ++first;
        while (first != last && isBlank(last[-1])) --last;
        key = std::string_view(first, static_cast<std::size_t>(last - first));
        if (std::any_of(first, last, isBlank)) {
          stripped.clear();
          std::copy_if(first, last, std::back_inserter(stripped),
                       [](char c) { return !isBlank(c); });
          key = stripped;
        }
      }
    }
    const char* const valueStart = ++p;
    if (key.empty()) {  // the value is not looked at
      while (*p != ';') ++p;
      if (p != end) ++p;
      continue;
    }
    double value;
    const char* const number = numbers::convertDecimal<true>(valueStart, end, value);
    p = number != nullptr ? number : valueStart;
    while (*p != ';') ++p;  // text after the number does not count
    if (number == nullptr) {
      value = convertWithStrtod(
          key, std::string_view(valueStart, static_cast<std::size_t>(p - valueStart)));
    }
    if (p != end) ++p;
    slots(key, value, slot);
  }
}

LineResult statusResult(const LineSlots& slots) {
  LineResult result;
  if (slots.statusPresent != kAllStatusSlots) return result;  // incomplete: ignored
  const auto bit = [](std::int64_t value, std::uint64_t mask) -> std::int64_t {
    return (static_cast<std::uint64_t>(value) & mask) != 0 ? 1 : 0;
  };
  result.kind = LineResult::Kind::kStatus;
  StatusValues& status = result.status;
  status.stat = statusInteger(slots.status[0]);
  status.systemError = statusInteger(slots.status[1]);
  status.controlDevice = statusInteger(slots.status[2]);
  status.robotInfo = statusInteger(slots.status[3]);
  status.ctrlInfo = statusInteger(slots.status[4]);
  status.emergencyStopped = bit(status.ctrlInfo, kEmergencyStopBit);
  status.safeguardOpen = bit(status.ctrlInfo, kSafeguardOpenBit);
  status.teachMode = bit(status.stat, kTeachModeBit);
  return result;
}

/// The names of the status entries in the map's order, with where each value is.
struct StatusEntry {
  std::string_view name;
  std::int64_t StatusValues::* value;
};
constexpr std::array<StatusEntry, 8> kStatusEntries{{
    {status_key::kControlDevice, &StatusValues::controlDevice},
    {status_key::kCtrlInfo, &StatusValues::ctrlInfo},
    {status_key::kEmergencyStopped, &StatusValues::emergencyStopped},
    {status_key::kRobotInfo, &StatusValues::robotInfo},
    {status_key::kSafeguardOpen, &StatusValues::safeguardOpen},
    {status_key::kStat, &StatusValues::stat},
    {status_key::kSystemError, &StatusValues::systemError},
    {status_key::kTeachMode, &StatusValues::teachMode},
}};

}  // namespace

void storeStatus(const StatusValues& values, std::map<std::string, std::int64_t>& fields) {
  bool inPlace = fields.size() == kStatusEntries.size();
  auto entry = fields.begin();
  for (std::size_t i = 0; inPlace && i < kStatusEntries.size(); ++i, ++entry) {
    inPlace = entry->first == kStatusEntries[i].name;
  }
  if (inPlace) {
    entry = fields.begin();
    for (const StatusEntry& status : kStatusEntries) (entry++)->second = values.*status.value;
    return;
  }
  fields.clear();
  for (const StatusEntry& status : kStatusEntries) {
    fields.emplace_hint(fields.end(), std::string(status.name), values.*status.value);
  }
}

std::int64_t statusInteger(double value) {
  // [-2^63, 2^63) holds exactly the doubles whose truncation fits; NaN fails both tests.
  constexpr double kLimit = 9223372036854775808.0;
  if (!(value >= -kLimit && value < kLimit)) return 0;
  return static_cast<std::int64_t>(value);
}

LineResult parseLine(std::string_view line, PendingFields& pending) {
  LineSlots slots;
  slots.sample = pending.values_;
  scanFields(line, slots);  // a bad value throws here, before anything has changed
  if (slots.statusPresent & 1u) return statusResult(slots);  // STAT makes a status line

  // X opens a cycle: whatever is pending belongs to an earlier, incomplete one.
  const bool opensCycle = (slots.samplePresent & 1u) != 0;
  const std::uint16_t kept = opensCycle ? 0 : pending.present_;
  if ((kept | slots.samplePresent) == kAllSampleSlots) {
    pending.clear();
    LineResult result;
    result.kind = LineResult::Kind::kSample;
    std::copy(slots.sample.begin(), slots.sample.begin() + 6, result.pose.begin());
    std::copy(slots.sample.begin() + 6, slots.sample.end(), result.joints.begin());
    return result;
  }

  if (opensCycle) pending.clear();
  pending.values_ = slots.sample;
  pending.present_ |= slots.samplePresent;
  LineResult nothing;
  return nothing;
}

}  // namespace epson::telemetry
