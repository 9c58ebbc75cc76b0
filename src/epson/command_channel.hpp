// One Remote Ethernet command session with an Epson controller.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace epson {

/// Servo power mode; "Low" and "High" on the controller.
enum class EpsonPowerMode : std::int32_t { LOW = 0, HIGH = 1 };

/// Maximum SPEL+ point-to-point motion settings, all percentages.
struct PtpMotionLimits {
  std::int32_t speed_percent = 0;
  std::int32_t acceleration_percent = 0;
  std::int32_t deceleration_percent = 0;
};

/// Raw controller status words, keyed by snake_case name.
using ControllerStatus = std::map<std::string, std::int64_t>;

constexpr int kCommandTimeoutMs = 5000;
constexpr int kMotionTimeoutMs = 300000;
constexpr std::uint16_t kDefaultCommandPort = 5000;
constexpr const char* kDefaultPassword = "";

/// A Remote Ethernet command session.
///
/// Thread safety: every operation may be called from any thread; operations are serialised by the
/// session's connection mutex. While a Go or Move holds the connection, only pause() and
/// continueMotion() reach the controller, isConnected()/isLoggedIn() answer at once and getState()
/// refuses at once; everything else waits for the motion to finish.
class CommandChannel {
 public:
  class Impl;

  CommandChannel();
  ~CommandChannel();
  CommandChannel(const CommandChannel&) = delete;
  CommandChannel& operator=(const CommandChannel&) = delete;

  // Session.
  void connect(const std::string& host, std::uint16_t port, const std::string& password);
  void disconnect();
  bool isConnected() const;
  bool isLoggedIn() const;
  std::string motorOnErrorText();
  void motionCommand(const std::string& line);

  // Status, power and motors.
  ControllerStatus getControllerStatus();
  bool isEmergencyStopped();
  void resetController();
  void motorOn();
  void motorOff();
  void pause();
  void continueMotion();
  EpsonPowerMode getPowerMode();
  void setPowerMode(EpsonPowerMode mode);
  PtpMotionLimits getPtpMotionLimits();

  // Workspace limit.
  void addSafetyCuboid(const std::vector<double>& min_corner_mm,
                       const std::vector<double>& max_corner_mm);

  // Native Tool slots.
  void tlSet(std::int32_t tool_num, const std::string& tool_def_point);
  void tlClear(std::int32_t tool_num);
  void setTool(std::int32_t tool_num);
  std::int32_t getTool();
  bool isToolDefined(std::int32_t tool_num);
  std::vector<double> getToolDefinition(std::int32_t tool_num);

  // TCP offset override in host units ([x, y, z] metres, [rx, ry, rz] Euler-XYZ degrees).
  std::vector<double> getTcpOffset();
  void setTcpOffset(const std::vector<double>& pose);
  void restoreTcpOffset();

  // Motion.
  void go(const std::string& destination, bool cp, bool ljm,
          std::optional<std::int32_t> orientation_flag,
          const std::optional<std::string>& search_expression,
          const std::optional<std::string>& parallel_processing, bool sync,
          std::optional<std::int32_t> speed_percent = std::nullopt,
          std::optional<std::int32_t> acceleration_percent = std::nullopt,
          std::optional<std::int32_t> deceleration_percent = std::nullopt);
  void move(const std::string& destination, bool rot, bool ecp, bool cp,
            const std::optional<std::string>& search_expression,
            const std::optional<std::string>& parallel_processing, bool sync,
            std::optional<double> speed_mm_s = std::nullopt,
            std::optional<double> acceleration_mm_s2 = std::nullopt);

  // State and kinematics.
  /// Joints J1..J6 in degrees, then the native pose [X, Y, Z, U, V, W].
  std::vector<double> getState();
  std::vector<double> inverseKinematics(
      const std::vector<double>& cartesian_pose, bool least_joint_motion,
      const std::optional<std::vector<double>>& reference_joint_positions);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace epson
