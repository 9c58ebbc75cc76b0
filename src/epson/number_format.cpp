#include "epson/number_format.hpp"

#include <iomanip>
#include <locale>
#include <sstream>

namespace epson::format {

namespace {

std::ostringstream classicStream() {
  std::ostringstream stream;
  stream.imbue(std::locale::classic());
  return stream;
}

}  // namespace

std::string general(double value, int significant) {
  std::ostringstream stream = classicStream();
  stream << std::setprecision(significant) << value;
  return stream.str();
}

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

}  // namespace epson::format
