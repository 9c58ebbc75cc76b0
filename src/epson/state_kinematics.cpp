// Read-only queries: joint angles and pose in one request, and inverse kinematics on the
// controller with PAgl.
#include "epson/state_kinematics.hpp"

#include <chrono>
#include <cmath>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "epson/core_helpers.hpp"
#include "epson/errors.hpp"
#include "epson/numbers.hpp"

namespace epson::ops {

namespace {

constexpr std::chrono::milliseconds kStateLockWait{250};
constexpr std::size_t kStateValueCount = 12;
constexpr const char* kStateStatement =
    "Print Agl(1),Agl(2),Agl(3),Agl(4),Agl(5),Agl(6),"
    "CX(Here),CY(Here),CZ(Here),CU(Here),CV(Here),CW(Here)";
constexpr int kPointDigits = 17;
constexpr int kJointCount = 6;

}  // namespace

std::vector<double> getState(SessionCore& session) {
  // A poller must never block behind a motion that may hold the connection for minutes.
  if (session.motionInProgress()) {
    throw EpsonError(
        "getState() skipped: a motion command is in progress and holds the connection until "
        "the move completes");
  }
  const ConnectionLock lock(session, kStateLockWait);
  if (!lock.ownsLock()) {
    throw EpsonTimeout("getState() timed out waiting for the connection");
  }

  const std::string output = session.execute(lock.held(), kStateStatement);
  std::vector<double> values = numbers::leadingDoubles(output);
  if (values.size() != kStateValueCount) {
    throw ProtocolError("Failed to parse robot state. Expected " +
                        std::to_string(kStateValueCount) + " values, received " +
                        std::to_string(values.size()) + ": " + numbers::quoted(output));
  }
  return values;
}

std::vector<double> inverseKinematics(SessionCore& session,
                                      const std::vector<double>& cartesianPose,
                                      bool leastJointMotion,
                                      const std::optional<std::vector<double>>& reference) {
  // Everything is checked and built before the lock: an invalid call never waits for a motion.
  if (cartesianPose.size() != 6) {
    throw std::invalid_argument("cartesian_pose must contain exactly 6 values [X, Y, Z, U, V, W]");
  }
  if (!allFinite(cartesianPose)) {
    throw std::invalid_argument("cartesian_pose must contain only finite values");
  }
  if (reference) {
    if (!leastJointMotion) {
      throw std::invalid_argument("reference_joint_positions requires least_joint_motion");
    }
    if (reference->size() != 6) {
      throw std::invalid_argument("reference_joint_positions must contain exactly 6 values");
    }
    if (!allFinite(*reference)) {
      throw std::invalid_argument("reference_joint_positions must contain only finite values");
    }
  }

  std::string point = numbers::xyPoint(cartesianPose, kPointDigits);
  if (leastJointMotion) {
    const std::string from =
        reference ? "AglToPls(" + numbers::joined(*reference, kPointDigits) + ")" : "Here";
    point = "LJM(" + point + "," + from + ")";
  }

  const ConnectionLock lock(session);

  std::vector<double> joints;
  joints.reserve(kJointCount);
  for (int joint = 1; joint <= kJointCount; ++joint) {
    const std::string statement = "Print PAgl(" + point + "," + std::to_string(joint) + ")";
    std::string output;
    try {
      output = session.execute(lock.held(), statement);
    } catch (const std::exception& error) {
      throw EpsonError("Epson controller IK query failed for joint " + std::to_string(joint) +
                       " (" + statement + "): " + error.what());
    }
    std::istringstream stream = numbers::classicInput(output);
    double angle = 0.0;
    if (!(stream >> angle && numbers::onlyBlanksLeft(stream) && std::isfinite(angle))) {
      throw ProtocolError("Failed to parse Epson controller IK response for joint " +
                          std::to_string(joint) + ": " + numbers::quoted(output));
    }
    joints.push_back(angle);
  }
  return joints;
}

}  // namespace epson::ops
