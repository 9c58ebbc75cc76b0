// One Remote Ethernet command session with an Epson controller.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
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

/// The controller's remote status ($GetStatus): its flags and its error or warning code.
struct RemoteStatus {
  bool test = false;
  bool teach_mode = false;
  bool auto_mode = false;
  bool warning = false;
  bool severe_error = false;
  bool safeguard_open = false;
  bool emergency_stopped = false;
  bool error = false;
  bool paused = false;
  bool running = false;
  bool ready = false;
  std::int32_t error_code = 0;
};

/// A Global Preserve variable's value as the host sees it: Boolean, the integer types (UInt64
/// above the int64 range as unsigned), Real and Double, String.
using VariableValue = std::variant<bool, std::int64_t, std::uint64_t, double, std::string>;

/// The interval at which waitForInput() asks for the input again.
constexpr int kInputPollIntervalMs = 10;

/// The controller's XYLim box, read back: corners in millimetres and whether XYLimMode is 1.
struct SafetyCuboid {
  std::vector<double> min_corner_mm;
  std::vector<double> max_corner_mm;
  bool strict = false;
};

/// Raw controller status words, keyed by snake_case name.
using ControllerStatus = std::map<std::string, std::int64_t>;

constexpr int kCommandTimeoutMs = 5000;
constexpr int kMotionTimeoutMs = 300000;
constexpr std::uint16_t kDefaultCommandPort = 5000;
constexpr const char* kDefaultPassword = "";

/// How hard connect() tries. The defaults are the session's long-standing behaviour.
struct ConnectOptions {
  /// Bounds each TCP connect attempt, in seconds (the login reply keeps its 5000 ms).
  double timeout_s = 20.0;
  /// Connect-and-login attempts, 2 s apart; a controller that answered the login is not retried.
  int attempts = 3;
};

/// The longest wait for a motion of another thread to end after the session's own $Abort, when
/// the session is disconnected, connected again or destroyed under it.
constexpr int kMotionEndWaitMs = 10000;

/// A Remote Ethernet command session.
///
/// Thread safety: every operation may be called from any thread; operations are serialised by the
/// session's connection mutex. While a Go or Move holds the connection, only pause(),
/// continueMotion() and abortMotion() reach the controller, isConnected()/isLoggedIn() answer at
/// once and getState() refuses at once; disconnect(), connect() and the destructor abort the
/// motion and wait at most kMotionEndWaitMs for it to end; everything else waits for the motion
/// to finish.
class CommandChannel {
 public:
  class Impl;

  CommandChannel();
  ~CommandChannel();
  CommandChannel(const CommandChannel&) = delete;
  CommandChannel& operator=(const CommandChannel&) = delete;

  // Session.
  void connect(const std::string& host, std::uint16_t port, const std::string& password,
               const ConnectOptions& options = {});
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
  /// `$Abort`: ends a running or paused Go or Move (whose call then fails with the controller's
  /// reply); without a motion an ordinary request whose answer the controller decides.
  void abortMotion();
  EpsonPowerMode getPowerMode();
  void setPowerMode(EpsonPowerMode mode);
  PtpMotionLimits getPtpMotionLimits();

  // Workspace limit.
  void addSafetyCuboid(const std::vector<double>& min_corner_mm,
                       const std::vector<double>& max_corner_mm);
  std::optional<SafetyCuboid> getSafetyCuboid();

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

  // Inputs, outputs and memory I/O (bits and ports 0..65535), through the controller's own
  // requests: readable also under an emergency stop, an open safeguard or an error.
  bool getInputBit(std::int64_t bit);
  std::int64_t getInputByte(std::int64_t port);
  std::int64_t getInputWord(std::int64_t port);
  void setOutputBit(std::int64_t bit, bool on);
  void setOutputByte(std::int64_t port, std::int64_t value);
  void setOutputWord(std::int64_t port, std::int64_t value);
  bool getMemoryBit(std::int64_t bit);
  void setMemoryBit(std::int64_t bit, bool on);
  /// Outputs read back through $Execute, so refused where $Execute is.
  bool getOutputBit(std::int64_t bit);
  std::int64_t getOutputByte(std::int64_t port);
  std::int64_t getOutputWord(std::int64_t port);
  bool waitForInput(std::int64_t bit, bool on, double timeout_s);

  // Global Preserve variables shared with SPEL+ programs.
  VariableValue getVariable(const std::string& name, const std::string& type = "Double");
  void setVariable(const std::string& name, const VariableValue& value,
                   const std::string& type = "Double");

  // Programs, the controller's remote status, and one statement passed through.
  void startProgram(std::int64_t function = 0);
  void stopPrograms();
  RemoteStatus getRemoteStatus();
  std::string executeStatement(const std::string& statement);

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
