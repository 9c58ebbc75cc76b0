// Placeholder until this concern is implemented.
#include <stdexcept>

#include "epson/command_session.hpp"

namespace epson {

void CommandChannel::Impl::addSafetyCuboid(const std::vector<double>&, const std::vector<double>&) { throw std::logic_error("not implemented"); }

}  // namespace epson
