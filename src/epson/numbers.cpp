#include "epson/numbers.hpp"

#include <cerrno>
#include <cstdlib>
#include <iomanip>
#include <locale>
#include <sstream>
#include <stdexcept>

#include "epson/errors.hpp"

namespace epson::numbers {

namespace {

std::ostringstream classicStream() {
  std::ostringstream stream;
  stream.imbue(std::locale::classic());
  return stream;
}

/// Room for the values of a state reply: six joints and a six-value pose.
constexpr std::size_t kTypicalValueCount = 12;

}  // namespace

std::string fixed(double value, int decimals) {
  std::ostringstream stream = classicStream();
  stream << std::fixed << std::setprecision(decimals) << value;
  return stream.str();
}

std::string joined(const std::vector<double>& values, int significant) {
  std::ostringstream stream = classicStream();
  stream << std::setprecision(significant);
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i != 0) stream << ',';
    stream << values[i];
  }
  return stream.str();
}

std::string xyPoint(const std::vector<double>& values, int significant) {
  return "XY(" + joined(values, significant) + ")";
}

std::int64_t parseControllerInteger(const std::string& text) {
  // Blanks out, letters lower case, both as the "C" locale has them (its blanks are the six of
  // isBlank, its letters A to Z); asking a std::locale costs a facet lookup per character.
  std::string normalised;
  normalised.reserve(text.size());
  for (const char c : text) {
    if (isBlank(c)) continue;
    normalised.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  if (normalised == "true") return 1;
  if (normalised == "false") return 0;

  const char* begin = normalised.c_str();
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(begin, &end, 0);
  // A NUL byte inside the text stops strtoll too: the whole text must be consumed.
  const bool consumedAll = end != begin && end == begin + normalised.size();
  if (!consumedAll || errno == ERANGE || normalised.empty()) {
    throw ProtocolError("Failed to parse controller status value as an integer: " + quoted(text));
  }
  return static_cast<std::int64_t>(value);
}

std::string commasToBlanks(std::string text) {
  for (char& c : text) {
    if (c == ',') c = ' ';
  }
  return text;
}

std::vector<double> leadingDoubles(const std::string& text) {
  std::vector<double> values;
  values.reserve(kTypicalValueCount);
  // Controllers print plain decimals; those convert exactly without a stream. Anything else
  // (exponents, words, a number run into text) is left to stream extraction from the start.
  const char* p = text.data();
  const char* const end = p + text.size();
  for (;;) {
    while (p != end && (isBlank(*p) || *p == ',')) ++p;
    if (p == end) return values;
    double value = 0.0;
    const char* const next = convertPlainDecimal(p, end, value);
    if (next == nullptr || (next != end && !isBlank(*next) && *next != ',')) break;
    values.push_back(value);
    p = next;
  }
  values.clear();

  std::istringstream stream(commasToBlanks(text));
  stream.imbue(std::locale::classic());
  double value = 0.0;
  while (stream >> value) values.push_back(value);
  return values;
}

std::string quoted(const std::string& text) {
  return "\"" + text + "\"";
}

}  // namespace epson::numbers
