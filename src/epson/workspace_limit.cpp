// The Cartesian workspace limit: XYLim in strict mode, set and verified by read-back.
#include <cmath>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "epson/command_session.hpp"
#include "epson/number_format.hpp"
#include "epson/reply_values.hpp"
#include "epson/value_stream.hpp"
#include "epson/wire_protocol.hpp"

namespace epson {

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

void CommandChannel::Impl::addSafetyCuboid(const std::vector<double>& minCornerMm,
                                           const std::vector<double>& maxCornerMm) {
  // Before the lock: an invalid call never waits for a running motion.
  checkCorners(minCornerMm, maxCornerMm);
  std::lock_guard<std::timed_mutex> lock(connectionMutex);

  // XYLim takes min X, max X, min Y, max Y, min Z, max Z; the read-back lists them the same way.
  const std::vector<double> expected = {minCornerMm[0], maxCornerMm[0], minCornerMm[1],
                                        maxCornerMm[1], minCornerMm[2], maxCornerMm[2]};
  const std::string limitStatement = "XYLim " + format::joined(expected, kLimitDigits);

  command(kStrictModeLine, kCommandTimeoutMs);
  command(wire::executeRequest(limitStatement), kCommandTimeoutMs);

  const std::string modeOutput = execute(kModeQuery);
  std::istringstream modeStream = reply::classicInput(modeOutput);
  std::int32_t mode = 0;
  if (!(modeStream >> mode && reply::onlyBlanksLeft(modeStream) && mode == 1)) {
    throw std::runtime_error("Epson controller did not verify XYLIM_STRICT: " +
                             reply::quoted(modeOutput));
  }

  const std::string boundsOutput = execute(kBoundsQuery);
  std::istringstream boundsStream = reply::classicInput(reply::commasToBlanks(boundsOutput));
  for (const double wanted : expected) {
    double value = 0.0;
    if (!(boundsStream >> value) || !std::isfinite(value) ||
        std::fabs(value - wanted) > kReadBackToleranceMm) {
      throw std::runtime_error("Epson controller did not verify XYLim bounds: " +
                               reply::quoted(boundsOutput));
    }
  }
  if (!reply::onlyBlanksLeft(boundsStream)) {
    throw std::runtime_error("Epson controller returned extra XYLim bounds: " +
                             reply::quoted(boundsOutput));
  }
}

}  // namespace epson
