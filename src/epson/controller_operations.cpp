// Controller housekeeping: status words, Emergency Stop, reset, motors, pause and continue, servo
// power mode and point-to-point motion limits.
#include <array>
#include <cstdint>
#include <limits>
#include <locale>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "epson/command_session.hpp"
#include "epson/reply_values.hpp"
#include "epson/value_stream.hpp"

namespace epson {

namespace {

constexpr const char* kStatusStatement =
    "Print Stat(0),SysErr,EStopOn,SafetyOn,TeachOn,CtrlDev,RobotInfo(0),CtrlInfo(1)";
constexpr std::size_t kStatusFieldCount = 8;
// Keys in the order of the values in kStatusStatement.
constexpr std::array<const char*, kStatusFieldCount> kStatusKeys = {
    "stat",       "system_error",   "emergency_stopped", "safeguard_open",
    "teach_mode", "control_device", "robot_info",        "ctrl_info"};

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

ControllerStatus CommandChannel::Impl::getControllerStatus() {
  std::lock_guard<std::timed_mutex> lock(connectionMutex);
  const std::string output = execute(kStatusStatement);

  std::istringstream stream = reply::classicInput(reply::commasToBlanks(output));
  std::vector<std::string> tokens;
  for (std::string token; stream >> token;) tokens.push_back(token);
  if (tokens.size() != kStatusFieldCount) {
    throw std::runtime_error("Failed to parse controller status. Expected " +
                             std::to_string(kStatusFieldCount) + " values, received " +
                             std::to_string(tokens.size()) + ": " + reply::quoted(output));
  }
  ControllerStatus status;
  for (std::size_t i = 0; i < kStatusFieldCount; ++i) {
    status[kStatusKeys[i]] = reply::parseControllerInteger(tokens[i]);
  }
  return status;
}

bool CommandChannel::Impl::isEmergencyStopped() {
  std::lock_guard<std::timed_mutex> lock(connectionMutex);
  const std::string output = execute("Print EStopOn");

  std::istringstream stream = reply::classicInput(output);
  std::int32_t value = 0;
  if (stream >> value && reply::onlyBlanksLeft(stream)) return value != 0;
  // Some firmware prints the Boolean as a word.
  const std::string word = blanksDroppedLowerCase(output);
  if (word == "true") return true;
  if (word == "false") return false;
  throw std::runtime_error("Failed to parse EStopOn response as a Boolean: " +
                           reply::quoted(output));
}

void CommandChannel::Impl::resetController() {
  std::lock_guard<std::timed_mutex> lock(connectionMutex);
  command(kResetLine, kCommandTimeoutMs);
}

void CommandChannel::Impl::motorOn() {
  std::lock_guard<std::timed_mutex> lock(connectionMutex);
  try {
    command(kMotorOnLine, kCommandTimeoutMs);
  } catch (const std::exception& error) {
    motorOnError = error.what();
    throw;
  }
  motorsOnBySession = true;
  motorOnError.clear();
}

void CommandChannel::Impl::motorOff() {
  std::lock_guard<std::timed_mutex> lock(connectionMutex);
  motorOffLocked();
  motorsOnBySession = false;
}

void CommandChannel::Impl::motorOffLocked() {
  command(kMotorOffLine, kCommandTimeoutMs);
}

void CommandChannel::Impl::pause() {
  motionCommand("$Pause");
}

void CommandChannel::Impl::continueMotion() {
  motionCommand("$Continue");
}

EpsonPowerMode CommandChannel::Impl::getPowerMode() {
  std::lock_guard<std::timed_mutex> lock(connectionMutex);
  return getPowerModeLocked();
}

EpsonPowerMode CommandChannel::Impl::getPowerModeLocked() {
  const std::int64_t value = reply::parseControllerInteger(execute(kPowerQuery));
  if (value == 0) return EpsonPowerMode::LOW;
  if (value == 1) return EpsonPowerMode::HIGH;
  throw std::runtime_error("Epson controller returned an invalid Power mode value: " +
                           std::to_string(value));
}

void CommandChannel::Impl::setPowerMode(EpsonPowerMode mode) {
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
  std::lock_guard<std::timed_mutex> lock(connectionMutex);

  command("$Execute,\"Power " + word + "\"", kCommandTimeoutMs);
  // Set and read-back under one hold of the lock: nothing else may change the mode in between.
  if (getPowerModeLocked() != mode) {
    throw std::runtime_error("Epson controller did not enter Power " + word + " mode");
  }
}

PtpMotionLimits CommandChannel::Impl::getPtpMotionLimits() {
  std::lock_guard<std::timed_mutex> lock(connectionMutex);
  const std::string output = execute(kAccelMaxQuery);

  std::istringstream stream = reply::classicInput(reply::commasToBlanks(output));
  std::int64_t acceleration = 0;
  std::int64_t deceleration = 0;
  const bool read = stream >> acceleration >> deceleration && reply::onlyBlanksLeft(stream);
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  if (!read || acceleration < 1 || acceleration > kMax || deceleration < 1 || deceleration > kMax) {
    throw std::runtime_error("Failed to parse positive AccelMax limits from Epson controller: " +
                             reply::quoted(output));
  }
  PtpMotionLimits limits;
  limits.speed_percent = kPtpSpeedPercent;
  limits.acceleration_percent = static_cast<std::int32_t>(acceleration);
  limits.deceleration_percent = static_cast<std::int32_t>(deceleration);
  return limits;
}

}  // namespace epson
