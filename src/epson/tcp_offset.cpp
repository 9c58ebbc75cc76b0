// TCP offset override: the host's TCP, in metres and Euler-XYZ degrees, written into the reserved
// Tool slot and selected, with the user's Tool state saved once and put back on restore.
#include <cmath>
#include <cstddef>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "epson/command_session.hpp"
#include "epson/number_format.hpp"

namespace epson {

namespace {

constexpr std::size_t kPoseValues = 6;
constexpr int kPointDigits = 15;
// Millimetres for X, Y, Z and degrees for U, V, W: what the controller's printed readback of the
// slot may differ by.
constexpr double kVerifyTolerance = 0.0001;

// Host [x, y, z, rx, ry, rz] (m, deg) to native [X, Y, Z, U, V, W] (mm, deg). The angles are only
// reordered: the host's rotation about z is the controller's U, about x its W.
std::vector<double> toNative(const std::vector<double>& pose) {
  return {pose[0] * 1000, pose[1] * 1000, pose[2] * 1000, pose[5], pose[4], pose[3]};
}

std::vector<double> toHost(const std::vector<double>& tool) {
  return {tool[0] / 1000, tool[1] / 1000, tool[2] / 1000, tool[5], tool[4], tool[3]};
}

bool allFinite(const std::vector<double>& values) {
  for (const double value : values) {
    if (!std::isfinite(value)) return false;
  }
  return true;
}

std::string reservedSlotPoint(const std::vector<double>& native) {
  return format::xyPoint(native, kPointDigits);
}

}  // namespace

std::vector<double> CommandChannel::Impl::getTcpOffset() {
  std::lock_guard<std::timed_mutex> lock(connectionMutex);
  const std::int32_t tool = getToolLocked();
  if (tool == 0) return std::vector<double>(kPoseValues, 0.0);  // the flange itself
  return toHost(getToolDefinitionLocked(tool));
}

void CommandChannel::Impl::setTcpOffset(const std::vector<double>& pose) {
  // Before the lock: an invalid call never waits for a running motion.
  if (pose.size() != kPoseValues) {
    throw std::invalid_argument("TCP offset must contain exactly 6 values");
  }
  const std::vector<double> native = toNative(pose);
  // Checked after the conversion too: a huge finite metre value overflows to infinity in mm.
  if (!allFinite(pose) || !allFinite(native)) {
    throw std::invalid_argument("TCP offset values must be finite");
  }
  std::lock_guard<std::timed_mutex> lock(connectionMutex);

  if (!tcpOverrideActive) {
    // Saved only as a whole, so a failed save leaves nothing half-recorded.
    const std::int32_t tool = getToolLocked();
    std::optional<std::vector<double>> definition;
    if (isToolDefinedLocked(kReservedTcpTool)) {
      definition = getToolDefinitionLocked(kReservedTcpTool);
    }
    savedTool = tool;
    savedToolDefinition = std::move(definition);
    tcpOverrideActive = true;
  }

  tlSetLocked(kReservedTcpTool, reservedSlotPoint(native));
  setToolLocked(kReservedTcpTool);

  const std::vector<double> readback = getToolDefinitionLocked(kReservedTcpTool);
  bool stored = readback.size() == native.size();
  for (std::size_t i = 0; stored && i < native.size(); ++i) {
    // Written so that a NaN readback fails.
    stored = std::fabs(readback[i] - native[i]) <= kVerifyTolerance;
  }
  if (!stored || getToolLocked() != kReservedTcpTool) {
    throw std::runtime_error("Failed to verify the Epson controller TCP offset");
  }
}

void CommandChannel::Impl::restoreTcpOffset() {
  std::lock_guard<std::timed_mutex> lock(connectionMutex);
  restoreTcpOffsetLocked();
}

void CommandChannel::Impl::restoreTcpOffsetLocked() {
  if (!tcpOverrideActive) return;
  if (savedToolDefinition) {
    tlSetLocked(kReservedTcpTool, reservedSlotPoint(*savedToolDefinition));
  } else if (isToolDefinedLocked(kReservedTcpTool)) {
    tlClearLocked(kReservedTcpTool);
  }
  setToolLocked(savedTool.value());
  // Forgotten only now: after a failure a later call repeats the whole sequence.
  discardTcpOffsetState();
}

void CommandChannel::Impl::discardTcpOffsetState() {
  savedTool.reset();
  savedToolDefinition.reset();
  tcpOverrideActive = false;
}

}  // namespace epson
