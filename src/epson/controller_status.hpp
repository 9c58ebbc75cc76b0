// Status, power and motors: the controller's status words, Emergency Stop, reset, motors on and
// off, pause and continue, the servo power mode and the point-to-point motion limits.
#pragma once

#include <string>

#include "epson/command_channel.hpp"
#include "epson/session_core.hpp"

namespace epson::ops {

/// What this session did to the motors (connection lock); forgotten when the connection ends.
struct MotorState {
  /// The session turned the motors on: disconnect turns them off again.
  bool onBySession = false;
  /// The failure of the most recent motor-on attempt; empty after a success.
  std::string motorOnError;
};

ControllerStatus getControllerStatus(SessionCore& session);
bool isEmergencyStopped(SessionCore& session);
void resetController(SessionCore& session);
void motorOn(SessionCore& session, MotorState& motors);
void motorOff(SessionCore& session, MotorState& motors);
void motorOffLocked(SessionCore& session, const ConnectionHeld& held);
std::string motorOnErrorText(SessionCore& session, const MotorState& motors);
void pause(SessionCore& session);
void continueMotion(SessionCore& session);
void abortMotion(SessionCore& session);
EpsonPowerMode getPowerMode(SessionCore& session);
EpsonPowerMode getPowerModeLocked(SessionCore& session, const ConnectionHeld& held);
void setPowerMode(SessionCore& session, EpsonPowerMode mode);
PtpMotionLimits getPtpMotionLimits(SessionCore& session);

}  // namespace epson::ops
