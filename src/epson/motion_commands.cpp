// Go and Move: one motion statement, optionally preceded by its speed and acceleration settings,
// sent while the motion holds the connection and marks the session as moving.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "epson/caller_text.hpp"
#include "epson/command_session.hpp"
#include "epson/number_format.hpp"
#include "epson/wire_protocol.hpp"

namespace epson {

namespace {

constexpr int kSpeedDecimals = 17;

/// Holds the connection and the moving flag for one motion. Pause and continue read the flag to
/// reach the controller past the held connection, so it is cleared before the lock is released.
class MotionHold {
 public:
  explicit MotionHold(CommandChannel::Impl& session)
      : lock_(session.connectionMutex), session_(session) {
    session_.beginMotion();
  }
  ~MotionHold() { session_.endMotion(); }  // lock_ is released after this body
  MotionHold(const MotionHold&) = delete;
  MotionHold& operator=(const MotionHold&) = delete;

 private:
  std::lock_guard<std::timed_mutex> lock_;
  CommandChannel::Impl& session_;
};

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
  std::string text = format::fixed(value, kSpeedDecimals);
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

}  // namespace

void CommandChannel::Impl::go(const std::string& destination, bool cp, bool ljm,
                              std::optional<std::int32_t> orientationFlag,
                              const std::optional<std::string>& searchExpression,
                              const std::optional<std::string>& parallelProcessing, bool sync,
                              std::optional<std::int32_t> speedPercent,
                              std::optional<std::int32_t> accelerationPercent,
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
  const std::string motion = wire::executeRequest(statement);

  MotionHold hold(*this);
  for (const std::string& line : settings) command(line, kCommandTimeoutMs);
  // The reply comes when the motion has completed.
  command(motion, kMotionTimeoutMs, ReplyWait::kMotion);
}

void CommandChannel::Impl::move(const std::string& destination, bool rot, bool ecp, bool cp,
                                const std::optional<std::string>& searchExpression,
                                const std::optional<std::string>& parallelProcessing, bool sync,
                                std::optional<double> speedMmS,
                                std::optional<double> accelerationMmS2) {
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
  const std::string motion = wire::executeRequest(statement);

  MotionHold hold(*this);
  for (const std::string& line : settings) command(line, kCommandTimeoutMs);
  command(motion, kMotionTimeoutMs, ReplyWait::kMotion);
}

}  // namespace epson
