// Placeholder until this concern is implemented.
#include <stdexcept>

#include "epson/command_session.hpp"

namespace epson {

void CommandChannel::Impl::go(const std::string&, bool, bool, std::optional<std::int32_t>, const std::optional<std::string>&, const std::optional<std::string>&, bool, std::optional<std::int32_t>, std::optional<std::int32_t>, std::optional<std::int32_t>) { throw std::logic_error("not implemented"); }
void CommandChannel::Impl::move(const std::string&, bool, bool, bool, const std::optional<std::string>&, const std::optional<std::string>&, bool, std::optional<double>, std::optional<double>) { throw std::logic_error("not implemented"); }

}  // namespace epson
