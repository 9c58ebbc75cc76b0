// Go and Move: one motion statement, optionally preceded by its speed and acceleration settings,
// sent while the motion holds the connection and marks the session as moving.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

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
  MotionHold(std::timed_mutex& connectionMutex, std::atomic<bool>& motionInProgress)
      : lock_(connectionMutex), motionInProgress_(motionInProgress) {
    motionInProgress_.exchange(true);
  }
  ~MotionHold() { motionInProgress_.exchange(false); }  // lock_ is released after this body
  MotionHold(const MotionHold&) = delete;
  MotionHold& operator=(const MotionHold&) = delete;

 private:
  std::lock_guard<std::timed_mutex> lock_;
  std::atomic<bool>& motionInProgress_;
};

/// The wire has no escape inside `$Execute,"..."`: a quote would end the statement early and a
/// line ending would end the request, putting the rest on the wire as a request of its own.
void checkVerbatim(const std::string& text, const std::string& what) {
  if (text.find_first_of("\"\r\n") != std::string::npos) {
    throw std::invalid_argument(what + " must not contain quotes or line endings");
  }
}

void checkDestination(const std::string& destination, const std::string& motion) {
  if (destination.empty()) {
    throw std::invalid_argument(motion + " destination must not be empty");
  }
  checkVerbatim(destination, motion + " destination");
}

void checkAtLeastOne(const std::optional<std::int32_t>& value, const char* name) {
  if (value && *value < 1) throw std::invalid_argument(std::string(name) + " must be at least 1");
}

void checkFinitePositive(const std::optional<double>& value, const char* name) {
  if (value && !(std::isfinite(*value) && *value > 0.0)) {
    throw std::invalid_argument(std::string(name) + " must be finite and positive");
  }
}

/// The modifiers Go and Move share, in the order SPEL+ takes them.
std::string commonTail(const std::optional<std::string>& searchExpression,
                       const std::optional<std::string>& parallelProcessing, bool sync) {
  std::string tail;
  if (searchExpression) {
    if (searchExpression->empty()) {
      throw std::invalid_argument("search_expression must not be empty");
    }
    checkVerbatim(*searchExpression, "search_expression");
    tail += " " + *searchExpression;
  }
  if (parallelProcessing) {
    if (parallelProcessing->empty()) {
      throw std::invalid_argument("parallel_processing must not be empty");
    }
    checkVerbatim(*parallelProcessing, "parallel_processing");
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
  MotionHold hold(connectionMutex, motionInProgress);

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

  if (speedPercent) {
    command("$Execute,\"Speed " + std::to_string(*speedPercent) + "\"", kCommandTimeoutMs);
  }
  if (accelerationPercent) {
    const std::int32_t deceleration = decelerationPercent.value_or(*accelerationPercent);
    command("$Execute,\"Accel " + std::to_string(*accelerationPercent) + ", " +
                std::to_string(deceleration) + "\"",
            kCommandTimeoutMs);
  }
  // The reply comes when the motion has completed.
  command(wire::executeRequest(statement), kMotionTimeoutMs);
}

void CommandChannel::Impl::move(const std::string& destination, bool rot, bool ecp, bool cp,
                                const std::optional<std::string>& searchExpression,
                                const std::optional<std::string>& parallelProcessing, bool sync,
                                std::optional<double> speedMmS,
                                std::optional<double> accelerationMmS2) {
  MotionHold hold(connectionMutex, motionInProgress);

  checkDestination(destination, "Move");
  checkFinitePositive(speedMmS, "speed_mm_s");
  checkFinitePositive(accelerationMmS2, "acceleration_mm_s2");

  std::string statement = "Move " + destination;
  if (rot) statement += " ROT";
  if (ecp) statement += " ECP";
  if (cp) statement += " CP";
  statement += commonTail(searchExpression, parallelProcessing, sync);

  if (speedMmS) {
    command(wire::executeRequest("SpeedS " + format::fixed(*speedMmS, kSpeedDecimals)),
            kCommandTimeoutMs);
  }
  if (accelerationMmS2) {
    command(wire::executeRequest("AccelS " + format::fixed(*accelerationMmS2, kSpeedDecimals)),
            kCommandTimeoutMs);
  }
  command(wire::executeRequest(statement), kMotionTimeoutMs);
}

}  // namespace epson
