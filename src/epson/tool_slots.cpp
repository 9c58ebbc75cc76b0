// Placeholder until this concern is implemented.
#include <stdexcept>

#include "epson/command_session.hpp"

namespace epson {

void CommandChannel::Impl::tlSet(std::int32_t, const std::string&) { throw std::logic_error("not implemented"); }
void CommandChannel::Impl::tlSetLocked(std::int32_t, const std::string&) { throw std::logic_error("not implemented"); }
void CommandChannel::Impl::tlClear(std::int32_t) { throw std::logic_error("not implemented"); }
void CommandChannel::Impl::tlClearLocked(std::int32_t) { throw std::logic_error("not implemented"); }
void CommandChannel::Impl::setTool(std::int32_t) { throw std::logic_error("not implemented"); }
void CommandChannel::Impl::setToolLocked(std::int32_t) { throw std::logic_error("not implemented"); }
std::int32_t CommandChannel::Impl::getTool() { throw std::logic_error("not implemented"); }
std::int32_t CommandChannel::Impl::getToolLocked() { throw std::logic_error("not implemented"); }
bool CommandChannel::Impl::isToolDefined(std::int32_t) { throw std::logic_error("not implemented"); }
bool CommandChannel::Impl::isToolDefinedLocked(std::int32_t) { throw std::logic_error("not implemented"); }
std::vector<double> CommandChannel::Impl::getToolDefinition(std::int32_t) { throw std::logic_error("not implemented"); }
std::vector<double> CommandChannel::Impl::getToolDefinitionLocked(std::int32_t) { throw std::logic_error("not implemented"); }

}  // namespace epson
