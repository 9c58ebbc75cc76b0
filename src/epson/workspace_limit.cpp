// The Cartesian workspace limit: XYLim in strict mode, set and verified by read-back.
#include "epson/workspace_limit.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "epson/errors.hpp"
#include "epson/numbers.hpp"
#include "epson/wire_protocol.hpp"

namespace epson::ops {

namespace {

constexpr int kLimitDigits = 17;
// The controller may store fewer digits than we send.
constexpr double kReadBackToleranceMm = 0.005;
constexpr const char* kStrictModeLine = "$Execute,\"XYLimMode 1\"";
constexpr const char* kModeQuery = "Print XYLimMode";
constexpr const char* kBoundsQuery =
    "Print CX(XYLim(1)),CX(XYLim(2)),CY(XYLim(1)),CY(XYLim(2)),CZ(XYLim(1)),CZ(XYLim(2))";

void checkCorners(const std::vector<double>& minCorner, const std::vector<double>& maxCorner) {
  if (minCorner.size() != 3 || maxCorner.size() != 3) {
    throw std::invalid_argument("Safety cuboid corners must each have 3 coordinates");
  }
  for (std::size_t axis = 0; axis < 3; ++axis) {
    const double low = minCorner[axis];
    const double high = maxCorner[axis];
    if (!std::isfinite(low) || !std::isfinite(high) || !(low < high)) {
      throw std::invalid_argument(
          "Safety cuboid corners must be finite and strictly ordered on every axis");
    }
  }
}

}  // namespace

void addSafetyCuboid(SessionCore& session, const std::vector<double>& minCornerMm,
                     const std::vector<double>& maxCornerMm) {
  // Before the lock: an invalid call never waits for a running motion.
  checkCorners(minCornerMm, maxCornerMm);
  const ConnectionLock lock(session);

  // XYLim takes min X, max X, min Y, max Y, min Z, max Z; the read-back lists them the same way.
  const std::vector<double> expected = {minCornerMm[0], maxCornerMm[0], minCornerMm[1],
                                        maxCornerMm[1], minCornerMm[2], maxCornerMm[2]};
  const std::string limitStatement = "XYLim " + numbers::joined(expected, kLimitDigits);

  session.command(lock.held(), kStrictModeLine, kCommandTimeoutMs);
  session.command(lock.held(), wire::executeRequest(limitStatement), kCommandTimeoutMs);

  const std::string modeOutput = session.execute(lock.held(), kModeQuery);
  std::istringstream modeStream = numbers::classicInput(modeOutput);
  std::int32_t mode = 0;
  if (!(modeStream >> mode && numbers::onlyBlanksLeft(modeStream) && mode == 1)) {
    throw EpsonError("Epson controller did not verify XYLIM_STRICT: " +
                     numbers::quoted(modeOutput));
  }

  const std::string boundsOutput = session.execute(lock.held(), kBoundsQuery);
  std::istringstream boundsStream = numbers::classicInput(numbers::commasToBlanks(boundsOutput));
  for (const double wanted : expected) {
    double value = 0.0;
    if (!(boundsStream >> value) || !std::isfinite(value) ||
        std::fabs(value - wanted) > kReadBackToleranceMm) {
      throw EpsonError("Epson controller did not verify XYLim bounds: " +
                       numbers::quoted(boundsOutput));
    }
  }
  if (!numbers::onlyBlanksLeft(boundsStream)) {
    throw EpsonError("Epson controller returned extra XYLim bounds: " +
                     numbers::quoted(boundsOutput));
  }
}

std::optional<SafetyCuboid> getSafetyCuboid(SessionCore& session) {
  const ConnectionLock lock(session);
  const std::string modeOutput = session.execute(lock.held(), kModeQuery);
  const std::string boundsOutput = session.execute(lock.held(), kBoundsQuery);
  std::istringstream modeStream = numbers::classicInput(modeOutput);
  std::int32_t mode = 0;
  if (!(modeStream >> mode && numbers::onlyBlanksLeft(modeStream))) {
    throw ProtocolError("Failed to parse XYLimMode response: " + numbers::quoted(modeOutput));
  }
  std::istringstream boundsStream = numbers::classicInput(numbers::commasToBlanks(boundsOutput));
  std::vector<double> bounds(6);
  for (double& value : bounds) {
    if (!(boundsStream >> value) || !std::isfinite(value)) {
      throw ProtocolError("Failed to parse XYLim bounds: " + numbers::quoted(boundsOutput));
    }
  }
  if (!numbers::onlyBlanksLeft(boundsStream)) {
    throw ProtocolError("Failed to parse XYLim bounds: " + numbers::quoted(boundsOutput));
  }
  if (std::all_of(bounds.begin(), bounds.end(), [](double value) { return value == 0.0; })) {
    return std::nullopt;
  }
  // Read back as min X, max X, min Y, max Y, min Z, max Z.
  return SafetyCuboid{
      {bounds[0], bounds[2], bounds[4]}, {bounds[1], bounds[3], bounds[5]}, mode == 1};
}

}  // namespace epson::ops
