// Placeholder until this concern is implemented.
#include <stdexcept>

#include "epson/command_session.hpp"

namespace epson {

std::vector<double> CommandChannel::Impl::getState() { throw std::logic_error("not implemented"); }
std::vector<double> CommandChannel::Impl::inverseKinematics(const std::vector<double>&, bool, const std::optional<std::vector<double>>&) { throw std::logic_error("not implemented"); }

}  // namespace epson
