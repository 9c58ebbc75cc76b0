// Controller housekeeping: status words, Emergency Stop, reset, motors, pause and continue, servo
// power mode and point-to-point motion limits.
#include "epson/controller_status.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <locale>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "epson/errors.hpp"
#include "epson/numbers.hpp"
#include "epson/status_keys.hpp"
#include "epson/wire_protocol.hpp"

namespace epson::ops {

namespace {

constexpr const char* kStatusStatement =
    "Print Stat(0),SysErr,EStopOn,SafetyOn,TeachOn,CtrlDev,RobotInfo(0),CtrlInfo(1)";
constexpr std::size_t kStatusFieldCount = 8;
// Keys in the order of the values in kStatusStatement.
constexpr std::array<std::string_view, kStatusFieldCount> kStatusKeys = {
    status_key::kStat,          status_key::kSystemError, status_key::kEmergencyStopped,
    status_key::kSafeguardOpen, status_key::kTeachMode,   status_key::kControlDevice,
    status_key::kRobotInfo,     status_key::kCtrlInfo};

constexpr const char* kResetLine = "$Execute,\"Reset\"";
constexpr const char* kMotorOnLine = "$Execute,\"Motor On\"";
constexpr const char* kMotorOffLine = "$Execute,\"Motor Off\"";
constexpr const char* kPowerQuery = "Print Power";
constexpr const char* kAccelMaxQuery = "Print AccelMax(1),AccelMax(2)";
constexpr std::int32_t kPtpSpeedPercent = 100;

/// The text without any white space and in lower case, as the integer parser sees it.
std::string blanksDroppedLowerCase(const std::string& text) {
  const std::locale& classic = std::locale::classic();
  std::string result;
  for (const char c : text) {
    if (!std::isspace(c, classic)) result.push_back(std::tolower(c, classic));
  }
  return result;
}

}  // namespace

ControllerStatus getControllerStatus(SessionCore& session) {
  const ConnectionLock lock(session);
  const std::string output = session.execute(lock.held(), kStatusStatement);

  std::istringstream stream = numbers::classicInput(numbers::commasToBlanks(output));
  std::vector<std::string> tokens;
  for (std::string token; stream >> token;) tokens.push_back(token);
  if (tokens.size() != kStatusFieldCount) {
    throw ProtocolError("Failed to parse controller status. Expected " +
                        std::to_string(kStatusFieldCount) + " values, received " +
                        std::to_string(tokens.size()) + ": " + numbers::quoted(output));
  }
  ControllerStatus status;
  for (std::size_t i = 0; i < kStatusFieldCount; ++i) {
    status[std::string(kStatusKeys[i])] = numbers::parseControllerInteger(tokens[i]);
  }
  return status;
}

bool isEmergencyStopped(SessionCore& session) {
  const ConnectionLock lock(session);
  const std::string output = session.execute(lock.held(), "Print EStopOn");

  std::istringstream stream = numbers::classicInput(output);
  std::int32_t value = 0;
  if (stream >> value && numbers::onlyBlanksLeft(stream)) return value != 0;
  // Some firmware prints the Boolean as a word.
  const std::string word = blanksDroppedLowerCase(output);
  if (word == "true") return true;
  if (word == "false") return false;
  throw ProtocolError("Failed to parse EStopOn response as a Boolean: " + numbers::quoted(output));
}

void resetController(SessionCore& session) {
  const ConnectionLock lock(session);
  session.command(lock.held(), kResetLine, kCommandTimeoutMs);
}

void motorOn(SessionCore& session, MotorState& motors) {
  const ConnectionLock lock(session);
  try {
    session.command(lock.held(), kMotorOnLine, kCommandTimeoutMs);
  } catch (const std::exception& error) {
    motors.motorOnError = error.what();
    throw;
  }
  motors.onBySession = true;
  motors.motorOnError.clear();
}

void motorOff(SessionCore& session, MotorState& motors) {
  const ConnectionLock lock(session);
  motorOffLocked(session, lock.held());
  motors.onBySession = false;
}

void motorOffLocked(SessionCore& session, const ConnectionHeld& held) {
  session.command(held, kMotorOffLine, kCommandTimeoutMs);
}

std::string motorOnErrorText(SessionCore& session, const MotorState& motors) {
  const ConnectionLock lock(session);
  return motors.motorOnError;
}

void pause(SessionCore& session) {
  session.motionControl("$Pause");
}

void continueMotion(SessionCore& session) {
  session.motionControl("$Continue");
}

void abortMotion(SessionCore& session) {
  // Queued behind a pause or continue in flight rather than refused: a stop must get through.
  session.motionControl(wire::kAbortRequest, true);
}

EpsonPowerMode getPowerMode(SessionCore& session) {
  return underLock(session, getPowerModeLocked);
}

EpsonPowerMode getPowerModeLocked(SessionCore& session, const ConnectionHeld& held) {
  const std::int64_t value = numbers::parseControllerInteger(session.execute(held, kPowerQuery));
  if (value == 0) return EpsonPowerMode::LOW;
  if (value == 1) return EpsonPowerMode::HIGH;
  throw ProtocolError("Epson controller returned an invalid Power mode value: " +
                      std::to_string(value));
}

void setPowerMode(SessionCore& session, EpsonPowerMode mode) {
  std::string word;
  switch (mode) {
    case EpsonPowerMode::LOW:
      word = "Low";
      break;
    case EpsonPowerMode::HIGH:
      word = "High";
      break;
  }
  if (word.empty()) throw std::invalid_argument("Unknown Epson power mode");
  const ConnectionLock lock(session);

  session.command(lock.held(), "$Execute,\"Power " + word + "\"", kCommandTimeoutMs);
  // Set and read-back under one hold of the lock: nothing else may change the mode in between.
  if (getPowerModeLocked(session, lock.held()) != mode) {
    throw EpsonError("Epson controller did not enter Power " + word + " mode");
  }
}

PtpMotionLimits getPtpMotionLimits(SessionCore& session) {
  const ConnectionLock lock(session);
  const std::string output = session.execute(lock.held(), kAccelMaxQuery);

  std::istringstream stream = numbers::classicInput(numbers::commasToBlanks(output));
  std::int64_t acceleration = 0;
  std::int64_t deceleration = 0;
  const bool read = stream >> acceleration >> deceleration && numbers::onlyBlanksLeft(stream);
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  if (!read || acceleration < 1 || acceleration > kMax || deceleration < 1 || deceleration > kMax) {
    throw ProtocolError("Failed to parse positive AccelMax limits from Epson controller: " +
                        numbers::quoted(output));
  }
  PtpMotionLimits limits;
  limits.speed_percent = kPtpSpeedPercent;
  limits.acceleration_percent = static_cast<std::int32_t>(acceleration);
  limits.deceleration_percent = static_cast<std::int32_t>(deceleration);
  return limits;
}

}  // namespace epson::ops
