// Read-only queries: joint angles and pose in one request, and inverse kinematics on the
// controller with PAgl.
#pragma once

#include <optional>
#include <vector>

#include "epson/session_core.hpp"

namespace epson::ops {

/// Joints J1..J6 in degrees, then the native pose [X, Y, Z, U, V, W]. Refused at once while a
/// motion holds the connection; waits at most 250 ms for another call.
std::vector<double> getState(SessionCore& session);
std::vector<double> inverseKinematics(SessionCore& session,
                                      const std::vector<double>& cartesianPose,
                                      bool leastJointMotion,
                                      const std::optional<std::vector<double>>& reference);

}  // namespace epson::ops
