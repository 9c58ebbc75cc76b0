// The names of the controller's status words, as both the command session's status query and the
// telemetry status line report them.
#pragma once

#include <string_view>

namespace epson::status_key {

inline constexpr std::string_view kStat = "stat";
inline constexpr std::string_view kSystemError = "system_error";
inline constexpr std::string_view kEmergencyStopped = "emergency_stopped";
inline constexpr std::string_view kSafeguardOpen = "safeguard_open";
inline constexpr std::string_view kTeachMode = "teach_mode";
inline constexpr std::string_view kControlDevice = "control_device";
inline constexpr std::string_view kRobotInfo = "robot_info";
inline constexpr std::string_view kCtrlInfo = "ctrl_info";

}  // namespace epson::status_key
