// The public handle: every operation forwards to the implementation object.
#include "epson/command_channel.hpp"

#include "epson/command_session.hpp"

namespace epson {

CommandChannel::CommandChannel() : impl_(std::make_unique<Impl>()) {}
CommandChannel::~CommandChannel() = default;

void CommandChannel::connect(const std::string& host, std::uint16_t port,
                             const std::string& password) {
  impl_->connect(host, port, password);
}
void CommandChannel::disconnect() { impl_->disconnect(); }
bool CommandChannel::isConnected() const { return impl_->isConnected(); }
bool CommandChannel::isLoggedIn() const { return impl_->isLoggedIn(); }
std::string CommandChannel::motorOnErrorText() { return impl_->motorOnErrorText(); }
void CommandChannel::motionCommand(const std::string& line) { impl_->motionCommand(line); }

ControllerStatus CommandChannel::getControllerStatus() { return impl_->getControllerStatus(); }
bool CommandChannel::isEmergencyStopped() { return impl_->isEmergencyStopped(); }
void CommandChannel::resetController() { impl_->resetController(); }
void CommandChannel::motorOn() { impl_->motorOn(); }
void CommandChannel::motorOff() { impl_->motorOff(); }
void CommandChannel::pause() { impl_->pause(); }
void CommandChannel::continueMotion() { impl_->continueMotion(); }
EpsonPowerMode CommandChannel::getPowerMode() { return impl_->getPowerMode(); }
void CommandChannel::setPowerMode(EpsonPowerMode mode) { impl_->setPowerMode(mode); }
PtpMotionLimits CommandChannel::getPtpMotionLimits() { return impl_->getPtpMotionLimits(); }

void CommandChannel::addSafetyCuboid(const std::vector<double>& min_corner_mm,
                                     const std::vector<double>& max_corner_mm) {
  impl_->addSafetyCuboid(min_corner_mm, max_corner_mm);
}

void CommandChannel::tlSet(std::int32_t tool_num, const std::string& tool_def_point) {
  impl_->tlSet(tool_num, tool_def_point);
}
void CommandChannel::tlClear(std::int32_t tool_num) { impl_->tlClear(tool_num); }
void CommandChannel::setTool(std::int32_t tool_num) { impl_->setTool(tool_num); }
std::int32_t CommandChannel::getTool() { return impl_->getTool(); }
bool CommandChannel::isToolDefined(std::int32_t tool_num) { return impl_->isToolDefined(tool_num); }
std::vector<double> CommandChannel::getToolDefinition(std::int32_t tool_num) {
  return impl_->getToolDefinition(tool_num);
}

std::vector<double> CommandChannel::getTcpOffset() { return impl_->getTcpOffset(); }
void CommandChannel::setTcpOffset(const std::vector<double>& pose) { impl_->setTcpOffset(pose); }
void CommandChannel::restoreTcpOffset() { impl_->restoreTcpOffset(); }

void CommandChannel::go(const std::string& destination, bool cp, bool ljm,
                        std::optional<std::int32_t> orientation_flag,
                        const std::optional<std::string>& search_expression,
                        const std::optional<std::string>& parallel_processing, bool sync,
                        std::optional<std::int32_t> speed_percent,
                        std::optional<std::int32_t> acceleration_percent,
                        std::optional<std::int32_t> deceleration_percent) {
  impl_->go(destination, cp, ljm, orientation_flag, search_expression, parallel_processing, sync,
            speed_percent, acceleration_percent, deceleration_percent);
}

void CommandChannel::move(const std::string& destination, bool rot, bool ecp, bool cp,
                          const std::optional<std::string>& search_expression,
                          const std::optional<std::string>& parallel_processing, bool sync,
                          std::optional<double> speed_mm_s,
                          std::optional<double> acceleration_mm_s2) {
  impl_->move(destination, rot, ecp, cp, search_expression, parallel_processing, sync, speed_mm_s,
              acceleration_mm_s2);
}

std::vector<double> CommandChannel::getState() { return impl_->getState(); }
std::vector<double> CommandChannel::inverseKinematics(
    const std::vector<double>& cartesian_pose, bool least_joint_motion,
    const std::optional<std::vector<double>>& reference_joint_positions) {
  return impl_->inverseKinematics(cartesian_pose, least_joint_motion, reference_joint_positions);
}

}  // namespace epson
