#include "epson/errors.hpp"

namespace epson {

void rethrowWithMessage(const std::exception& error, const std::string& message) {
  if (const auto* failure = dynamic_cast<const ControllerError*>(&error)) {
    throw ControllerError(message, failure->code(), failure->request(), failure->reply());
  }
  if (dynamic_cast<const EpsonTimeout*>(&error) != nullptr) throw EpsonTimeout(message);
  if (dynamic_cast<const ConnectionLost*>(&error) != nullptr) throw ConnectionLost(message);
  if (dynamic_cast<const NotConnected*>(&error) != nullptr) throw NotConnected(message);
  if (dynamic_cast<const ProtocolError*>(&error) != nullptr) throw ProtocolError(message);
  throw EpsonError(message);
}

}  // namespace epson
