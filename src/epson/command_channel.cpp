// The public handle: the session core and the state that belongs to a connection, with each
// operation forwarded to the unit that owns it. The disconnect steps are composed here, above the
// core: restore the Tool state, turn off the motors this session turned on, log out, close.
#include "epson/command_channel.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

#include "epson/caller_text.hpp"
#include "epson/controller_status.hpp"
#include "epson/core_helpers.hpp"
#include "epson/interruption.hpp"
#include "epson/io_variables.hpp"
#include "epson/motion_commands.hpp"
#include "epson/programs_status.hpp"
#include "epson/session_core.hpp"
#include "epson/state_kinematics.hpp"
#include "epson/tcp_offset.hpp"
#include "epson/tool_slots.hpp"
#include "epson/workspace_limit.hpp"

namespace epson {

namespace {

constexpr double kMaxConnectTimeoutS = 86400.0;
constexpr int kMaxConnectAttempts = 1000;

void checkConnectOptions(const ConnectOptions& options) {
  if (!(std::isfinite(options.timeout_s) && options.timeout_s > 0.0 &&
        options.timeout_s <= kMaxConnectTimeoutS)) {
    throw std::invalid_argument("timeout_s must be above 0 and at most 86400 seconds");
  }
  if (options.attempts < 1 || options.attempts > kMaxConnectAttempts) {
    throw std::invalid_argument("attempts must be between 1 and 1000");
  }
}

}  // namespace

class CommandChannel::Impl {
 public:
  Impl() {
    session_.onConnectionEnded([this] {
      motors_.onBySession = false;
      tcp_.discard();
    });
  }

  /// A session dropped while connected runs its disconnect steps; a forked child's copy only lets
  /// go of the parent's connection.
  ~Impl() {
    const UninterruptedScope wholly;  // teardown runs to its end, whatever the caller's Ctrl-C
    try {
      disconnect();
    } catch (const std::exception&) {
      // Already logged; nobody is left to tell.
    }
  }

  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  void connect(const std::string& host, std::uint16_t port, const std::string& password,
               const ConnectOptions& options) {
    // Checked before the lock: a bad call never waits for a running motion. A line ending would
    // end the login request early and put the rest on the wire as a request.
    if (password.find_first_of("\r\n") != std::string::npos) {
      throw std::invalid_argument("Remote Ethernet password must not contain line endings");
    }
    checkNoNul(password, "Remote Ethernet password");
    checkHost(host);
    checkConnectOptions(options);
    if (session_.inForkedChild()) session_.releaseForkedCopy();
    const ConnectionLock lock(session_, kEndingMotions);
    // A live session is closed the orderly way first, on its own controller: its Tool state is
    // restored there and the motors it turned on are turned off there.
    try {
      const UninterruptedScope wholly;
      disconnectLocked(lock.held());
    } catch (const std::exception&) {
      // Logged by the step that failed; the old connection is closed either way.
    }
    motors_ = ops::MotorState{};
    session_.connectLocked(lock.held(), host, port, password, options);
  }

  void disconnect() {
    // Checked before the lock: a parent thread may have held it when this process was forked.
    if (session_.inForkedChild()) {
      session_.releaseForkedCopy();
      return;
    }
    // Never behind a motion for long: it is aborted and awaited at most 10 s.
    const ConnectionLock lock(session_, kEndingMotions);
    const UninterruptedScope wholly;  // once begun, the steps run to their end
    disconnectLocked(lock.held());
  }

 private:
  friend class CommandChannel;

  void disconnectLocked(const ConnectionHeld& held) {
    if (!session_.connectionOpen()) {
      tcp_.discard();
      return;
    }
    if (session_.loggedInFlag()) {
      try {
        ops::restoreTcpOffsetLocked(session_, held, tcp_);
      } catch (const std::exception& error) {
        logLine(stderr, std::string("Failed to restore Epson TCP state: ") + error.what());
      }
      if (motors_.onBySession) {
        try {
          ops::motorOffLocked(session_, held);
          motors_.onBySession = false;
        } catch (const std::exception& error) {
          logLine(stderr, std::string("Failed to turn off motor: ") + error.what());
        }
      }
      try {
        session_.logoutLocked(held);
      } catch (const std::exception& error) {
        logLine(stderr, std::string("Failed to log out of controller: ") + error.what());
      }
    }
    session_.closeLocked(held);
  }

  SessionCore session_;
  ops::MotorState motors_;   // connection lock
  ops::TcpOffsetState tcp_;  // connection lock
};

CommandChannel::CommandChannel() : impl_(std::make_unique<Impl>()) {}
CommandChannel::~CommandChannel() = default;

void CommandChannel::connect(const std::string& host, std::uint16_t port,
                             const std::string& password, const ConnectOptions& options) {
  impl_->connect(host, port, password, options);
}
void CommandChannel::disconnect() {
  impl_->disconnect();
}
bool CommandChannel::isConnected() const {
  return impl_->session_.isConnected();
}
bool CommandChannel::isLoggedIn() const {
  return impl_->session_.isLoggedIn();
}
std::string CommandChannel::motorOnErrorText() {
  return ops::motorOnErrorText(impl_->session_, impl_->motors_);
}
void CommandChannel::motionCommand(const std::string& line) {
  impl_->session_.motionControl(line);
}

ControllerStatus CommandChannel::getControllerStatus() {
  return ops::getControllerStatus(impl_->session_);
}
bool CommandChannel::isEmergencyStopped() {
  return ops::isEmergencyStopped(impl_->session_);
}
void CommandChannel::resetController() {
  ops::resetController(impl_->session_);
}
void CommandChannel::motorOn() {
  ops::motorOn(impl_->session_, impl_->motors_);
}
void CommandChannel::motorOff() {
  ops::motorOff(impl_->session_, impl_->motors_);
}
void CommandChannel::pause() {
  ops::pause(impl_->session_);
}
void CommandChannel::continueMotion() {
  ops::continueMotion(impl_->session_);
}
void CommandChannel::abortMotion() {
  ops::abortMotion(impl_->session_);
}
EpsonPowerMode CommandChannel::getPowerMode() {
  return ops::getPowerMode(impl_->session_);
}
void CommandChannel::setPowerMode(EpsonPowerMode mode) {
  ops::setPowerMode(impl_->session_, mode);
}
PtpMotionLimits CommandChannel::getPtpMotionLimits() {
  return ops::getPtpMotionLimits(impl_->session_);
}

void CommandChannel::addSafetyCuboid(const std::vector<double>& min_corner_mm,
                                     const std::vector<double>& max_corner_mm) {
  ops::addSafetyCuboid(impl_->session_, min_corner_mm, max_corner_mm);
}

std::optional<SafetyCuboid> CommandChannel::getSafetyCuboid() {
  return ops::getSafetyCuboid(impl_->session_);
}

void CommandChannel::tlSet(std::int32_t tool_num, const std::string& tool_def_point) {
  ops::tlSet(impl_->session_, tool_num, tool_def_point);
}
void CommandChannel::tlClear(std::int32_t tool_num) {
  ops::tlClear(impl_->session_, tool_num);
}
void CommandChannel::setTool(std::int32_t tool_num) {
  ops::setTool(impl_->session_, tool_num);
}
std::int32_t CommandChannel::getTool() {
  return ops::getTool(impl_->session_);
}
bool CommandChannel::isToolDefined(std::int32_t tool_num) {
  return ops::isToolDefined(impl_->session_, tool_num);
}
std::vector<double> CommandChannel::getToolDefinition(std::int32_t tool_num) {
  return ops::getToolDefinition(impl_->session_, tool_num);
}

std::vector<double> CommandChannel::getTcpOffset() {
  return ops::getTcpOffset(impl_->session_);
}
void CommandChannel::setTcpOffset(const std::vector<double>& pose) {
  ops::setTcpOffset(impl_->session_, impl_->tcp_, pose);
}
void CommandChannel::restoreTcpOffset() {
  ops::restoreTcpOffset(impl_->session_, impl_->tcp_);
}

void CommandChannel::go(const std::string& destination, bool cp, bool ljm,
                        std::optional<std::int32_t> orientation_flag,
                        const std::optional<std::string>& search_expression,
                        const std::optional<std::string>& parallel_processing, bool sync,
                        std::optional<std::int32_t> speed_percent,
                        std::optional<std::int32_t> acceleration_percent,
                        std::optional<std::int32_t> deceleration_percent) {
  ops::go(impl_->session_, destination, cp, ljm, orientation_flag, search_expression,
          parallel_processing, sync, speed_percent, acceleration_percent, deceleration_percent);
}

void CommandChannel::move(const std::string& destination, bool rot, bool ecp, bool cp,
                          const std::optional<std::string>& search_expression,
                          const std::optional<std::string>& parallel_processing, bool sync,
                          std::optional<double> speed_mm_s,
                          std::optional<double> acceleration_mm_s2) {
  ops::move(impl_->session_, destination, rot, ecp, cp, search_expression, parallel_processing,
            sync, speed_mm_s, acceleration_mm_s2);
}

bool CommandChannel::getInputBit(std::int64_t bit) {
  return ops::getInputBit(impl_->session_, bit);
}
std::int64_t CommandChannel::getInputByte(std::int64_t port) {
  return ops::getInputByte(impl_->session_, port);
}
std::int64_t CommandChannel::getInputWord(std::int64_t port) {
  return ops::getInputWord(impl_->session_, port);
}
void CommandChannel::setOutputBit(std::int64_t bit, bool on) {
  ops::setOutputBit(impl_->session_, bit, on);
}
void CommandChannel::setOutputByte(std::int64_t port, std::int64_t value) {
  ops::setOutputByte(impl_->session_, port, value);
}
void CommandChannel::setOutputWord(std::int64_t port, std::int64_t value) {
  ops::setOutputWord(impl_->session_, port, value);
}
bool CommandChannel::getMemoryBit(std::int64_t bit) {
  return ops::getMemoryBit(impl_->session_, bit);
}
void CommandChannel::setMemoryBit(std::int64_t bit, bool on) {
  ops::setMemoryBit(impl_->session_, bit, on);
}
bool CommandChannel::getOutputBit(std::int64_t bit) {
  return ops::getOutputBit(impl_->session_, bit);
}
std::int64_t CommandChannel::getOutputByte(std::int64_t port) {
  return ops::getOutputByte(impl_->session_, port);
}
std::int64_t CommandChannel::getOutputWord(std::int64_t port) {
  return ops::getOutputWord(impl_->session_, port);
}
bool CommandChannel::waitForInput(std::int64_t bit, bool on, double timeout_s) {
  return ops::waitForInput(impl_->session_, bit, on, timeout_s);
}

VariableValue CommandChannel::getVariable(const std::string& name, const std::string& type) {
  return ops::getVariable(impl_->session_, name, type);
}
void CommandChannel::setVariable(const std::string& name, const VariableValue& value,
                                 const std::string& type) {
  ops::setVariable(impl_->session_, name, value, type);
}

void CommandChannel::startProgram(std::int64_t function) {
  ops::startProgram(impl_->session_, function);
}
void CommandChannel::stopPrograms() {
  ops::stopPrograms(impl_->session_);
}
RemoteStatus CommandChannel::getRemoteStatus() {
  return ops::getRemoteStatus(impl_->session_);
}
std::string CommandChannel::executeStatement(const std::string& statement) {
  return ops::executeStatement(impl_->session_, statement);
}

std::vector<double> CommandChannel::getState() {
  return ops::getState(impl_->session_);
}
std::vector<double> CommandChannel::inverseKinematics(
    const std::vector<double>& cartesian_pose, bool least_joint_motion,
    const std::optional<std::vector<double>>& reference_joint_positions) {
  return ops::inverseKinematics(impl_->session_, cartesian_pose, least_joint_motion,
                                reference_joint_positions);
}

}  // namespace epson
