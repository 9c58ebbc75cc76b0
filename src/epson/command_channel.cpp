// The public handle: the session core and the state that belongs to a connection, with each
// operation forwarded to the unit that owns it. The disconnect steps are composed here, above the
// core: restore the Tool state, turn off the motors this session turned on, log out, close.
#include "epson/command_channel.hpp"

#include <stdexcept>
#include <string>

#include "epson/caller_text.hpp"
#include "epson/controller_status.hpp"
#include "epson/core_helpers.hpp"
#include "epson/motion_commands.hpp"
#include "epson/session_core.hpp"
#include "epson/state_kinematics.hpp"
#include "epson/tcp_offset.hpp"
#include "epson/tool_slots.hpp"
#include "epson/workspace_limit.hpp"

namespace epson {

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
    try {
      disconnect();
    } catch (const std::exception&) {
      // Already logged; nobody is left to tell.
    }
  }

  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  void connect(const std::string& host, std::uint16_t port, const std::string& password) {
    // Checked before the lock: a bad call never waits for a running motion. A line ending would
    // end the login request early and put the rest on the wire as a request.
    if (password.find_first_of("\r\n") != std::string::npos) {
      throw std::invalid_argument("Remote Ethernet password must not contain line endings");
    }
    checkNoNul(password, "Remote Ethernet password");
    checkHost(host);
    if (session_.inForkedChild()) session_.releaseForkedCopy();
    const ConnectionLock lock(session_);
    // A live session is closed the orderly way first, on its own controller: its Tool state is
    // restored there and the motors it turned on are turned off there.
    try {
      disconnectLocked(lock.held());
    } catch (const std::exception&) {
      // Logged by the step that failed; the old connection is closed either way.
    }
    motors_ = ops::MotorState{};
    session_.connectLocked(lock.held(), host, port, password);
  }

  void disconnect() {
    // Checked before the lock: a parent thread may have held it when this process was forked.
    if (session_.inForkedChild()) {
      session_.releaseForkedCopy();
      return;
    }
    const ConnectionLock lock(session_);
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
                             const std::string& password) {
  impl_->connect(host, port, password);
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
