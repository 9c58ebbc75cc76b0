// The Cartesian workspace limit: XYLim in strict mode, set and verified by read-back.
#pragma once

#include <optional>
#include <vector>

#include "epson/command_channel.hpp"
#include "epson/session_core.hpp"

namespace epson::ops {

void addSafetyCuboid(SessionCore& session, const std::vector<double>& minCornerMm,
                     const std::vector<double>& maxCornerMm);

/// The controller's XYLim box as [min X, min Y, min Z] and [max X, max Y, max Z] with XYLimMode;
/// nullopt when no box is set (all bounds 0, the controller's "no limit").
std::optional<SafetyCuboid> getSafetyCuboid(SessionCore& session);

}  // namespace epson::ops
