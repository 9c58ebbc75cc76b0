// Parsers for the values the controller prints in `$Execute` payloads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace epson::reply {

/// The one parser for a single integer or Boolean controller value: blanks anywhere are
/// dropped, case is ignored, "true"/"false" are 1/0, numbers follow strtoll base 0.
/// Throws std::runtime_error "Failed to parse controller status value as an integer: \"...\"".
std::int64_t parseControllerInteger(const std::string& text);

/// A copy of `text` with every comma replaced by a blank.
std::string commasToBlanks(std::string text);

/// Doubles read by stream extraction (classic locale) from `text` with commas taken as blanks,
/// until one extraction fails.
std::vector<double> leadingDoubles(const std::string& text);

/// `text` enclosed in double quotes, for parse-failure messages.
std::string quoted(const std::string& text);

}  // namespace epson::reply
