// Go and Move: one motion statement, optionally preceded by its speed and acceleration settings,
// sent while the motion holds the connection and marks the session as moving.
#include "epson/motion_commands.hpp"

#include <cmath>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "epson/caller_text.hpp"
#include "epson/numbers.hpp"
#include "epson/wire_protocol.hpp"

namespace epson::ops {

namespace {

constexpr int kSpeedDecimals = 17;

void checkDestination(const std::string& destination, const std::string& motion) {
  if (destination.empty()) {
    throw std::invalid_argument(motion + " destination must not be empty");
  }
  checkVerbatimText(destination, motion + " destination");
}

void checkAtLeastOne(const std::optional<std::int32_t>& value, const char* name) {
  if (value && *value < 1) throw std::invalid_argument(std::string(name) + " must be at least 1");
}

/// The text a SpeedS or AccelS setting is sent as. A positive value below the last decimal would
/// reach the controller as 0, which is not what the caller asked for.
std::string settingText(double value, const char* name) {
  if (!(std::isfinite(value) && value > 0.0)) {
    throw std::invalid_argument(std::string(name) + " must be finite and positive");
  }
  std::string text = numbers::fixed(value, kSpeedDecimals);
  if (text.find_first_of("123456789") == std::string::npos) {
    throw std::invalid_argument(std::string(name) + " is too small to send: it would read 0");
  }
  return text;
}

/// The modifiers Go and Move share, in the order SPEL+ takes them.
std::string commonTail(const std::optional<std::string>& searchExpression,
                       const std::optional<std::string>& parallelProcessing, bool sync) {
  std::string tail;
  if (searchExpression) {
    if (searchExpression->empty()) {
      throw std::invalid_argument("search_expression must not be empty");
    }
    checkVerbatimText(*searchExpression, "search_expression");
    tail += " " + *searchExpression;
  }
  if (parallelProcessing) {
    if (parallelProcessing->empty()) {
      throw std::invalid_argument("parallel_processing must not be empty");
    }
    checkVerbatimText(*parallelProcessing, "parallel_processing");
    tail += " !" + *parallelProcessing + "!";
  }
  if (sync) tail += " SYNC";
  return tail;
}

/// Sends the settings lines, then the motion statement, under one hold of the connection marked
/// as moving; the statement's reply comes when the motion has completed.
void runMotion(SessionCore& session, const std::vector<std::string>& settings,
               const std::string& motion) {
  const MotionLock hold(session);
  for (const std::string& line : settings) {
    session.command(hold.held(), line, kCommandTimeoutMs);
  }
  session.command(hold.held(), motion, kMotionTimeoutMs, ReplyWait::kMotion);
}

}  // namespace

void go(SessionCore& session, const std::string& destination, bool cp, bool ljm,
        std::optional<std::int32_t> orientationFlag,
        const std::optional<std::string>& searchExpression,
        const std::optional<std::string>& parallelProcessing, bool sync,
        std::optional<std::int32_t> speedPercent, std::optional<std::int32_t> accelerationPercent,
        std::optional<std::int32_t> decelerationPercent) {
  // Everything is checked and built before the hold: a refused call neither waits for a running
  // motion nor sends anything.
  checkDestination(destination, "Go");
  if (orientationFlag && !ljm) {
    throw std::invalid_argument("orientation_flag can only be used when LJM is enabled");
  }
  if (speedPercent && *speedPercent > 100) {
    throw std::invalid_argument("speed_percent must be between 1 and 100");
  }
  checkAtLeastOne(speedPercent, "speed_percent");
  checkAtLeastOne(accelerationPercent, "acceleration_percent");
  checkAtLeastOne(decelerationPercent, "deceleration_percent");
  if (decelerationPercent && !accelerationPercent) {
    throw std::invalid_argument("deceleration_percent requires acceleration_percent");
  }

  std::string statement = "Go " + destination;
  if (cp) statement += " CP";
  if (ljm) {
    statement += " LJM";
    if (orientationFlag) statement += " " + std::to_string(*orientationFlag);
  }
  statement += commonTail(searchExpression, parallelProcessing, sync);

  std::vector<std::string> settings;
  if (speedPercent) {
    settings.push_back(wire::executeRequest("Speed " + std::to_string(*speedPercent)));
  }
  if (accelerationPercent) {
    const std::int32_t deceleration = decelerationPercent.value_or(*accelerationPercent);
    settings.push_back(wire::executeRequest("Accel " + std::to_string(*accelerationPercent) + ", " +
                                            std::to_string(deceleration)));
  }
  runMotion(session, settings, wire::executeRequest(statement));
}

void move(SessionCore& session, const std::string& destination, bool rot, bool ecp, bool cp,
          const std::optional<std::string>& searchExpression,
          const std::optional<std::string>& parallelProcessing, bool sync,
          std::optional<double> speedMmS, std::optional<double> accelerationMmS2) {
  // As for Go: checked and built before the hold.
  checkDestination(destination, "Move");
  std::vector<std::string> settings;
  if (speedMmS) {
    settings.push_back(wire::executeRequest("SpeedS " + settingText(*speedMmS, "speed_mm_s")));
  }
  if (accelerationMmS2) {
    settings.push_back(
        wire::executeRequest("AccelS " + settingText(*accelerationMmS2, "acceleration_mm_s2")));
  }

  std::string statement = "Move " + destination;
  if (rot) statement += " ROT";
  if (ecp) statement += " ECP";
  if (cp) statement += " CP";
  statement += commonTail(searchExpression, parallelProcessing, sync);
  runMotion(session, settings, wire::executeRequest(statement));
}

}  // namespace epson::ops
