// The Cartesian workspace limit: XYLim in strict mode, set and verified by read-back.
#pragma once

#include <vector>

#include "epson/session_core.hpp"

namespace epson::ops {

void addSafetyCuboid(SessionCore& session, const std::vector<double>& minCornerMm,
                     const std::vector<double>& maxCornerMm);

}  // namespace epson::ops
