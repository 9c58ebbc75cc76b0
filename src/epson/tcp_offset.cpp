// Placeholder until this concern is implemented.
#include <stdexcept>

#include "epson/command_session.hpp"

namespace epson {

std::vector<double> CommandChannel::Impl::getTcpOffset() { throw std::logic_error("not implemented"); }
void CommandChannel::Impl::setTcpOffset(const std::vector<double>&) { throw std::logic_error("not implemented"); }
void CommandChannel::Impl::restoreTcpOffset() { throw std::logic_error("not implemented"); }
void CommandChannel::Impl::restoreTcpOffsetLocked() { return; }
void CommandChannel::Impl::discardTcpOffsetState() { return; }

}  // namespace epson
