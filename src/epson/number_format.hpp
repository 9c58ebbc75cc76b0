// Number text sent to the controller: classic locale, "." as decimal point, no grouping.
#pragma once

#include <string>
#include <vector>

namespace epson::format {

/// General notation with `significant` digits, as printf's %.<n>g: 0.1 with 17 digits is
/// "0.10000000000000001", -0.0 is "-0", 100 is "100".
std::string general(double value, int significant);

/// Fixed notation with `decimals` digits after the point: 250 with 17 is "250.00000000000000000".
std::string fixed(double value, int decimals);

/// "XY(" + the values in general notation, joined by bare commas, + ")".
std::string xyPoint(const std::vector<double>& values, int significant);

/// The values in general notation joined by bare commas.
std::string joined(const std::vector<double>& values, int significant);

}  // namespace epson::format
