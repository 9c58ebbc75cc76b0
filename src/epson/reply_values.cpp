#include "epson/reply_values.hpp"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <locale>
#include <sstream>
#include <stdexcept>

namespace epson::reply {

std::int64_t parseControllerInteger(const std::string& text) {
  const std::locale& classic = std::locale::classic();
  std::string normalised;
  normalised.reserve(text.size());
  for (const char c : text) {
    if (std::isspace(c, classic)) continue;
    normalised.push_back(std::tolower(c, classic));
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
    throw std::runtime_error("Failed to parse controller status value as an integer: " +
                             quoted(text));
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
  std::istringstream stream(commasToBlanks(text));
  stream.imbue(std::locale::classic());
  std::vector<double> values;
  double value = 0.0;
  while (stream >> value) values.push_back(value);
  return values;
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace epson::reply
