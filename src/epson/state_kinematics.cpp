// Read-only queries: joint angles and pose in one request, and inverse kinematics on the
// controller with PAgl.
#include <chrono>
#include <cmath>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "epson/command_session.hpp"
#include "epson/number_format.hpp"
#include "epson/reply_values.hpp"
#include "epson/value_stream.hpp"

namespace epson {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kStateLockWait{250};
constexpr std::size_t kStateValueCount = 12;
constexpr const char* kStateStatement =
    "Print Agl(1),Agl(2),Agl(3),Agl(4),Agl(5),Agl(6),"
    "CX(Here),CY(Here),CZ(Here),CU(Here),CV(Here),CW(Here)";
constexpr int kPointDigits = 17;
constexpr int kJointCount = 6;

Clock::time_point deadlineAfter(std::chrono::milliseconds wait) {
  const Clock::time_point now = Clock::now();
  if (wait > Clock::time_point::max() - now) return Clock::time_point::max();
  return now + wait;
}

bool allFinite(const std::vector<double>& values) {
  for (const double value : values) {
    if (!std::isfinite(value)) return false;
  }
  return true;
}

}  // namespace

std::vector<double> CommandChannel::Impl::getState() {
  // A poller must never block behind a motion that may hold the connection for minutes.
  if (motionInProgress.load()) {
    throw std::runtime_error(
        "getState() skipped: a motion command is in progress and holds the connection until "
        "the move completes");
  }
  std::unique_lock<std::timed_mutex> lock(connectionMutex, deadlineAfter(kStateLockWait));
  if (!lock.owns_lock()) {
    throw std::runtime_error("getState() timed out waiting for the connection");
  }

  const std::string output = execute(kStateStatement);
  std::vector<double> values = reply::leadingDoubles(output);
  if (values.size() != kStateValueCount) {
    throw std::runtime_error("Failed to parse robot state. Expected " +
                             std::to_string(kStateValueCount) + " values, received " +
                             std::to_string(values.size()) + ": " + reply::quoted(output));
  }
  return values;
}

std::vector<double> CommandChannel::Impl::inverseKinematics(
    const std::vector<double>& cartesianPose, bool leastJointMotion,
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

  std::string point = format::xyPoint(cartesianPose, kPointDigits);
  if (leastJointMotion) {
    const std::string from =
        reference ? "AglToPls(" + format::joined(*reference, kPointDigits) + ")" : "Here";
    point = "LJM(" + point + "," + from + ")";
  }

  std::lock_guard<std::timed_mutex> lock(connectionMutex);

  std::vector<double> joints;
  joints.reserve(kJointCount);
  for (int joint = 1; joint <= kJointCount; ++joint) {
    const std::string statement = "Print PAgl(" + point + "," + std::to_string(joint) + ")";
    std::string output;
    try {
      output = execute(statement);
    } catch (const std::exception& error) {
      throw std::runtime_error("Epson controller IK query failed for joint " +
                               std::to_string(joint) + " (" + statement + "): " + error.what());
    }
    std::istringstream stream = reply::classicInput(output);
    double angle = 0.0;
    if (!(stream >> angle && reply::onlyBlanksLeft(stream) && std::isfinite(angle))) {
      throw std::runtime_error("Failed to parse Epson controller IK response for joint " +
                               std::to_string(joint) + ": " + reply::quoted(output));
    }
    joints.push_back(angle);
  }
  return joints;
}

}  // namespace epson
