// Placeholder until this concern is implemented.
#include <stdexcept>

#include "epson/command_session.hpp"

namespace epson {

ControllerStatus CommandChannel::Impl::getControllerStatus() { throw std::logic_error("not implemented"); }
bool CommandChannel::Impl::isEmergencyStopped() { throw std::logic_error("not implemented"); }
void CommandChannel::Impl::resetController() { throw std::logic_error("not implemented"); }
void CommandChannel::Impl::motorOn() { throw std::logic_error("not implemented"); }
void CommandChannel::Impl::motorOff() { throw std::logic_error("not implemented"); }
void CommandChannel::Impl::motorOffLocked() { throw std::logic_error("not implemented"); }
void CommandChannel::Impl::pause() { throw std::logic_error("not implemented"); }
void CommandChannel::Impl::continueMotion() { throw std::logic_error("not implemented"); }
EpsonPowerMode CommandChannel::Impl::getPowerMode() { throw std::logic_error("not implemented"); }
EpsonPowerMode CommandChannel::Impl::getPowerModeLocked() { throw std::logic_error("not implemented"); }
void CommandChannel::Impl::setPowerMode(EpsonPowerMode) { throw std::logic_error("not implemented"); }
PtpMotionLimits CommandChannel::Impl::getPtpMotionLimits() { throw std::logic_error("not implemented"); }

}  // namespace epson
