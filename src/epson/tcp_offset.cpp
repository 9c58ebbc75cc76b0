// TCP offset override: the host's TCP, in metres and Euler-XYZ degrees, written into the reserved
// Tool slot and selected, with the user's Tool state saved once and put back on restore.
#include "epson/tcp_offset.hpp"

#include <cmath>
#include <cstddef>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "epson/core_helpers.hpp"
#include "epson/errors.hpp"
#include "epson/numbers.hpp"
#include "epson/tool_slots.hpp"

namespace epson::ops {

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

std::string reservedSlotPoint(const std::vector<double>& native) {
  return numbers::xyPoint(native, kPointDigits);
}

}  // namespace

std::vector<double> getTcpOffset(SessionCore& session) {
  const ConnectionLock lock(session);
  const std::int32_t tool = getToolLocked(session, lock.held());
  if (tool == 0) return std::vector<double>(kPoseValues, 0.0);  // the flange itself
  return toHost(getToolDefinitionLocked(session, lock.held(), tool));
}

void setTcpOffset(SessionCore& session, TcpOffsetState& state, const std::vector<double>& pose) {
  // Before the lock: an invalid call never waits for a running motion.
  if (pose.size() != kPoseValues) {
    throw std::invalid_argument("TCP offset must contain exactly 6 values");
  }
  const std::vector<double> native = toNative(pose);
  // Checked after the conversion too: a huge finite metre value overflows to infinity in mm.
  if (!allFinite(pose) || !allFinite(native)) {
    throw std::invalid_argument("TCP offset values must be finite");
  }
  const ConnectionLock lock(session);

  if (!state.active) {
    // Saved only as a whole, so a failed save leaves nothing half-recorded.
    const std::int32_t tool = getToolLocked(session, lock.held());
    std::optional<std::vector<double>> definition;
    if (isToolDefinedLocked(session, lock.held(), kReservedTcpTool)) {
      definition = getToolDefinitionLocked(session, lock.held(), kReservedTcpTool);
    }
    state.savedTool = tool;
    state.savedDefinition = std::move(definition);
    state.active = true;
  }

  tlSetLocked(session, lock.held(), kReservedTcpTool, reservedSlotPoint(native));
  setToolLocked(session, lock.held(), kReservedTcpTool);

  const std::vector<double> readback =
      getToolDefinitionLocked(session, lock.held(), kReservedTcpTool);
  bool stored = readback.size() == native.size();
  for (std::size_t i = 0; stored && i < native.size(); ++i) {
    // Written so that a NaN readback fails.
    stored = std::fabs(readback[i] - native[i]) <= kVerifyTolerance;
  }
  if (!stored || getToolLocked(session, lock.held()) != kReservedTcpTool) {
    throw EpsonError("Failed to verify the Epson controller TCP offset");
  }
}

void restoreTcpOffset(SessionCore& session, TcpOffsetState& state) {
  underLock(session, restoreTcpOffsetLocked, state);
}

void restoreTcpOffsetLocked(SessionCore& session, const ConnectionHeld& held,
                            TcpOffsetState& state) {
  if (!state.active) return;
  if (state.savedDefinition) {
    tlSetLocked(session, held, kReservedTcpTool, reservedSlotPoint(*state.savedDefinition));
  } else if (isToolDefinedLocked(session, held, kReservedTcpTool)) {
    tlClearLocked(session, held, kReservedTcpTool);
  }
  setToolLocked(session, held, state.savedTool.value());
  // Forgotten only now: after a failure a later call repeats the whole sequence.
  state.discard();
}

void TcpOffsetState::discard() {
  savedTool.reset();
  savedDefinition.reset();
  active = false;
}

}  // namespace epson::ops
